#!/bin/bash
# Idle CPU of the progress window while it waits for the click on "OK": the blocking message
# loop of RL_PATCH.EXE against the old spinning loop (RL_PATCH_SPIN.EXE, the same sources built
# with PINECONE_BENCH_SPINNING_LOOP).
#   bench/idle_cpu.sh [BUILD_DIR] [SECONDS]
# BUILD_DIR, a configured Windows build, defaults to build/win32 (the product's build) where Wine
# runs 32-bit programs, found by trying, and to build/win64 elsewhere (configured if missing);
# SECONDS to 10.
# For each program: starts it with four tokens (the usage text, then the window waits), lets it
# settle, and reads over SECONDS the CPU time of its Wine process (Linux /proc, user + system)
# and of the wineserver. The wineserver serves every Wine program of the prefix, so its figure
# includes anything else running in the prefix at the time.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${2:-10}
settle=3
# shellcheck source=scripts/env.sh
source "$root/scripts/env.sh"
if [ -n "${1:-}" ]; then
  build=$(realpath -m "$1")
else
  preset=$(pinecone_wine_build "$root/build/win32")
  build=$root/build/$preset
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake --preset "$preset" -B "$build" >/dev/null
  fi
fi
pinecone_loader_for "$build"
echo "idle_cpu: the programs of $build, under $WINE" >&2
cmake --build "$build" -j2 --target rl_patch rl_patch_spin >/dev/null

ticks=$(getconf CLK_TCK)

# User + system clock ticks of a Linux process so far.
cpu_ticks() {
  awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0
}

# The pids below $1 (children, grandchildren, ...).
descendants() {
  local child
  for child in $(cat /proc/"$1"/task/*/children 2>/dev/null); do
    echo "$child"
    descendants "$child"
  done
}

# Measures one program; prints "name process% wineserver%".
measure() {
  local name=$1 exe=$2
  xvfb-run -a -s "-screen 0 1024x768x24" "$WINE" "$exe" RL_PATCH.EXE a b other >/dev/null 2>&1 &
  local runner=$!
  local pid="" tries=0
  while [ -z "$pid" ] && [ $tries -lt 100 ]; do
    sleep 0.1
    tries=$((tries + 1))
    for p in $(descendants "$runner"); do
      if tr '\0' ' ' <"/proc/$p/cmdline" 2>/dev/null | grep -q "$(basename "$exe")"; then
        pid=$p
      fi
    done
  done
  if [ -z "$pid" ]; then
    echo "$name: the Wine process was not found" >&2
    kill "$runner" 2>/dev/null || true
    return 1
  fi
  sleep "$settle"
  local server
  server=$(pgrep -n -f "wineserver" -u "$(id -u)" || true)
  local p0 s0 p1 s1
  p0=$(cpu_ticks "$pid")
  s0=$( [ -n "$server" ] && cpu_ticks "$server" || echo 0)
  sleep "$seconds"
  p1=$(cpu_ticks "$pid")
  s1=$( [ -n "$server" ] && cpu_ticks "$server" || echo 0)
  # The program waits for a click that never comes: end it (by its own pid) and its runner.
  kill "$pid" 2>/dev/null || true
  wait "$runner" 2>/dev/null || true
  LC_ALL=C awk -v n="$name" -v dp=$((p1 - p0)) -v ds=$((s1 - s0)) -v t="$ticks" -v s="$seconds" \
    'BEGIN { printf "%-30s process %6.1f %% of a core   wineserver %6.1f %%\n", n, 100 * dp / t / s, 100 * ds / t / s }'
}

echo "Idle CPU while the window waits for the click, over $seconds s:"
measure "blocking loop (RL_PATCH)" "$build/src/RL_PATCH.EXE"
measure "spinning loop (RL_PATCH_SPIN)" "$build/bench/RL_PATCH_SPIN.EXE"
