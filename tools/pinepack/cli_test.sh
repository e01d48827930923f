#!/usr/bin/env bash
# The pinepack command line as vendors use it: exit codes, messages, outputs left behind.
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

mkdir -p "$work/files/data/sub"
seq 1 5000 >"$work/files/app.exe"
echo library >"$work/files/data/sub/lib.dll"
cat >"$work/manifest.json" <<'JSON'
{"registry": {"key": "SOFTWARE\\Maker\\Product", "folderValue": "ProgramPath",
              "fileValue": "ProgramName", "patchLevelValue": "PatchLevel"},
 "patchLevel": 4,
 "startup": {"caption": "Обновление", "text": "Установить?"},
 "folders": ["data"]}
JSON

expect 0 "help" "$pinepack" --help
for sub in create list verify extract wrap; do mentions out "$sub"; done
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

printf 'MZ stand-in executable' >"$work/rl.exe"
expect 0 "wrap" "$pinepack" wrap "$work/rl.exe" "$work/p.pkg" "$work/u.exe"
size=$(($(stat -c %s "$work/rl.exe") + $(stat -c %s "$work/p.pkg") + 8))
[ "$(stat -c %s "$work/u.exe")" = "$size" ] || fail "wrapped size"
[ "$(tail -c 4 "$work/u.exe")" = "PINE" ] || fail "trailer magic"
expect 0 "list updater" "$pinepack" list "$work/u.exe"
mentions out "self-contained updater"
expect 0 "verify updater" "$pinepack" verify "$work/u.exe"
expect 0 "extract updater" "$pinepack" extract "$work/u.exe" "$work/x" -m "$work/x.json"
cmp -s "$work/x/data/sub/lib.dll" "$work/files/data/sub/lib.dll" || fail "extracted file differs"
mentions x.json '"patchLevel": 4'

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
