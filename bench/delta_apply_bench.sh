#!/usr/bin/env bash
# The delta apply benchmark (on demand, not part of the tests):
#   bench/delta_apply_bench.sh [PAIR...]     PAIR: esbuild, rollup or prettier (default: all)
# For each pair of releases that bench/delta_bench.sh fetched and unpacked (it is run first for
# a pair it has not done), RL_PATCH.EXE under Wine (the win32 build, the product, where Wine
# runs 32-bit programs, found by trying; else the win64 build of the same sources) updates a
# program folder holding the old release, from its start to its finished window
# (bench/timed_update.cpp), once with our package made by pinepack create --from and once with
# the full package (every file of the new release whole, deflated). Both must leave exactly the
# new release. The figures are the median of BENCH_RUNS runs (default 7), less the fixed cost of
# a run (an updater whose package has no files, its median too): run times under Wine here stray
# by tens of milliseconds either way, which the best of a few runs does not smooth out. Beside
# them, the update's own work as its log times it (from the update lock taken to the patch level
# written: bench/timed_run.sh's log_span_ms), median of the same runs: no fixed cost to subtract.
# The bar is delta / full at most 1.5.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${BENCH_RUNS:-7}
source=$root/build/bench-work/delta
work=$root/build/bench-work/delta-apply
. scripts/env.sh
# The Windows build, chosen before the display session below, which gets it through
# PINECONE_BENCH_BUILD.
winBuild=$root/build/${PINECONE_BENCH_BUILD:-win32}
if [ "${PINECONE_BENCH_BUILD:-}" = win32 ]; then WINE=$WINE32; fi
benchRoot=$WINEPREFIX/drive_c/pinecone-delta-bench
appDir=$benchRoot/prog
regKey='HKLM\SOFTWARE\PineconeTests\deltabench'

. "$root/bench/timed_run.sh"

# The program folder holds exactly PAIR's new release (and prog.exe).
check_installed() {
  rm "$appDir/prog.exe"
  diff -r -q "$source/$1/new" "$appDir" >/dev/null ||
    { echo "delta_apply_bench: $2 did not leave the new release of $1" >&2; return 1; }
}

measure() {
  local pair kind run v fixed=() log=$benchRoot/update.log
  declare -A ms own
  for run in $(seq "$runs"); do
    v=$(update_ms "" "$work/empty.exe") || return 1
    fixed+=("$v")
    for pair in "${pairs[@]}"; do
      for kind in delta full; do
        rm -f "$log"
        v=$(update_ms "$source/$pair/old" "$work/$pair-$kind.exe" \
          '/LOG=C:\pinecone-delta-bench\update.log') || return 1
        ms[$pair-$kind]+=" $v"
        v=$(log_span_ms "$log") || { echo "delta_apply_bench: no span in $log" >&2; return 1; }
        own[$pair-$kind]+=" $v"
        [ "$run" != "$runs" ] || check_installed "$pair" "$kind" || return 1
      done
    done
  done
  local fx; fx=$(median "${fixed[@]}")
  echo "RL_PATCH.EXE ($PINECONE_BENCH_BUILD) $(stat -c %s "$winBuild/src/RL_PATCH.EXE") bytes;" \
    "median of $runs;" \
    "fixed cost of a run $fx ms (subtracted)"
  printf '%-10s %12s %12s %12s %12s %8s %10s %10s %8s\n' pair "delta pkg" "full pkg" "delta ms" \
    "full ms" ratio "own delta" "own full" "own"
  for pair in "${pairs[@]}"; do
    # shellcheck disable=SC2086
    LC_ALL=C awk -v p="$pair" -v db="$(stat -c %s "$work/$pair-delta.pkg")" \
      -v fb="$(stat -c %s "$work/$pair-full.pkg")" -v fx="$fx" \
      -v d="$(median ${ms[$pair-delta]})" -v f="$(median ${ms[$pair-full]})" \
      -v od="$(median ${own[$pair-delta]})" -v of="$(median ${own[$pair-full]})" 'BEGIN {
      printf "%-10s %12d %12d %12d %12d %8.2f %10d %10d %8.2f %s\n", p, db, fb, d - fx, f - fx,
        (d - fx) / (f - fx), od, of, od / of,
        od / of <= 1.5 ? "(at most 1.5: met)" : "(at most 1.5: NOT met)"
    }'
  done
}

inner() {
  rm -rf "$benchRoot"
  "$WINE" reg add "$regKey" /v ProgramPath /t REG_SZ /d 'C:\pinecone-delta-bench\prog' /f >/dev/null
  "$WINE" reg add "$regKey" /v ProgramName /t REG_SZ /d prog.exe /f >/dev/null
  local status=0
  measure || status=$?
  rm -rf "$benchRoot"
  "$WINE" reg delete "$regKey" /f >/dev/null 2>&1 || true
  return $status
}

pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=(esbuild rollup prettier)
if [ -n "${PINECONE_BENCH_INNER:-}" ]; then
  inner
  exit $?
fi

for pair in "${pairs[@]}"; do
  [ -d "$source/$pair/new" ] || DELTA_BENCH_WINE=0 bash bench/delta_bench.sh "$pair" >/dev/null
done
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target pinepack >/dev/null
winPreset=$(pinecone_wine_build "$root/build/win32")
export PINECONE_BENCH_BUILD=$winPreset
cmake --preset "$winPreset" >/dev/null
cmake --build --preset "$winPreset" -j2 --target rl_patch timed_update >/dev/null
pinepack=$root/build/native/tools/pinepack/pinepack
rl=$root/build/$winPreset/src/RL_PATCH.EXE

rm -rf "$work" && mkdir -p "$work/nofiles"
printf '%s\n' '{ "registry": { "key": "SOFTWARE\\PineconeTests\\deltabench",' \
  '                "folderValue": "ProgramPath", "fileValue": "ProgramName",' \
  '                "patchLevelValue": "PatchLevel" }, "patchLevel": 1 }' >"$work/manifest.json"
"$pinepack" -q create "$work/nofiles" "$work/manifest.json" "$work/empty.pkg"
"$pinepack" -q wrap "$rl" "$work/empty.pkg" "$work/empty.exe"
for pair in "${pairs[@]}"; do
  "$pinepack" -q create "$source/$pair/new" "$work/manifest.json" "$work/$pair-delta.pkg" \
    --from "$source/$pair/old"
  "$pinepack" -q create "$source/$pair/new" "$work/manifest.json" "$work/$pair-full.pkg"
  for kind in delta full; do
    "$pinepack" -q wrap "$rl" "$work/$pair-$kind.pkg" "$work/$pair-$kind.exe"
  done
done

# Every Wine call runs on the display (see scripts/demo for why).
PINECONE_BENCH_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "${pairs[@]}"
