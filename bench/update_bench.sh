#!/usr/bin/env bash
# The update benchmark (on demand, not part of the tests):
#   bench/update_bench.sh [SIZE_MB] [RUNS]         (defaults: 200 MB, 3 runs)
# Makes a package of about SIZE_MB in many files of mixed sizes and compressibility, installs it
# with RL_PATCH.EXE under Wine into a fresh program folder, and compares that with a baseline
# program that only inflates the same streams into memory (bench/inflate_only.cpp). It does
# this with the product (flush before each commit) and with a variant built without the flush
# (PINECONE_BENCH_NO_FLUSH), and times the builder ("MAKEEXE") against copying the same bytes.
# The figures are the best of RUNS; the fixed cost of starting a run under Wine is measured with
# a package without files and shown separately. The Windows programs are the win32 build's (the
# product's) where Wine runs 32-bit programs, found by trying, and the win64 build's elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
sizeMb=${1:-200}
runs=${2:-3}
work=$root/build/bench-work
nativeBuild=$root/build/demo-native
. scripts/env.sh
# The Windows build, chosen before the display session below, which gets it through
# PINECONE_BENCH_BUILD.
winPreset=${PINECONE_BENCH_BUILD:-}
winBuild=$root/build/demo-$winPreset
noFlushBuild=$root/build/bench-noflush-$winPreset
# The win32 build's programs need the 32-bit loader; reg.exe run through it also writes the
# 32-bit registry view, which is the one the 32-bit updater reads.
if [ "$winPreset" = win32 ]; then WINE=$WINE32; fi
appDir=$WINEPREFIX/drive_c/pinecone-bench/prog
regKey='HKLM\SOFTWARE\PineconeTests\bench'

zpath() { printf 'Z:%s' "${1//\//\\}"; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
min() { printf '%s\n' "$@" | sort -n | head -1; }

reset_program() {
  rm -rf "$appDir" && mkdir -p "$appDir" && echo program >"$appDir/prog.exe"
  "$WINE" reg add "$regKey" /v PatchLevel /t REG_DWORD /d 0 /f >/dev/null
}

# One update run through the driver (no questions in this package); prints the milliseconds
# from the start of the updater to its finished window.
update_ms() {
  local exe=$1 package=$2 signals=$work/signals
  reset_program
  rm -rf "$signals" && mkdir -p "$signals" && touch "$signals/finished.shot"
  # The driver starts the updater with no argument; a bare package needs its name, so the
  # self-contained form is used: the updater wrapped around the package.
  local out
  out=$("$WINE" "$winBuild/demo/demo_driver.exe" "$(zpath "$exe")" "$(zpath "$signals")" | tr -d '\r')
  if ! grep -q 'status line: ' <<<"$out" || ! grep -q "$(printf '\xce\xe1\xed\xee\xe2\xeb\xe5\xed\xe8\xe5 \xf3\xf1\xef\xe5\xf8\xed\xee \xf3\xf1\xf2' | iconv -f CP1251 -t UTF-8)" <<<"$out"; then
    echo "bench: the update did not complete:" >&2
    echo "$out" >&2
    return 1
  fi
  sed -n 's/^finished after \([0-9]*\) ms$/\1/p' <<<"$out"
}

inner() {
  cd "$work"
  "$WINE" reg add "$regKey" /v ProgramPath /t REG_SZ /d 'C:\pinecone-bench\prog' /f >/dev/null
  "$WINE" reg add "$regKey" /v ProgramName /t REG_SZ /d prog.exe /f >/dev/null
  local status=0
  measure || status=$?
  rm -rf "$appDir"
  "$WINE" reg delete "$regKey" /f >/dev/null 2>&1 || true
  return $status
}

measure() {
  local rl=$winBuild/src/RL_PATCH.EXE rlNoFlush=$noFlushBuild/src/RL_PATCH.EXE
  # Self-contained updaters made natively (pinepack wrap), one per variant, plus an empty one.
  "$nativeBuild/tools/pinepack/pinepack" -q wrap "$rl" bench.pkg update.exe
  "$nativeBuild/tools/pinepack/pinepack" -q wrap "$rlNoFlush" bench.pkg update-noflush.exe
  "$nativeBuild/tools/pinepack/pinepack" -q wrap "$rl" empty.pkg update-empty.exe

  local fixed=() flush=() noflush=() inflate=()
  for _ in $(seq "$runs"); do
    fixed+=("$(update_ms "$work/update-empty.exe" empty)")
    flush+=("$(update_ms "$work/update.exe" bench)")
    noflush+=("$(update_ms "$work/update-noflush.exe" bench)")
    inflate+=("$("$WINE" "$winBuild/bench/inflate_only.exe" "$(zpath "$work/bench.pkg")" |
      tr -d '\r' | sed -n 's/.* in \([0-9]*\) ms.*/\1/p')")
  done
  # The last run's files must be the package's: spot-check one against the source folder.
  local sample; sample=$(cd "$work/files" && find . -type f | sort | tail -1)
  cmp -s "$work/files/$sample" "$appDir/$sample" ||
    { echo "bench: installed $sample differs from its source" >&2; return 1; }

  local builder=() builderEmpty=() copy=()
  for _ in $(seq "$runs"); do
    rm -f built.exe built-empty.exe copy.exe
    local t0; t0=$(now_ms)
    "$WINE" "$rl" bench.pkg built.exe MAKEEXE
    builder+=($(($(now_ms) - t0)))
    t0=$(now_ms)
    "$WINE" "$rl" empty.pkg built-empty.exe MAKEEXE
    builderEmpty+=($(($(now_ms) - t0)))
    t0=$(now_ms)
    cat "$rl" bench.pkg >copy.exe
    copy+=($(($(now_ms) - t0)))
  done
  cmp -s built.exe update.exe || { echo "bench: MAKEEXE differs from pinepack wrap" >&2; return 1; }

  local bytes pkgBytes fx fl nf inf b be c
  bytes=$(du -sb "$work/files" | cut -f1)
  pkgBytes=$(stat -c %s bench.pkg)
  fx=$(min "${fixed[@]}") fl=$(min "${flush[@]}") nf=$(min "${noflush[@]}") inf=$(min "${inflate[@]}")
  b=$(min "${builder[@]}") be=$(min "${builderEmpty[@]}") c=$(min "${copy[@]}")
  local files; files=$(find "$work/files" -type f | wc -l)
  echo "== results (best of $runs; $files files, $((bytes / 1048576)) MB installed, package $((pkgBytes / 1048576)) MB)"
  LC_ALL=C awk -v fx="$fx" -v fl="$fl" -v nf="$nf" -v inf="$inf" -v mb="$(echo "$bytes / 1048576" | bc -l)" \
    -v b="$b" -v be="$be" -v c="$c" -v pmb="$(echo "$pkgBytes / 1048576" | bc -l)" 'BEGIN {
    printf "  fixed cost of a run (updater start to finished window, no files): %d ms\n", fx
    printf "  inflate only, into memory:           %6d ms  %7.1f MB/s\n", inf, mb / (inf / 1000)
    printf "  update with flush (the product):     %6d ms  %7.1f MB/s  ratio %.2f (%d ms without the fixed cost: ratio %.2f)\n",
      fl, mb / (fl / 1000), fl / inf, fl - fx, (fl - fx) / inf
    printf "  update without flush:                %6d ms  %7.1f MB/s  ratio %.2f (%d ms without the fixed cost: ratio %.2f)\n",
      nf, mb / (nf / 1000), nf / inf, nf - fx, (nf - fx) / inf
    printf "  cost of the flush:                   %6d ms  (%.0f%% of the update without it)\n",
      fl - nf, 100 * (fl - nf) / nf
    printf "  MAKEEXE of the package:              %6d ms  (%d ms for an empty package: %d ms for %.0f MB)\n",
      b, be, b - be, pmb
    printf "  copying the same bytes (cat):        %6d ms  builder/copy ratio %.2f (%.2f without the start-up)\n",
      c, b / (c ? c : 1), (b - be) / (c ? c : 1)
  }'
}

if [ -n "${PINECONE_BENCH_INNER:-}" ]; then
  inner
  exit $?
fi

bash scripts/setup >/dev/null
winPreset=$(pinecone_wine_build "$root/build/demo-win32")
winBuild=$root/build/demo-$winPreset
noFlushBuild=$root/build/bench-noflush-$winPreset
export PINECONE_BENCH_BUILD=$winPreset
echo "== building ($winPreset: RL_PATCH.EXE, the driver, inflate_only; the same without the flush; pinepack)"
cmake --preset native -B "$nativeBuild" >/dev/null
cmake --build "$nativeBuild" -j2 --target pinepack >/dev/null
cmake --preset "$winPreset" -B "$winBuild" >/dev/null
cmake --build "$winBuild" -j2 --target rl_patch demo_driver inflate_only >/dev/null
cmake --preset "$winPreset" -B "$noFlushBuild" -DCMAKE_CXX_FLAGS=-DPINECONE_BENCH_NO_FLUSH >/dev/null
cmake --build "$noFlushBuild" -j2 --target rl_patch >/dev/null

mkdir -p "$work"
if [ ! -f "$work/bench.pkg" ] || [ "$(cat "$work/size" 2>/dev/null)" != "$sizeMb" ]; then
  echo "== making about $sizeMb MB of files and the package (once; kept in $work)"
  rm -rf "$work/files" && mkdir -p "$work/files"
  python3 - "$work/files" "$sizeMb" <<'PY'
import os, random, sys
folder, total = sys.argv[1], int(sys.argv[2]) * 1048576
rng = random.Random(2026)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(3000)]
text = b" ".join(rng.choice(words) for _ in range(400000))  # about 2.4 MB of word soup
def contents(kind, size):
    if kind == "text":       # compresses to about a third
        start = rng.randrange(len(text) - 1)
        return (text[start:] + text)[:size] if size < len(text) else (text * (size // len(text) + 1))[:size]
    if kind == "binary":     # 6 bits of entropy a byte: compresses a little
        return bytes(b & 0x3F for b in os.urandom(size))
    return os.urandom(size)  # random: stored
made, n = 0, 0
plan = [(0.05, 1024, 32768), (0.40, 65536, 1048576), (0.55, 4194304, 16777216)]
for share, low, high in plan:
    budget = total * share
    spent = 0
    while spent < budget:
        size = min(rng.randint(low, high), int(budget - spent) + low)
        kind = rng.choice(["text", "text", "binary", "random"])
        sub = "dir%d" % (n % 7)
        os.makedirs(os.path.join(folder, sub), exist_ok=True)
        name = os.path.join(folder, sub if n % 3 else "", "f%04d.%s" % (n, kind[:3]))
        with open(name, "wb") as f:
            f.write(contents(kind, size))
        spent += size
        n += 1
print("made %d files" % n)
PY
  cat >"$work/manifest.json" <<'JSON'
{ "registry": { "key": "SOFTWARE\\PineconeTests\\bench", "folderValue": "ProgramPath",
                "fileValue": "ProgramName", "patchLevelValue": "PatchLevel" },
  "patchLevel": 1,
  "folders": [ "dir0", "dir1", "dir2", "dir3", "dir4", "dir5", "dir6" ] }
JSON
  mkdir -p "$work/nofiles"
  t0=$(now_ms)
  "$nativeBuild/tools/pinepack/pinepack" -q create "$work/files" "$work/manifest.json" "$work/bench.pkg"
  echo "   pinepack create: $(($(now_ms) - t0)) ms"
  "$nativeBuild/tools/pinepack/pinepack" -q create "$work/nofiles" "$work/manifest.json" "$work/empty.pkg"
  echo "$sizeMb" >"$work/size"
fi

# Every Wine call runs on the display (see scripts/demo for why).
PINECONE_BENCH_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$sizeMb" "$runs"
