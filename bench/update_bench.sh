#!/usr/bin/env bash
# The update benchmark (on demand, not part of the tests):
#   bench/update_bench.sh [RUNS]        (default 3; the figures are the best of RUNS)
# Three shapes of package, each installed into a program folder that already holds every file,
# so that each one is replaced with its backup:
#   big    one file of $BENCH_BIG_MB MB (default 256) of text, deflated: the cost per byte;
#   small  $BENCH_SMALL_FILES files (default 1000) of 1-16 KB of text in 10 folders: the cost
#          per file;
#   mixed  about $BENCH_MIXED_MB MB (default 100) in files of mixed sizes and compressibility.
# For each shape, in the same run: inflate only (the reader into memory, bench/inflate_only.cpp);
# the baseline, the least a correct updater does with plain Win32 calls (bench/baseline_update.cpp:
# rename to a backup, inflate into a new file with WriteFile, FlushFileBuffers, delete the backup),
# also without the flush; and the update by RL_PATCH.EXE as a self-contained updater, from its
# start to its finished window (bench/timed_update.cpp), less the fixed cost of a run (the same
# for a package without files), twice: with the package as pinepack create makes it, all or
# nothing (:Transaction: every file checked, built beside its target, then renamed into place),
# and with the package of create --per-file, each file on its own. The ratios are update /
# baseline, for each. MAKEEXE of the mixed package is timed against copying the same bytes.
# The files are made once and kept; the packages are made again whenever pinepack changed. The
# programs measured are copies of the builds' (in build/bench-work/programs), taken once they are
# built, so that the sources' commit printed then is what the whole run measures.
# The Windows programs are the win32 build's (the product's) where Wine runs 32-bit programs,
# found by trying, and the win64 build's elsewhere.
# PINECONE_BENCH_RL_PATCH names another RL_PATCH.EXE of that build's kind to measure (an older
# commit's, say);
# BENCH_SHAPES picks shapes ("big small", say). BENCH_TMPFS=1 puts the program folder in memory
# (/dev/shm), where a flush costs nothing and the disk's own noise is gone: what is left is the
# work of the programs and of Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
runs=${1:-3}
bigMb=${BENCH_BIG_MB:-256}
smallFiles=${BENCH_SMALL_FILES:-1000}
mixedMb=${BENCH_MIXED_MB:-100}
work=$root/build/bench-work
nativeBuild=$root/build/demo-native
. scripts/env.sh
# The Windows build, chosen before the display session below, which gets it through
# PINECONE_BENCH_BUILD.
winPreset=${PINECONE_BENCH_BUILD:-}
# The copies measured, laid out as the Windows build (src/RL_PATCH.EXE, bench/*.exe) with
# pinepack beside them.
winBuild=$work/programs
rl=${PINECONE_BENCH_RL_PATCH:-$winBuild/src/RL_PATCH.EXE}
# The win32 build's programs need the 32-bit loader; reg.exe run through it also writes the
# 32-bit registry view, which is the one the 32-bit updater reads.
if [ "$winPreset" = win32 ]; then WINE=$WINE32; fi
benchRoot=$WINEPREFIX/drive_c/pinecone-bench
appDir=$benchRoot/prog
memoryRoot=/dev/shm/pinecone-bench-$(basename "$WINEPREFIX")
regKey='HKLM\SOFTWARE\PineconeTests\bench'
read -r -a shapes <<<"${BENCH_SHAPES:-big small mixed}"

. "$root/bench/timed_run.sh"
now_ms() { echo $(($(date +%s%N) / 1000000)); }

# One baseline run (extra arguments passed on); prints its milliseconds.
baseline_ms() {
  local shape=$1 out
  shift
  reset_program "$work/$shape/files"
  out=$("$WINE" "$winBuild/bench/baseline_update.exe" "$(zpath "$work/$shape/package.pkg")" \
    'C:\pinecone-bench\prog' "$@" | tr -d '\r')
  grep -q '(0 failed)' <<<"$out" || { echo "bench: baseline failed: $out" >&2; return 1; }
  sed -n 's/.* in \([0-9]*\) ms.*/\1/p' <<<"$out"
}

inflate_ms() {
  local out ms
  out=$("$WINE" "$winBuild/bench/inflate_only.exe" "$(zpath "$work/$1/package.pkg")" | tr -d '\r')
  ms=$(sed -n 's/.* in \([0-9]*\) ms (0 failed)$/\1/p' <<<"$out")
  [ -n "$ms" ] || { echo "bench: inflating $1 failed: $out" >&2; return 1; }
  echo "$ms"
}

# The program folder holds exactly the shape's files (and prog.exe), byte for byte.
check_installed() {
  rm "$appDir/prog.exe"
  diff -r -q "$work/$1/files" "$appDir" >/dev/null ||
    { echo "bench: the $2 of $1 did not install the files exactly" >&2; return 1; }
}

inner() {
  cd "$work"
  rm -rf "$benchRoot" "$memoryRoot"
  if [ "${BENCH_TMPFS:-0}" = 1 ]; then
    mkdir -p "$memoryRoot" "$(dirname "$benchRoot")" && ln -s "$memoryRoot" "$benchRoot"
  fi
  "$WINE" reg add "$regKey" /v ProgramPath /t REG_SZ /d 'C:\pinecone-bench\prog' /f >/dev/null
  "$WINE" reg add "$regKey" /v ProgramName /t REG_SZ /d prog.exe /f >/dev/null
  local status=0
  measure || status=$?
  rm -rf "$appDir" "$benchRoot" "$memoryRoot"
  "$WINE" reg delete "$regKey" /f >/dev/null 2>&1 || true
  return $status
}

measure() {
  local pinepack=$winBuild/pinepack shape
  # update*.exe: all or nothing (package.pkg); update-per-file*.exe: file by file (per-file.pkg).
  "$pinepack" -q wrap "$rl" empty.pkg update-empty.exe || return 1
  "$pinepack" -q wrap "$rl" empty-per-file.pkg update-empty-per-file.exe || return 1
  for shape in "${shapes[@]}"; do
    "$pinepack" -q wrap "$rl" "$shape/package.pkg" "$shape/update.exe" || return 1
    "$pinepack" -q wrap "$rl" "$shape/per-file.pkg" "$shape/update-per-file.exe" || return 1
  done

  # This runs in a list (measure || ...), where errexit does not hold: every failure returns.
  # The two kinds take turns, so that a slow spell of the machine falls on both.
  declare -A upd updpf base nofl infl
  local fixed=() fixedpf=() run v
  for run in $(seq "$runs"); do
    v=$(update_ms "" "$work/update-empty.exe") || return 1
    fixed+=("$v")
    v=$(update_ms "" "$work/update-empty-per-file.exe") || return 1
    fixedpf+=("$v")
    for shape in "${shapes[@]}"; do
      v=$(update_ms "$work/$shape/files" "$work/$shape/update.exe") || return 1
      upd[$shape]+=" $v"
      [ "$run" != "$runs" ] || check_installed "$shape" "all-or-nothing update" || return 1
      v=$(update_ms "$work/$shape/files" "$work/$shape/update-per-file.exe") || return 1
      updpf[$shape]+=" $v"
      [ "$run" != "$runs" ] || check_installed "$shape" "file-by-file update" || return 1
      v=$(baseline_ms "$shape") || return 1
      base[$shape]+=" $v"
      [ "$run" != "$runs" ] || check_installed "$shape" baseline || return 1
      v=$(baseline_ms "$shape" --no-flush) || return 1
      nofl[$shape]+=" $v"
      v=$(inflate_ms "$shape") || return 1
      infl[$shape]+=" $v"
    done
  done

  # MAKEEXE against copying the same bytes, with the mixed package. A failed build would wait
  # for a click: it gets a time limit.
  local builder=() builderEmpty=() copy=()
  for _ in $(seq "$runs"); do
    rm -f built.exe built-empty.exe copy.exe
    local t0; t0=$(now_ms)
    timeout 300 "$WINE" "$rl" mixed/package.pkg built.exe MAKEEXE
    builder+=($(($(now_ms) - t0)))
    t0=$(now_ms)
    timeout 60 "$WINE" "$rl" empty.pkg built-empty.exe MAKEEXE
    builderEmpty+=($(($(now_ms) - t0)))
    t0=$(now_ms)
    cat "$rl" mixed/package.pkg >copy.exe
    copy+=($(($(now_ms) - t0)))
  done
  # Another build's MAKEEXE may write another layout: only this build's must be pinepack's.
  if [ -z "${PINECONE_BENCH_RL_PATCH:-}" ]; then
    "$pinepack" -q wrap "$rl" mixed/package.pkg wrapped.exe || return 1
    cmp -s built.exe wrapped.exe || { echo "bench: MAKEEXE differs from pinepack wrap" >&2; return 1; }
  fi

  local fx fxpf
  fx=$(min "${fixed[@]}")
  fxpf=$(min "${fixedpf[@]}")
  local on="disk"
  [ "${BENCH_TMPFS:-0}" != 1 ] || on="memory (tmpfs)"
  echo "== results (best of $runs; program folder on $on; RL_PATCH.EXE: $rl)"
  echo "  fixed cost of a run (updater start to finished window, no files):" \
    "$fx ms all or nothing, $fxpf ms file by file"
  for shape in "${shapes[@]}"; do
    local files bytes pkgBytes target
    files=$(find "$shape/files" -type f | wc -l)
    bytes=$(du -sb "$shape/files" | cut -f1)
    pkgBytes=$(stat -c %s "$shape/package.pkg")
    # The goals: per byte (one big file) within 1.25 times the baseline, per file within 1.5.
    case $shape in big) target=1.25 ;; small) target=1.5 ;; *) target=0 ;; esac
    # shellcheck disable=SC2086
    LC_ALL=C awk -v shape="$shape" -v files="$files" -v mb="$(echo "$bytes / 1048576" | bc -l)" \
      -v pmb="$(echo "$pkgBytes / 1048576" | bc -l)" -v fx="$fx" -v fxpf="$fxpf" -v target="$target" \
      -v inf="$(min ${infl[$shape]})" -v nf="$(min ${nofl[$shape]})" \
      -v bl="$(min ${base[$shape]})" -v up="$(min ${upd[$shape]})" \
      -v uppf="$(min ${updpf[$shape]})" 'BEGIN {
      printf "== %s: %d file%s, %.0f MB installed (package %.0f MB)\n", shape, files, files == 1 ? "" : "s", mb, pmb
      printf "  %-44s %7s %8s %10s %10s %10s\n", "", "ms", "MB/s", "ms a file", "/ baseline", "/ inflate"
      row("inflate only, into memory", inf)
      row("baseline without the flush", nf)
      row("baseline (the least an updater does)", bl)
      print "  update by RL_PATCH.EXE, less the fixed cost:"
      row("  all or nothing", up - fx)
      row("  file by file", uppf - fxpf)
      printf "  ratio update / baseline: all or nothing %.2f, file by file %.2f", (up - fx) / bl, (uppf - fxpf) / bl
      if (target > 0) printf " (goal: %.2f or less: %s, %s)", target, met((up - fx) / bl), met((uppf - fxpf) / bl)
      printf "; all or nothing / file by file: %.2f\n", (up - fx) / (uppf - fxpf)
    }
    function met(ratio) { return ratio <= target ? "met" : "NOT MET" }
    function row(label, ms) {
      printf "  %-44s %7d %8.1f %10.3f %10.2f %10.2f\n", label, ms, mb / (ms / 1000), ms / files, ms / bl, ms / inf
    }'
  done
  LC_ALL=C awk -v b="$(min "${builder[@]}")" -v be="$(min "${builderEmpty[@]}")" \
    -v c="$(min "${copy[@]}")" -v pmb="$(echo "$(stat -c %s mixed/package.pkg) / 1048576" | bc -l)" 'BEGIN {
    printf "== MAKEEXE of the mixed package: %d ms (%d ms for an empty package: %d ms for %.0f MB)\n", b, be, b - be, pmb
    printf "  copying the same bytes (cat): %d ms; builder/copy ratio %.2f (%.2f without the start-up)\n",
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
export PINECONE_BENCH_BUILD=$winPreset
echo "== building ($winPreset: RL_PATCH.EXE, inflate_only, baseline_update, timed_update; pinepack)"
# The sources built: the commit, and what differs from it, read before and after the build.
sources() {
  local changed
  changed=$(git status --porcelain -- src tools cmake CMakeLists.txt | cut -c4- | tr '\n' ' ')
  echo "commit $(git log -1 --format=%h)${changed:+ with uncommitted changes in: ${changed% }}"
}
sourcesBefore=$(sources)
cmake --preset native -B "$nativeBuild" >/dev/null
cmake --build "$nativeBuild" -j2 --target pinepack >/dev/null
cmake --preset "$winPreset" -B "$winBuild" >/dev/null
cmake --build "$winBuild" -j2 --target rl_patch inflate_only baseline_update timed_update >/dev/null
sourcesAfter=$(sources)
if [ "$sourcesBefore" = "$sourcesAfter" ]; then
  echo "== sources: $sourcesAfter"
else
  echo "== sources changed during the build: before, $sourcesBefore; after, $sourcesAfter"
fi

mkdir -p "$work"
params="$bigMb $smallFiles $mixedMb"
if [ "$(cat "$work/params" 2>/dev/null)" != "$params" ]; then
  echo "== making the files and packages (once; kept in $work)"
  rm -rf "$work" && mkdir -p "$work"
  python3 - "$work" "$bigMb" "$smallFiles" "$mixedMb" <<'PY'
import os, random, sys
work, bigMb, smallFiles, mixedMb = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = random.Random(2026)
words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
         for _ in range(3000)]
text = b" ".join(rng.choice(words) for _ in range(400000))  # about 2.4 MB of word soup
def soup(size):  # compresses to about a third
    start = rng.randrange(len(text) - 1)
    out = bytearray()
    while len(out) < size:
        out += text[start:start + size - len(out)]
        start = 0
    return bytes(out)
def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
def manifest(shape, folders):
    with open(os.path.join(work, shape, "manifest.json"), "w") as f:
        f.write('{ "registry": { "key": "SOFTWARE\\\\PineconeTests\\\\bench", "folderValue": '
                '"ProgramPath", "fileValue": "ProgramName", "patchLevelValue": "PatchLevel" },\n'
                '  "patchLevel": 1, "folders": [%s] }\n' % ", ".join('"%s"' % d for d in folders))
# big: one file, written in pieces of the soup
big = os.path.join(work, "big", "files", "big.dat")
os.makedirs(os.path.dirname(big))
with open(big, "wb") as f:
    left = bigMb * 1048576
    while left > 0:
        piece = soup(min(left, 4 * 1048576))
        f.write(piece)
        left -= len(piece)
manifest("big", [])
# small: files of 1-16 KB in 10 folders
for n in range(smallFiles):
    write(os.path.join(work, "small", "files", "dir%d" % (n % 10), "f%05d.txt" % n),
          soup(rng.randint(1024, 16384)))
manifest("small", ["dir%d" % d for d in range(10)])
# mixed: many sizes, text, 6-bit binary and random (stored)
total, n = mixedMb * 1048576, 0
for share, low, high in [(0.05, 1024, 32768), (0.40, 65536, 1048576), (0.55, 4194304, 16777216)]:
    budget, spent = total * share, 0
    while spent < budget:
        size = min(rng.randint(low, high), int(budget - spent) + low)
        kind = rng.choice(["text", "text", "binary", "random"])
        data = (soup(size) if kind == "text" else
                bytes(b & 0x3F for b in os.urandom(size)) if kind == "binary" else os.urandom(size))
        sub = "dir%d" % (n % 7) if n % 3 else ""
        write(os.path.join(work, "mixed", "files", sub, "f%04d.%s" % (n, kind[:3])), data)
        spent += size
        n += 1
manifest("mixed", ["dir%d" % d for d in range(7)])
os.makedirs(os.path.join(work, "nofiles"))
PY
  echo "$params" >"$work/params"
fi
# The copies measured; cp -p keeps the times, by which the packages are made again.
programs=$work/programs
mkdir -p "$programs/src" "$programs/bench"
cp -p "$winBuild/src/RL_PATCH.EXE" "$programs/src/"
cp -p "$winBuild"/bench/{inflate_only,baseline_update,timed_update}.exe "$programs/bench/"
cp -p "$nativeBuild/tools/pinepack/pinepack" "$programs/"

# The packages of the shapes measured (and of mixed, for MAKEEXE, and without files, for the
# fixed cost), of both kinds: package.pkg as create makes it, all or nothing; per-file.pkg with
# --per-file. Made again when pinepack is newer or a package is not of its kind.
pinepack=$programs/pinepack
marked() { local out; out=$("$pinepack" list "$1") && grep -q ' :Transaction$' <<<"$out"; }
# make_package FILES MANIFEST STEM: STEM.pkg and STEM-per-file.pkg, or for STEM a folder,
# package.pkg and per-file.pkg in it.
make_package() {
  local all=$3.pkg each=$3-per-file.pkg
  if [ -d "$3" ]; then all=$3/package.pkg each=$3/per-file.pkg; fi
  if [ ! "$all" -nt "$pinepack" ] || ! marked "$all"; then
    "$pinepack" -q create "$1" "$2" "$all"
  fi
  if [ ! "$each" -nt "$pinepack" ] || marked "$each"; then
    "$pinepack" -q create --per-file "$1" "$2" "$each"
  fi
  marked "$all" || { echo "bench: $all has no :Transaction" >&2; exit 1; }
  ! marked "$each" || { echo "bench: $each has :Transaction" >&2; exit 1; }
}
packaged=" ${shapes[*]} "
[[ $packaged == *" mixed "* ]] || packaged+="mixed "
echo "== packages of:$packaged(all or nothing and file by file; remade when pinepack changed)"
for shape in $packaged; do
  make_package "$work/$shape/files" "$work/$shape/manifest.json" "$work/$shape"
done
make_package "$work/nofiles" "$work/big/manifest.json" "$work/empty"

# Every Wine call runs on the display (see scripts/demo for why).
PINECONE_BENCH_INNER=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$runs"
