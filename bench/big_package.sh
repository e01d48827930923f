#!/usr/bin/env bash
# The big-package test on request (not in the default test run): a package of more than 2 GiB
# with a stored file of more than 1 GiB and deflated files, turned into an updater by MAKEEXE and
# installed, with the other big-package cases beside it. Runs the product (the win32 build) where
# Wine runs 32-bit programs, found by trying, else the win64 build, and prints the test's
# figures: how long MAKEEXE and the update took, and the updater's address space and resident
# memory at most, against a tiny package's.
#   bench/big_package.sh [win32|win64]
# Needs about 7 GB of free disk for a minute or two; the test removes everything it made.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/env.sh
bash scripts/setup >/dev/null
preset=${1:-$(pinecone_wine_build "$root/build/win32")}
echo "== building ($preset: RL_PATCH.EXE and the Windows tests)"
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j2 --target rl_patch windows_tests wine_probe >/dev/null
build=$root/build/$preset
export PINECONE_RL_PATCH=$build/src/RL_PATCH.EXE PINECONE_TEST_2GIB_PACKAGE=1
if [ "$preset" = win32 ]; then
  export PINECONE_WINE_32BIT=1 PINECONE_WINE_PROBE=$build/tests/windows/wine_probe.exe
fi
echo "== BigPackage tests with $PINECONE_RL_PATCH"
start=$(date +%s)
status=0
scripts/wine-run "$build/tests/windows/windows_tests.exe" --gtest_filter='BigPackage*' 2>&1 |
  grep -E '^\[ (figures|      OK|  FAILED|  SKIPPED) |Failure|Expected|Which is|actual' || status=1
echo "== $(($(date +%s) - start)) s in all"
# With pipefail, a failed test (or no line found) fails the pipeline.
exit $status
