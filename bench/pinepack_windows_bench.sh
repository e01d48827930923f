#!/usr/bin/env bash
# pinepack on Windows against pinepack on Linux (on demand, not part of the tests):
#   bench/pinepack_windows_bench.sh [PAIR...]     PAIR as bench/delta_bench.sh takes them
#                                                 (default: esbuild rollup prettier)
# For each pair of releases that bench/delta_bench.sh prepares (it is run first for a pair whose
# trees are missing, without its Wine part), in the same run: `pinepack create --from` of the
# native tool and of pinepack.exe under Wine (both builds where Wine runs 32-bit programs, else
# the win64 build), each with its time and peak memory (/usr/bin/time -v:
# for the Windows tool the Wine process, Wine's own pages included), the ratio of the times, and
# whether the two packages are the same bytes. Each tool runs three times per pair, taking turns,
# and the medians are shown. Wine's server is kept running through the benchmark (and stopped at
# its end): started anew for each run, as it is after three idle seconds, it and Wine's services
# cost about half a second per run, which a vendor's Windows never pays.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. scripts/env.sh
work=$root/build/bench-work/delta
pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=(esbuild rollup prettier)

for pair in "${pairs[@]}"; do
  if [ ! -d "$work/$pair/new" ] || [ ! -f "$work/$pair/manifest.json" ]; then
    DELTA_BENCH_WINE=0 bash bench/delta_bench.sh "$pair" >/dev/null
  fi
done

# Both Windows builds where Wine runs 32-bit programs (found by trying), else the win64 build.
winPreset=$(pinecone_wine_build "$root/build/win32")
builds=(win64)
[ "$winPreset" = win32 ] && builds=(win32 win64)
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target pinepack >/dev/null
for build in "${builds[@]}"; do
  cmake --preset "$build" >/dev/null
  cmake --build --preset "$build" -j2 --target pinepack >/dev/null
done
native=$root/build/native/tools/pinepack/pinepack

# timed FILE COMMAND...: runs the command under /usr/bin/time into FILE; prints "seconds MB".
# (Its output goes to files: Wine's services, started by the first run, would hold a pipe open.)
timed() {
  local out=$1
  shift
  /usr/bin/time -v -o "$out" "$@" >/dev/null 2>"$out.stderr" || {
    cat "$out.stderr" >&2
    echo "pinepack_windows_bench: $* failed" >&2
    exit 1
  }
  LC_ALL=C awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); t = 0;
      for (i = 1; i <= n; i++) t = t * 60 + p[i]; s = t}
    /Maximum resident set size/ {kb = $2}
    END {printf "%.2f %.0f\n", s, kb / 1024}' "$out"
}

"$WINESERVER" -p
trap '"$WINESERVER" -k' EXIT
"$WINE" "$root/build/win64/tools/pinepack/pinepack.exe" --help >/dev/null 2>&1 </dev/null || true
for build in "${builds[@]}"; do
  loader=$WINE
  [ "$build" = win32 ] && loader=$WINE32
  read -r _ mb < <(timed "$work/time-help.txt" "$loader" \
    "$root/build/$build/tools/pinepack/pinepack.exe" --help)
  echo "Wine's own pages: pinepack.exe --help ($build) peaks at $mb MB"
done
# median3 A B C
median3() { printf '%s\n' "$@" | LC_ALL=C sort -g | sed -n 2p; }
echo "pinepack create --from: native against pinepack.exe under Wine (${builds[*]})," \
  "medians of 3 runs taking turns"
printf '%-10s %-6s %10s %6s %11s %6s %7s %s\n' pair build "native s" MB "Windows s" MB ratio \
  "same bytes"
for pair in "${pairs[@]}"; do
  w=$work/$pair
  for build in "${builds[@]}"; do
    loader=$WINE
    [ "$build" = win32 ] && loader=$WINE32
    nsList=() nmList=() wsList=() wmList=()
    for round in 1 2 3; do
      read -r ns nm < <(timed "$w/time-native.txt" "$native" -q create "$w/new" \
        "$w/manifest.json" "$w/native.pkg" --from "$w/old")
      # Windows paths: the trees through drive Z:, as a vendor's tool would be given them.
      read -r ws wm < <(timed "$w/time-windows.txt" "$loader" \
        "$root/build/$build/tools/pinepack/pinepack.exe" -q create "Z:${w//\//\\}\\new" \
        "Z:${w//\//\\}\\manifest.json" "Z:${w//\//\\}\\windows.pkg" --from "Z:${w//\//\\}\\old")
      nsList+=("$ns") nmList+=("$nm") wsList+=("$ws") wmList+=("$wm")
    done
    ns=$(median3 "${nsList[@]}") nm=$(median3 "${nmList[@]}")
    ws=$(median3 "${wsList[@]}") wm=$(median3 "${wmList[@]}")
    same=$(cmp -s "$w/native.pkg" "$w/windows.pkg" && echo yes || echo NO)
    printf '%-10s %-6s %10s %6s %11s %6s %7s %s\n' "$pair" "$build" "$ns" "$nm" "$ws" "$wm" \
      "$(LC_ALL=C awk -v a="$ws" -v b="$ns" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')" "$same"
  done
done
