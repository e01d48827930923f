#!/usr/bin/env bash
# The pinepack command line as vendors use it: exit codes, messages, outputs left behind, and the
# vendor's workflow: create, wrap, sign with osslsigncode, verify, extract; patch packages made
# with create --from, tried with verify --against and apply, all or nothing or --per-file.
# Usage: cli_test.sh PINEPACK
set -u
pinepack=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# expect STATUS DESCRIPTION COMMAND...: runs COMMAND, output in $work/out and $work/err.
expect() {
  local want=$1 what=$2
  shift 2
  "$@" >"$work/out" 2>"$work/err"
  local got=$?
  if [ "$want" = 0 ] && [ "$got" != 0 ]; then fail "$what: exit $got"; cat "$work/err"; fi
  if [ "$want" != 0 ] && [ "$got" = 0 ]; then fail "$what: exit 0, expected failure"; fi
}
mentions() { grep -q -- "$2" "$work/$1" || fail "$1 lacks '$2': $(head -c 300 "$work/$1")"; }

mkdir -p "$work/files/data/sub/a_rather_long_folder_name"
seq 1 5000 >"$work/files/app.exe"
echo library >"$work/files/data/sub/lib.dll"
echo long >"$work/files/data/sub/a_rather_long_folder_name/library.dll"  # entry ~1.dll
cat >"$work/manifest.json" <<'JSON'
{"registry": {"key": "SOFTWARE\\Maker\\Product", "folderValue": "ProgramPath",
              "fileValue": "ProgramName", "patchLevelValue": "PatchLevel"},
 "patchLevel": 4,
 "startup": {"caption": "Обновление", "text": "Установить?"},
 "folders": ["data"]}
JSON

expect 0 "help" "$pinepack" --help
for sub in create list verify extract wrap; do mentions out "$sub"; done
expect 0 "create help" "$pinepack" create --help
mentions out "--per-file"
expect 1 "no subcommand" "$pinepack"
expect 1 "unknown subcommand" "$pinepack" pack x

expect 0 "create" "$pinepack" create "$work/files" "$work/manifest.json" "$work/p.pkg"
mentions err "wrote"
expect 0 "create --quiet" "$pinepack" create -q "$work/files" "$work/manifest.json" "$work/q.pkg"
[ -s "$work/err" ] && fail "--quiet still wrote progress"
cmp -s "$work/p.pkg" "$work/q.pkg" || fail "create is not deterministic"
expect 0 "verify" "$pinepack" verify "$work/p.pkg"
mentions out "OK"
expect 0 "list" "$pinepack" list "$work/p.pkg"
mentions out "data\\\\sub\\\\lib.dll"
mentions out "patch level 4"
mentions out "Обновление"
mentions out "^installs: all or nothing"

# Every entry of a package (name, size, deflated, SHA-256 of the contents) and its translation
# pairs, sorted, read by this script's own reader rather than pinepack's.
entries() {
  python3 - "$1" <<'PY'
import hashlib, struct, sys, zlib
data = open(sys.argv[1], "rb").read()
count, offset, method, packed = struct.unpack_from("<4I", data, 16)
directory = data[offset:offset + packed] if method & 3 == 2 else data[offset:offset + 48 * count]
if method & 3 == 2:
    directory = zlib.decompress(directory)
lines = []
for i in range(count):
    name, at, size, flags, packed_size = struct.unpack_from("<32s4I", directory, 48 * i)
    name = name.split(b"\0")[0].decode("cp1251")
    stored = data[at:at + (packed_size if flags & 0x10000 else size)]
    body = zlib.decompress(stored) if flags & 0x10000 else stored
    assert len(body) == size, name
    if name.lower() == ":xlatnamestable":
        words = body.split(b"\0")
        pairs = [(words[j], words[j + 1]) for j in range(0, len(words) - 1, 2) if words[j]]
        lines += ["pair %s -> %s" % (a.decode("cp1251"), b.decode("cp1251")) for a, b in sorted(pairs)]
    else:
        lines.append("%s %d %s" % (name, size, hashlib.sha256(body).hexdigest()))
print("\n".join(sorted(lines)))
PY
}

# A stand-in for RL_PATCH.EXE: the headers of a PE32 image, which osslsigncode can sign.
python3 - "$work/rl.exe" <<'PY'
import struct, sys
image = bytearray(1021)
image[0:2] = b"MZ"
struct.pack_into("<I", image, 0x3C, 0x80)
image[0x80:0x84] = b"PE\0\0"
struct.pack_into("<H", image, 0x84, 0x14C)
struct.pack_into("<H", image, 0x94, 224)
struct.pack_into("<H", image, 0x98, 0x10B)
struct.pack_into("<I", image, 0x98 + 92, 16)
open(sys.argv[1], "wb").write(image)
PY
expect 0 "wrap" "$pinepack" wrap "$work/rl.exe" "$work/p.pkg" "$work/u.exe"
size=$(stat -c %s "$work/u.exe")
least=$(($(stat -c %s "$work/rl.exe") + $(stat -c %s "$work/p.pkg") + 8))
[ $((size % 8)) = 0 ] && [ "$size" -ge "$least" ] && [ "$size" -lt $((least + 8)) ] ||
  fail "wrapped size $size: not the parts padded to a multiple of 8"
[ "$(tail -c 4 "$work/u.exe")" = "PINE" ] || fail "trailer magic"
expect 0 "list updater" "$pinepack" list "$work/u.exe"
mentions out "self-contained updater"
mentions out "not signed"
expect 0 "verify updater" "$pinepack" verify "$work/u.exe"
expect 0 "extract updater" "$pinepack" extract "$work/u.exe" "$work/x" -m "$work/x.json"
cmp -s "$work/x/data/sub/lib.dll" "$work/files/data/sub/lib.dll" || fail "extracted file differs"
cmp -s "$work/x/data/sub/a_rather_long_folder_name/library.dll" \
  "$work/files/data/sub/a_rather_long_folder_name/library.dll" || fail "long path not as installed"
[ -e "$work/x/~1.dll" ] && fail "extract wrote an entry name, not the name on disk"
mentions x.json '"patchLevel": 4'
expect 0 "extract --raw" "$pinepack" extract --raw "$work/u.exe" "$work/r" -m "$work/r.json"
cmp -s "$work/r/~1.dll" "$work/files/data/sub/a_rather_long_folder_name/library.dll" ||
  fail "raw layout lacks ~1.dll"
# Both folders and their manifests rebuild the same entries.
entries "$work/p.pkg" >"$work/p.entries"
grep -q '^pair ~1.dll -> data' "$work/p.entries" || fail "the long path has no translation pair"
for layout in x r; do
  expect 0 "rebuild from $layout" "$pinepack" create "$work/$layout" "$work/$layout.json" "$work/$layout.pkg"
  entries "$work/$layout.pkg" | diff "$work/p.entries" - >/dev/null ||
    fail "the package rebuilt from $layout differs: $(entries "$work/$layout.pkg" | diff "$work/p.entries" -)"
done

# Signing with a throwaway certificate: the signed updater verifies and reads the same, and an
# updater wrapped from a signed executable is unsigned and signs again.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 1 -subj "/CN=Pinepack test vendor" >/dev/null 2>&1 || fail "openssl made no certificate"
sign() { osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -in "$1" -out "$2" >/dev/null; }
sigcheck() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
sign "$work/u.exe" "$work/us.exe" || fail "osslsigncode cannot sign the wrapped updater"
sigcheck "$work/us.exe" || fail "the signed updater does not verify"
expect 0 "verify signed" "$pinepack" verify "$work/us.exe"
expect 0 "list signed" "$pinepack" list "$work/us.exe"
mentions out "signed: certificate table of [0-9]* bytes at file offset $size\$"
expect 0 "extract signed" "$pinepack" extract "$work/us.exe" "$work/xs"
diff -r "$work/x" "$work/xs" >/dev/null || fail "the signed updater extracts differently"
sign "$work/rl.exe" "$work/rls.exe" || fail "osslsigncode cannot sign the executable"
expect 0 "wrap signed executable" "$pinepack" wrap "$work/rls.exe" "$work/p.pkg" "$work/w.exe"
sigcheck "$work/w.exe" && fail "wrapped from a signed executable, the output still claims a signature"
mentions_list() { "$pinepack" list "$1" | grep -q "$2" || fail "list $1 lacks '$2'"; }
mentions_list "$work/w.exe" "not signed: no certificate table"
sign "$work/w.exe" "$work/ws.exe" || fail "osslsigncode cannot sign an updater wrapped from a signed executable"
sigcheck "$work/ws.exe" || fail "the re-signed updater does not verify"
expect 0 "verify re-signed" "$pinepack" verify "$work/ws.exe"

# Failures: a message, a non-zero status, nothing half-written.
expect 1 "wrap onto its input" "$pinepack" wrap "$work/rl.exe" "$work/p.pkg" "$work/p.pkg"
mentions err "differ"
cp "$work/p.pkg" "$work/bad.pkg"
printf '\x05' | dd of="$work/bad.pkg" bs=1 seek=24 conv=notrunc status=none
expect 1 "verify damaged" "$pinepack" verify "$work/bad.pkg"
mentions out "directoryMethod 5"
expect 1 "wrap damaged" "$pinepack" wrap "$work/rl.exe" "$work/bad.pkg" "$work/bad.exe"
[ -e "$work/bad.exe" ] && fail "wrap of a damaged package left an output"
expect 0 "wrap damaged, unchecked" "$pinepack" wrap --unchecked "$work/rl.exe" "$work/bad.pkg" "$work/bad.exe"
expect 1 "list damaged" "$pinepack" list "$work/bad.pkg"
mentions err "pinepack verify"
expect 1 "extract damaged" "$pinepack" extract "$work/bad.pkg" "$work/y"
expect 1 "missing input" "$pinepack" verify "$work/none.pkg"

# Patch packages: create --from an old release, list, verify --against, apply to a copy.
mkdir -p "$work/rel1/data" "$work/rel2/data" "$work/rel2/fresh"
seq 1 20000 >"$work/rel1/app.exe"
{ seq 1 9000; echo changed; seq 9001 20000; } >"$work/rel2/app.exe"
echo same >"$work/rel1/data/same.txt"
cp "$work/rel1/data/same.txt" "$work/rel2/data/same.txt"
echo old >"$work/rel1/gone.dll"
echo new >"$work/rel2/fresh/new.txt"
expect 1 "full fallback without --from" "$pinepack" create --full-fallback "$work/rel2" "$work/manifest.json" "$work/d.pkg"
mentions err "needs --from"
expect 0 "create --from" "$pinepack" create "$work/rel2" "$work/manifest.json" "$work/d.pkg" --from "$work/rel1"
mentions err "same.txt: unchanged"
mentions err "app.exe: .* bytes, delta"
[ "$(head -c 15 "$work/d.pkg")" = "Pinecone delta " ] || fail "a package with deltas keeps the plain signature"
expect 0 "create --from --per-file" "$pinepack" create -q --per-file "$work/rel2" "$work/manifest.json" "$work/dp.pkg" --from "$work/rel1"
# The mark: 4 bytes, rules 1, in the default package only.
mark=":Transaction 4 $(printf '\x01\0\0\0' | sha256sum | cut -c1-64)"
grep -qx "$mark" <(entries "$work/d.pkg") || fail "the package lacks the :Transaction mark: $(entries "$work/d.pkg")"
entries "$work/dp.pkg" | grep -q Transaction && fail "--per-file still wrote :Transaction"
[ "$(stat -c %s "$work/d.pkg")" -gt "$(stat -c %s "$work/dp.pkg")" ] || fail "--per-file is no smaller"
expect 0 "list per-file package" "$pinepack" list "$work/dp.pkg"
mentions out "^installs: file by file"
expect 0 "list delta package" "$pinepack" list "$work/d.pkg"
mentions out "^installs: all or nothing"
mentions out "delta from a base of $(stat -c %s "$work/rel1/app.exe") bytes, SHA-256 $(sha256sum "$work/rel1/app.exe" | cut -c1-64)"
mentions out "remove \"gone.dll\""
mentions out "folder \"fresh\""
expect 0 "verify delta package" "$pinepack" verify "$work/d.pkg"
expect 0 "verify --against the base" "$pinepack" verify "$work/d.pkg" --against "$work/rel1"
cp -r "$work/rel1" "$work/inst"
expect 0 "apply" "$pinepack" apply "$work/d.pkg" "$work/inst"
for phase in "check: every file as expected" "stage: file app.exe: built from the old version and a delta as app.exe.[0-9a-f]\{16\}.new" "commit: file app.exe: built from"; do
  mentions out "$phase"
done
# diff -r names every file or folder more or less: a staged file, a .bak, an empty folder.
diff -r "$work/rel2" "$work/inst" >/dev/null || fail "apply does not give exactly the new release: $(diff -r "$work/rel2" "$work/inst")"
expect 0 "apply again" "$pinepack" apply "$work/d.pkg" "$work/inst"
mentions out "app.exe: already the new version"
cp -r "$work/rel1" "$work/other"
echo tampered >>"$work/other/app.exe"
cp "$work/other/app.exe" "$work/tampered.exe"
cp -r "$work/other" "$work/other-before"
expect 1 "verify --against another version" "$pinepack" verify "$work/d.pkg" --against "$work/other"
mentions out "not the version the update was made for"
expect 1 "apply to another version" "$pinepack" apply "$work/d.pkg" "$work/other"
mentions out "check: file app.exe: FAILED: not the version the update was made for"
mentions err "all or nothing"
diff -r "$work/other-before" "$work/other" >/dev/null || fail "a failed check changed the folder: $(diff -r "$work/other-before" "$work/other")"
cp -r "$work/rel1" "$work/stranger" && echo "someone's" >"$work/stranger/app.exe.bak"
cp -r "$work/stranger" "$work/stranger-before"
expect 1 "apply with a stranger's .bak in the way" "$pinepack" apply "$work/d.pkg" "$work/stranger"
mentions out "check: file app.exe: FAILED: app.exe.bak is in the way"
diff -r "$work/stranger-before" "$work/stranger" >/dev/null || fail "a .bak in the way did not stop the update"
expect 1 "per file, apply to another version" "$pinepack" apply "$work/dp.pkg" "$work/other"
mentions out "^file app.exe: FAILED: not the version the update was made for"
mentions err "1 file(s) failed"
cmp -s "$work/other/app.exe" "$work/tampered.exe" || fail "a file that is no base was touched"
[ -e "$work/other/fresh/new.txt" ] || fail "per file, a failed file stopped the other files"
expect 0 "create --from --full-fallback" "$pinepack" create -q "$work/rel2" "$work/manifest.json" "$work/f.pkg" --from "$work/rel1" --full-fallback
expect 0 "apply with the full fallback" "$pinepack" apply "$work/f.pkg" "$work/other"
mentions out "app.exe: installed whole"
cmp -s "$work/other/app.exe" "$work/rel2/app.exe" || fail "the full fallback was not installed"
python3 - "$work/d.pkg" <<'PY' || fail "damaging a delta's body is not noticed"
import struct, sys, zlib
data = bytearray(open(sys.argv[1], "rb").read())
count, offset, method, packed = struct.unpack_from("<4I", data, 16)
directory = zlib.decompress(bytes(data[offset:offset + packed]))
for i in range(count):
    name = directory[48 * i:48 * i + 32].split(b"\0")[0]
    at, size, flags = struct.unpack_from("<3I", directory, 48 * i + 32)
    if name == b"app.exe" and flags & 0x20000:
        data[at + 88 + (size - 88) // 2] ^= 0x55
open(sys.argv[1] + ".bad", "wb").write(data)
PY
expect 1 "verify a damaged delta" "$pinepack" verify "$work/d.pkg.bad"
mentions out "app.exe\").*damaged"
cp -r "$work/rel1" "$work/inst2"
expect 1 "apply a damaged delta" "$pinepack" apply "$work/d.pkg.bad" "$work/inst2"
mentions out "stage: file app.exe: FAILED"
diff -r "$work/rel1" "$work/inst2" >/dev/null || fail "a failed stage left the folder changed: $(diff -r "$work/rel1" "$work/inst2")"

echo '{"registry": {}, "patchLevel": 1}' >"$work/broken.json"
expect 1 "bad manifest" "$pinepack" create "$work/files" "$work/broken.json" "$work/b.pkg"
mentions err "registry: missing field \"key\""
[ -e "$work/b.pkg" ] && fail "a refused create left an output"
printf '{"registry": {"key": "K", "folderValue": "F", "fileValue": "N", "patchLevelValue": "P"}, "patchLevel": 1, "startup": {"caption": "\xe4\xb8\xad", "text": "t"}}' >"$work/cjk.json"
expect 1 "caption without Windows-1251 form" "$pinepack" create "$work/files" "$work/cjk.json" "$work/c.pkg"
mentions err "U+4E2D"
expect 1 "level out of range" "$pinepack" create --level 10 "$work/files" "$work/manifest.json" "$work/l.pkg"

[ "$failures" = 0 ] && echo "all pinepack command-line checks passed"
exit $((failures > 0))
