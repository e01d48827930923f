#!/usr/bin/env bash
# Builds tests/i686/sha256_i686.cpp with src/delta/sha256.cpp as a freestanding 32-bit program,
# with RL_PATCH.EXE's optimisation and a stack kept only 4-byte aligned, and runs it.
#   tests/i686/run.sh SOURCE_DIR WORK_DIR
# Exits 77 (skipped) where the compiler cannot make i386 code or the kernel cannot run it.
set -u
src=$1
work=$2
mkdir -p "$work"
exe=$work/sha256_i686
if ! g++ -m32 -Os -std=c++17 -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables \
  -nostdlib -nostdinc++ -static -mincoming-stack-boundary=2 -mpreferred-stack-boundary=2 \
  -Wall -Wextra -Werror -I"$src/tests/i686/include" -I"$src/src" \
  "$src/tests/i686/sha256_i686.cpp" "$src/src/delta/sha256.cpp" -o "$exe"; then
  echo "sha256_i686: g++ -m32 cannot build a freestanding i386 program here; skipped"
  exit 77
fi
"$exe"
code=$?
case $code in
  0) echo "sha256_i686: the SHA extensions' path and the portable one agree in 32-bit code" ;;
  3) echo "sha256_i686: this CPU has no SHA extensions; only the portable path ran" ;;
  126 | 127) echo "sha256_i686: this kernel does not run i386 programs; skipped"; exit 77 ;;
  *) echo "sha256_i686: digests differ (exit code $code)"; exit 1 ;;
esac
exit 0
