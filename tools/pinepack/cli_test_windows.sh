#!/usr/bin/env bash
# pinepack.exe under Wine, as a vendor on Windows runs it: drive letters, backslashes and a space in
# the paths, Cyrillic file names that the package must hold as Windows-1251 entry names, create
# (whole and --from an old release), list, verify --against, apply (all or nothing and
# --per-file), extract and wrap; the same package bytes from run to run, from a UTF-8 Unix locale
# and from the native tool; and a "pinepack: <reason>" message with status 1 for the mistakes a
# vendor makes.
# Usage: cli_test_windows.sh PINEPACK.EXE RL_PATCH.EXE HOLD_FILE.EXE [NATIVE_PINEPACK]
# PINECONE_WINE_32BIT=1 and PINECONE_WINE_PROBE as for scripts/wine-run: where Wine does not run
# the build, the test exits 77 (skipped).
#
# The native tool comes from a build of its own (CMake passes PINECONE_NATIVE_PINEPACK, by default
# build/native's, which scripts/test builds before the Windows builds). Where it is missing, or
# older than a source file, only the comparison with it is left out, and the test says so.
set -u
exe=$1 rl_patch=$2 holder=$3 native=${4:-}
here=$(cd "$(dirname "$0")" && pwd)
wine_run=$here/../../scripts/wine-run env_sh=$here/../../scripts/env.sh
export LC_ALL=C.UTF-8  # this script's own texts; Wine's locale is the one scripts/env.sh sets
# Wine reads file names in its Unix charset: Windows-1251 under the project's ru_RU.CP1251, where a
# name written here in UTF-8 would reach the program as mojibake. So the trees that Wine sees are
# named in that charset; prefix and charset as scripts/wine-run gives them to Wine.
# shellcheck source=scripts/env.sh
{ read -r charset && read -r prefix; } < <(source "$env_sh" && locale charmap && echo "$WINEPREFIX")
# pinepack.exe with scripts/wine-run's environment but a UTF-8 Unix locale, where Wine takes
# names from UTF-8 (its ANSI code page is then 1252). A console program: no display needed.
pp_utf8() {
  (
    # shellcheck source=scripts/env.sh
    source "$env_sh"
    [ "${PINECONE_WINE_32BIT:-}" = 1 ] && WINE=$WINE32
    LC_ALL=C.UTF-8 exec "$WINE" "$exe" "$@"
  ) >"$work/out" 2>"$work/err"
}
root=$(mktemp -d "$prefix/drive_c/pp test.XXXXXX")
work=$(mktemp -d)
trap 'rm -rf "$root" "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
win() { local p=${1#"$prefix/drive_c"}; printf 'C:%s' "${p//\//\\}"; }  # C:\pp test.X\...
pp() { "$wine_run" "$exe" "$@" >"$work/out" 2>"$work/err"; }
ok() {  # ok DESCRIPTION ARGUMENTS...: pinepack.exe ARGUMENTS succeeds
  local what=$1
  shift
  pp "$@" || { fail "$what: exit $?: $(head -c 500 "$work/err")"; }
}
mentions() { tr -d '\r' <"$work/$1" | grep -qF -- "$2" || fail "$1 lacks '$2': $(head -c 400 "$work/$1")"; }
# refused DESCRIPTION REASON COMMAND...: status 1 and a line "pinepack: ...REASON..." on stderr.
refused() {
  local what=$1 reason=$2 got
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  got=$?
  [ "$got" = 1 ] || fail "$what: exit $got, expected 1"
  tr -d '\r' <"$work/err" | grep '^pinepack: ' | grep -qF -- "$reason" ||
    fail "$what: stderr lacks 'pinepack: ...$reason': $(head -c 400 "$work/err")"
}

pp --help
status=$?
if [ "$status" = 77 ]; then
  cat "$work/err"
  echo "pinepack.exe does not run under Wine here: skipped"
  exit 77
fi
[ "$status" = 0 ] || fail "--help: exit $status: $(head -c 500 "$work/err")"
for sub in create list verify apply extract wrap; do mentions out "$sub"; done

# The old and the new release, built twice: named for Wine in its charset (w/) and in UTF-8 (u/)
# for the native tool and for Wine under a UTF-8 locale. Among them a file whose path fits the 31
# bytes of an entry name in Windows-1251 but not in UTF-8, and one that needs a short entry name.
lib='данные/библиотека.dll' long='данные/новое/очень длинное имя файла.txt'
put() {  # put FOLDER NAME CHARSET CONTENTS: NAME (a path, UTF-8 here) written in CHARSET
  local f
  f=$1/$(printf %s "$2" | iconv -f UTF-8 -t "$3") && mkdir -p "$(dirname "$f")" &&
    printf '%s\n' "$4" >"$f" || { echo "cannot name $2 in $3"; exit 1; }
}
trees() {  # trees FOLDER CHARSET
  put "$1/old" app.exe "$2" "$(seq 1 20000)"
  put "$1/new" app.exe "$2" "$(seq 1 9000; echo changed; seq 9001 20000)"
  put "$1/old" данные.txt "$2" один
  put "$1/new" данные.txt "$2" два
  put "$1/old" данные/общий.dat "$2" общий
  put "$1/new" данные/общий.dat "$2" общий
  put "$1/old" "$lib" "$2" "$(seq 1 3000)"
  put "$1/new" "$lib" "$2" "$(seq 1 3000; echo ещё)"
  put "$1/old" старый.dll "$2" прежний
  put "$1/new" "$long" "$2" новый
}
trees "$root/w" "$charset"
trees "$root/u" UTF-8
cat >"$root/manifest.json" <<'JSON'
{"registry": {"key": "SOFTWARE\\Maker\\Product", "folderValue": "ProgramPath",
              "fileValue": "ProgramName", "patchLevelValue": "PatchLevel"},
 "patchLevel": 2, "startup": {"caption": "Обновление", "text": "Установить?"}}
JSON
m=$(win "$root/manifest.json") w=$(win "$root/w")

ok "create" create "$w\\new" "$m" "$(win "$root/full.pkg")"
mentions err "данные.txt"
ok "create --from" create "$w\\new" "$m" "$(win "$root/d.pkg")" --from "$w\\old"
mentions err "app.exe: $(stat -c %s "$root/w/new/app.exe") bytes, delta"
ok "create --from --per-file" create -q --per-file "$w\\new" "$m" "$(win "$root/dp.pkg")" --from "$w\\old"
for pkg in full d dp; do
  [ -s "$root/$pkg.pkg" ] || fail "$pkg.pkg not written"
done

# Entry names and translation pairs as stored, read as Windows-1251 by this script's own reader.
entries() {
  python3 - "$1" <<'PY'
import struct, sys, zlib
data = open(sys.argv[1], "rb").read()
count, offset, method, packed = struct.unpack_from("<4I", data, 16)
directory = data[offset:offset + packed] if method & 3 == 2 else data[offset:offset + 48 * count]
if method & 3 == 2:
    directory = zlib.decompress(directory)
lines = []
for i in range(count):
    name, at, size, flags, packed_size = struct.unpack_from("<32s4I", directory, 48 * i)
    name = name.split(b"\0")[0]
    lines.append(name.decode("cp1251"))
    if name.lower() == b":xlatnamestable":
        body = data[at:at + (packed_size if flags & 0x10000 else size)]
        words = (zlib.decompress(body) if flags & 0x10000 else body).split(b"\0")
        lines += ["%s -> %s" % (words[j].decode("cp1251"), words[j + 1].decode("cp1251"))
                  for j in range(0, len(words) - 1, 2) if words[j]]
sys.stdout.buffer.write("\n".join(sorted(lines)).encode() + b"\n")
PY
}
expected=$(LC_ALL=C sort <<EOF
:RegistryKeys
:StartupMsg
:Transaction
:XlatNamesTable
app.exe
~1.txt
~1.txt -> ${long//\//\\}
${lib//\//\\}
данные\\общий.dat
данные.txt
EOF
)
got=$(entries "$root/full.pkg" | LC_ALL=C sort)
[ "$got" = "$expected" ] || fail "entries of the package: $(diff <(echo "$expected") <(echo "$got"))"
ok "list" list "$(win "$root/full.pkg")"
mentions out "${lib//\//\\}"
mentions out "Обновление"
ok "list delta package" list "$(win "$root/d.pkg")"
mentions out 'remove "старый.dll"'
mentions out 'folder "данные\новое"'

# The same bytes from run to run, from Wine under a UTF-8 Unix locale (names in UTF-8 on disk),
# and from the native tool.
for pkg in full d dp; do sha256sum <"$root/$pkg.pkg" >"$root/$pkg.sha"; done
ok "create again" create -q "$w\\new" "$m" "$(win "$root/full.pkg")"
ok "create --from again" create -q "$w\\new" "$m" "$(win "$root/d.pkg")" --from "$w\\old"
ok "create --per-file again" create -q --per-file "$w\\new" "$m" "$(win "$root/dp.pkg")" --from "$w\\old"
for pkg in full d dp; do
  sha256sum <"$root/$pkg.pkg" | cmp -s - "$root/$pkg.sha" || fail "$pkg.pkg differs from run to run"
done
if pp_utf8 create -q "$(win "$root/u/new")" "$m" "$(win "$root/utf8.pkg")"; then
  cmp -s "$root/utf8.pkg" "$root/full.pkg" || fail "under a UTF-8 locale the package differs"
else
  fail "create under a UTF-8 locale: $(head -c 500 "$work/err")"
fi
if [ -z "$native" ] || [ ! -x "$native" ]; then
  echo "NOTE: no native pinepack at '$native' (configure and build the native preset first):" \
    "the comparison with the native tool's packages is left out"
elif newer=$(find "$here" "$here/../../src" -newer "$native" \( -name '*.cpp' -o -name '*.c' \
  -o -name '*.h' \) -print -quit) && [ -n "$newer" ]; then
  echo "NOTE: $native is older than $newer (rebuild it):" \
    "the comparison with the native tool's packages is left out"
else
  u=$root/u
  "$native" -q create "$u/new" "$root/manifest.json" "$root/n-full.pkg" &&
    "$native" -q create "$u/new" "$root/manifest.json" "$root/n-d.pkg" --from "$u/old" &&
    "$native" -q create --per-file "$u/new" "$root/manifest.json" "$root/n-dp.pkg" --from "$u/old" ||
    fail "the native tool failed"
  for pkg in full d dp; do
    cmp -s "$root/$pkg.pkg" "$root/n-$pkg.pkg" || fail "$pkg.pkg: pinepack.exe and $native differ"
  done
fi

# Trying and applying the patch packages to copies of the old release.
ok "verify --against" verify "$(win "$root/d.pkg")" --against "$w\\old"
mentions out ": OK"
# A folder named in Cyrillic letters on the command line (given to Wine in its charset).
cyrillic=$(printf 'старое' | iconv -f UTF-8 -t "$charset")
cp -r "$root/w/old" "$root/w/$cyrillic"
ok "verify --against a Cyrillic folder" verify "$(win "$root/d.pkg")" --against "$w\\$cyrillic"
mentions out ": OK"
cp -r "$root/w/old" "$root/w/other" && echo tampered >>"$root/w/other/app.exe"
pp verify "$(win "$root/d.pkg")" --against "$w\\other" && fail "verify --against another version passed"
mentions out "app.exe: FAILED: not the version the update was made for"
for pkg in d dp; do
  cp -r "$root/w/old" "$root/w/$pkg"
  ok "apply $pkg.pkg" apply "$(win "$root/$pkg.pkg")" "$w\\$pkg"
  diff -r "$root/w/new" "$root/w/$pkg" >/dev/null ||
    fail "apply $pkg.pkg: not the new release: $(diff -r "$root/w/new" "$root/w/$pkg")"
done
ok "extract" extract "$(win "$root/full.pkg")" "$w\\x"
diff -r "$root/w/new" "$root/w/x" >/dev/null || fail "extract: $(diff -r "$root/w/new" "$root/w/x")"

# wrap: the executable, the package, zeros up to a multiple of 8, the executable's size and "PINE".
cp "$rl_patch" "$root/RL_PATCH.EXE"
ok "wrap" wrap "$(win "$root/RL_PATCH.EXE")" "$(win "$root/full.pkg")" "$(win "$root/update.exe")"
python3 - "$root/RL_PATCH.EXE" "$root/full.pkg" "$root/update.exe" <<'PY' || fail "wrap's layout"
import struct, sys
exe, pkg, out = (open(p, "rb").read() for p in sys.argv[1:])
pad = -(len(exe) + len(pkg)) % 8
want = exe + pkg + bytes(pad) + struct.pack("<I", len(exe)) + b"PINE"
if out != want:
    sys.exit("%d bytes, expected %d + %d + %d + 8" % (len(out), len(exe), len(pkg), pad))
PY
ok "list the updater" list "$(win "$root/update.exe")"
mentions out "self-contained updater"

# Mistakes: status 1, "pinepack: <reason>", nothing written.
refused "missing folder" "Directory does not exist: $w\\none" pp create "$w\\none" "$m" "$(win "$root/e.pkg")"
printf '{"registry": {"key": "K",' >"$root/cut.json"
refused "invalid JSON" "manifest is not valid JSON" pp create "$w\\new" "$(win "$root/cut.json")" "$(win "$root/e.pkg")"
echo '{"registry": {}, "patchLevel": 1}' >"$root/broken.json"
refused "missing field" 'registry: missing field "key"' pp create "$w\\new" "$(win "$root/broken.json")" "$(win "$root/e.pkg")"
refused "a folder for the manifest" "File is actually a directory: $w\\old" pp create "$w\\new" "$w\\old" "$(win "$root/e.pkg")"
refused "a folder for the package" "File is actually a directory: $w" pp list "$w"
# A name outside Windows-1251 reaches the program only through a UTF-8 Unix locale.
for name in 中 😀; do
  code=$(printf %s "$name" | python3 -c 'import sys; print("U+%04X" % ord(sys.stdin.read()))')
  mkdir -p "$root/$code" && echo x >"$root/$code/$name.txt"
  refused "file name $name" "file $name.txt: character $code at byte 0 has no Windows-1251 form" \
    pp_utf8 create "$(win "$root/$code")" "$m" "$(win "$root/e.pkg")"
done
# A file that another program holds without sharing, as a running one may be: named with the reason.
(
  # shellcheck source=scripts/env.sh
  source "$env_sh"
  [ "${PINECONE_WINE_32BIT:-}" = 1 ] && WINE=$WINE32
  exec "$WINE" "$holder" "$w\\new\\app.exe" "$(win "$root/held")"
) >/dev/null 2>&1 &
holding=$!
for _ in $(seq 300); do
  [ -e "$root/held" ] || ! kill -0 "$holding" 2>/dev/null && break
  sleep 0.1
done
if [ -e "$root/held" ]; then
  refused "a file held by another program" "cannot open $w\\new\\app.exe: Permission denied" \
    pp create "$w\\new" "$m" "$(win "$root/e.pkg")"
  rm -f "$root/held"
else
  fail "hold_file.exe did not hold $w\\new\\app.exe"
fi
wait "$holding"
leftovers=$(find "$root" -name 'e.pkg*' -o -name '*.pinepack-tmp')
[ -z "$leftovers" ] || fail "refused commands left files behind: $leftovers"

[ "$failures" = 0 ] && echo "all pinepack.exe command-line checks passed under Wine"
exit $((failures > 0))
