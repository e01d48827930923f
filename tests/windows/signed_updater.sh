#!/usr/bin/env bash
# Signed updaters under Wine. osslsigncode and openssl are Linux programs, and a Windows program
# under Wine cannot wait for a Linux one it starts, so this script runs the Windows test's phases
# (tests/windows/signed_updater_test.cpp) with the signing in between, in a folder of its own:
#   signed_updater.sh WINDOWS_TESTS_EXE RL_PATCH_EXE
# Exits 77 (ctest's "skipped") when Wine cannot run the build's programs here.
set -u
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run"
tests_exe=$1 rl_patch=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "FAIL: $*"
  exit 1
}
# phase NAME FILTER: one run of the Windows tests; a skip (77) skips the whole test.
phase() {
  echo "=== $1"
  "$wine_run" "$tests_exe" --gtest_filter="$2"
  local status=$?
  [ "$status" = 77 ] && exit 77
  [ "$status" = 0 ] || fail "$1"
}

# A throwaway code-signing certificate, made for this run.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 1 \
  -subj "/CN=Pinecone test vendor" >/dev/null 2>&1 || fail "openssl made no certificate"
sign() {
  osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Pinecone update" \
    -in "$1" -out "$2" >/dev/null || fail "osslsigncode cannot sign $1"
}
verifies() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }

sign "$rl_patch" "$work/RL_SIGNED.EXE"
verifies "$work/RL_SIGNED.EXE" || fail "the signed RL_PATCH.EXE does not verify"

# The Windows side sees the folder through drive Z:.
export PINECONE_SIGNING_DIR="Z:${work//\//\\}"
phase "build with MAKEEXE" 'SignedUpdaterBuild*'
for name in from-unsigned from-signed; do
  [ -s "$work/$name.exe" ] || fail "MAKEEXE wrote no $name.exe"
  verifies "$work/$name.exe" && fail "$name.exe claims a signature before it is signed"
  sign "$work/$name.exe" "$work/signed-$name.exe"
  verifies "$work/signed-$name.exe" || fail "signed-$name.exe does not verify"
  echo "signed and verified: signed-$name.exe"
done

# The attacker's move: grow the certificate table of a signed updater by a package of their own
# and a trailer pointing at it, with the table's sizes raised in the security entry and in its
# WIN_CERTIFICATE header. The signature covers neither, so it still verifies.
python3 - "$work/signed-from-unsigned.exe" "$work/hidden.pkg" "$work/tampered-from-unsigned.exe" \
  <<'EOF' || fail "could not grow the certificate table"
import struct, sys
signed, hidden, out = sys.argv[1:4]
data = bytearray(open(signed, 'rb').read())
package = open(hidden, 'rb').read()
pe = struct.unpack_from('<I', data, 0x3C)[0]
pe32plus = struct.unpack_from('<H', data, pe + 24)[0] == 0x20B
entry = pe + 24 + (112 if pe32plus else 96) + 4 * 8
offset, size = struct.unpack_from('<II', data, entry)
assert offset + size == len(data), "the table does not end the signed file"
hidden_at = len(data)
appended = package + bytes((8 - (hidden_at + len(package)) % 8) % 8)
appended += struct.pack('<I', hidden_at) + b'PINE'
struct.pack_into('<I', data, entry + 4, size + len(appended))
struct.pack_into('<I', data, offset, size + len(appended))
open(out, 'wb').write(bytes(data) + appended)
EOF
verifies "$work/tampered-from-unsigned.exe" ||
  fail "the grown table voids the signature: the attack this guards against needs it to verify"
echo "tampered-from-unsigned.exe: a package hidden in its certificate table, and it verifies"

phase "run the signed updaters" 'SignedUpdaterRun*'
echo "signed updaters build, sign, verify and install"
