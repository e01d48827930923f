#!/usr/bin/env bash
# pinepack on Windows against pinepack on Linux (on demand, not part of the tests):
#   bench/pinepack_windows_bench.sh [PAIR...]     PAIR as bench/delta_bench.sh takes them
#                                                 (default: esbuild rollup prettier)
# For each pair of releases that bench/delta_bench.sh prepares (it is run first for a pair whose
# trees are missing, without its Wine part), in the same run: `pinepack create --from` of the
# native tool and of pinepack.exe under Wine (the win32 build where Wine runs 32-bit programs,
# found by trying, else the win64 build), each with its time and peak memory (/usr/bin/time -v:
# for the Windows tool the Wine process, Wine's own pages included), the ratio of the times, and
# whether the two packages are the same bytes. The tool is started once before, so that Wine's own
# start (its server, the prefix) is not in the first pair's time.
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

winPreset=$(pinecone_wine_build "$root/build/win32")
if [ "$winPreset" = win32 ]; then WINE=$WINE32; fi
cmake --preset native >/dev/null
cmake --build --preset native -j2 --target pinepack >/dev/null
cmake --preset "$winPreset" >/dev/null
cmake --build --preset "$winPreset" -j2 --target pinepack >/dev/null
native=$root/build/native/tools/pinepack/pinepack
windows=$root/build/$winPreset/tools/pinepack/pinepack.exe

# timed FILE COMMAND...: runs the command under /usr/bin/time into FILE; prints "seconds MB".
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

"$WINE" "$windows" --help >/dev/null 2>&1 || true
echo "pinepack create --from: native against pinepack.exe ($winPreset) under Wine"
printf '%-10s %12s %9s %12s %9s %8s %s\n' pair "native s" "MB" "Windows s" "MB" ratio "same bytes"
for pair in "${pairs[@]}"; do
  w=$work/$pair
  read -r ns nm < <(timed "$w/time-native.txt" "$native" -q create "$w/new" "$w/manifest.json" \
    "$w/native.pkg" --from "$w/old")
  # Windows paths: the trees through drive Z:, as a vendor's tool would be given them.
  read -r ws wm < <(timed "$w/time-windows.txt" "$WINE" "$windows" -q create \
    "Z:${w//\//\\}\\new" "Z:${w//\//\\}\\manifest.json" "Z:${w//\//\\}\\windows.pkg" \
    --from "Z:${w//\//\\}\\old")
  same=$(cmp -s "$w/native.pkg" "$w/windows.pkg" && echo yes || echo NO)
  printf '%-10s %12s %9s %12s %9s %8s %s\n' "$pair" "$ns" "$nm" "$ws" "$wm" \
    "$(LC_ALL=C awk -v a="$ws" -v b="$ns" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}')" "$same"
done
