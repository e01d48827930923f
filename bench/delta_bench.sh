#!/usr/bin/env bash
# The delta benchmark (on demand, not part of the tests):
#   bench/delta_bench.sh [PAIR...]     PAIR: esbuild, rollup, prettier (releases that change
#                                      little), esbuild-27, ast-grep, swc (releases that change
#                                      a lot; default: these six), esbuild-far, esbuild-x64,
#                                      esbuild-x64-27, biome or lightningcss (pairs the methods
#                                      were not tuned on)
# Consecutive releases of real npm packages, fetched once with npm pack into
# build/bench-cache/delta (not part of the repository):
#   esbuild   @esbuild/win32-ia32 0.28.1 -> 0.28.2 (Go, a PE32 executable of 11 MB)
#   rollup    @rollup/rollup-win32-ia32-msvc 4.69.3 -> 4.70.0 (Rust/MSVC, a PE32 DLL of 2 MB)
#   prettier  prettier 3.6.1 -> 3.6.2 (56 files of JavaScript and data)
#   esbuild-27  @esbuild/win32-ia32 0.27.7 -> 0.28.0 (a new minor release)
#   ast-grep  @ast-grep/cli-win32-ia32-msvc 0.45.3 -> 0.50.0 (Rust/MSVC, five minor releases)
#   swc       @swc/core-win32-ia32-msvc 1.16.2 -> 1.16.12 (Rust/MSVC, a 30 MB DLL)
#   esbuild-far  @esbuild/win32-ia32 0.28.0 -> 0.28.2 (two releases apart)
#   esbuild-x64  @esbuild/win32-x64 0.28.1 -> 0.28.2 (a PE32+ executable)
#   esbuild-x64-27  @esbuild/win32-x64 0.27.7 -> 0.28.0 (its new minor release)
#   biome     @biomejs/cli-win32-x64 2.2.0 -> 2.2.4 (Rust, a 51 MB PE32+ executable)
#   lightningcss  lightningcss-win32-x64-msvc 1.29.3 -> 1.30.1 (Rust/MSVC, an 8 MB DLL)
# Measured per pair in the same run, each with its creation time and peak memory
# (/usr/bin/time -v):
#   full      pinepack create of the new release: every file whole, deflated;
#   ours      pinepack create --from the old release: the whole package, sections included;
#   bsdiff, zstd -19 --long=27 --patch-from, xdelta3 -9 -S djw: one patch per changed file,
#             summed (times summed, memory the largest), and each file that is new in the
#             release deflated at level 9, as the anchors to beat;
#   HDiffPatch 4.12 (hdiffz -m-6 -SD, lzma2 or zstd, the smaller per file): not in Debian, so its
#             sizes for the six default pairs are the ones measured when they were chosen;
#   best      the smallest anchor's patch for each changed file, summed, new files deflated,
#             or HDiffPatch's whole where that is smaller;
# then pinepack apply of ours and of the full package to a copy of the old release (native, the
# updater's file rules), with its time and peak memory, and a check that both give the new tree;
# last, for every pair, RL_PATCH.EXE applying ours under Wine against installing the full package
# (bench/delta_apply_bench.sh; DELTA_BENCH_WINE=0 leaves it out).
# The last table has a row per pair; the bars: ours at most 0.85 x the best on every pair and
# 0.75 x on the three that change little (aimed at 0.75 x on all); applying at most 1.5 x.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
cache=$root/build/bench-cache/delta
workRoot=$root/build/bench-work/delta

missing=()
for tool in bsdiff zstd xdelta3; do command -v "$tool" >/dev/null || missing+=("$tool"); done
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
  echo "delta_bench: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    >/dev/null
fi

cmake --preset native >/dev/null
cmake --build --preset native -j2 --target pinepack >/dev/null
pinepack=$root/build/native/tools/pinepack/pinepack

bench_pair() {
  local pair=$1 npmName=$2 old=$3 new=$4 hdiff=${5:-} bar=$6
  mkdir -p "$cache"
  work=$workRoot/$pair
  tarball() {  # the file npm pack writes for a package name and version
    echo "$cache/$(echo "$npmName" | sed 's/^@//; s/\//-/')-$1.tgz"
  }
  for version in "$old" "$new"; do
    if [ ! -f "$(tarball "$version")" ]; then
      (cd "$cache" && npm pack --silent "$npmName@$version" >/dev/null)
    fi
  done
  rm -rf "$work"
  mkdir -p "$work/old" "$work/new" "$work/patches"
  tar xzf "$(tarball "$old")" -C "$work/old" --strip-components=1
  tar xzf "$(tarball "$new")" -C "$work/new" --strip-components=1
  printf '%s\n' '{ "registry": { "key": "SOFTWARE\\Bench\\Delta", "folderValue": "ProgramPath",' \
    '                "fileValue": "ProgramName", "patchLevelValue": "PatchLevel" },' \
    '  "patchLevel": 2 }' >"$work/manifest.json"

  # run NAME COMMAND...: runs the command under /usr/bin/time; adds its seconds and peak memory
  # (kB) to the figures of NAME.
  unset seconds memory bytes
  declare -gA seconds memory bytes
  run() {
    local name=$1
    shift
    /usr/bin/time -v -o "$work/time.txt" "$@" >/dev/null 2>"$work/stderr.txt" || {
      cat "$work/stderr.txt" >&2
      echo "delta_bench: $* failed" >&2
      exit 1
    }
    local s kb
    s=$(awk -F': ' '/Elapsed \(wall clock\)/ {n = split($2, p, ":"); t = 0;
          for (i = 1; i <= n; i++) t = t * 60 + p[i]; print t}' "$work/time.txt")
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
    seconds[$name]=$(awk -v a="${seconds[$name]:-0}" -v b="$s" 'BEGIN {printf "%.2f", a + b}')
    if [ "$kb" -gt "${memory[$name]:-0}" ]; then memory[$name]=$kb; fi
  }

  run full "$pinepack" -q create "$work/new" "$work/manifest.json" "$work/full.pkg"
  run ours "$pinepack" -q create "$work/new" "$work/manifest.json" "$work/ours.pkg" --from "$work/old"

  # The anchors, per file that differs between the releases.
  changed=()
  while IFS= read -r -d '' file; do
    name=${file#"$work/new/"}
    if [ -f "$work/old/$name" ] && ! cmp -s "$work/old/$name" "$file"; then changed+=("$name"); fi
  done < <(find "$work/new" -type f -print0 | sort -z)
  for name in "${changed[@]}"; do
    o=$work/old/$name n=$work/new/$name p=$work/patches/$(echo "$name" | tr / _)
    run bsdiff bsdiff "$o" "$n" "$p.bsdiff"
    run zstd zstd -q -f -19 --long=27 --patch-from="$o" "$n" -o "$p.zst"
    run xdelta3 xdelta3 -f -9 -S djw -e -s "$o" "$n" "$p.xd3"
    best=
    for tool in bsdiff zstd xdelta3; do
      ext=$([ $tool = bsdiff ] && echo bsdiff || ([ $tool = zstd ] && echo zst || echo xd3))
      size=$(stat -c %s "$p.$ext")
      bytes[$tool]=$((${bytes[$tool]:-0} + size))
      if [ -z "$best" ] || [ "$size" -lt "$best" ]; then best=$size; fi
    done
    bytes[best]=$((${bytes[best]:-0} + best))
  done
  # Files new in the release travel whole with every anchor: deflated at level 9.
  newFiles=0
  while IFS= read -r -d '' file; do
    [ -f "$work/old/${file#"$work/new/"}" ] && continue
    size=$(python3 -c 'import sys, zlib; print(len(zlib.compress(open(sys.argv[1], "rb").read(), 9)))' "$file")
    for tool in bsdiff zstd xdelta3 best; do bytes[$tool]=$((${bytes[$tool]:-0} + size)); done
    newFiles=$((newFiles + 1))
  done < <(find "$work/new" -type f -print0 | sort -z)
  if [ -n "$hdiff" ]; then
    bytes[hdiff]=$hdiff
    [ "$hdiff" -lt "${bytes[best]}" ] && bytes[best]=$hdiff
  fi
  bytes[full]=$(stat -c %s "$work/full.pkg")
  bytes[ours]=$(stat -c %s "$work/ours.pkg")

  # Applying: ours and the full package, each to a fresh copy of the old release.
  for kind in ours full; do
    rm -rf "$work/apply-$kind"
    cp -r "$work/old" "$work/apply-$kind"
    run "apply-$kind" "$pinepack" apply "$work/$kind.pkg" "$work/apply-$kind"
    # The full package has no removals; compare only the files the new release has.
    for name in $(cd "$work/new" && find . -type f); do
      cmp -s "$work/new/$name" "$work/apply-$kind/$name" || {
        echo "delta_bench: $kind.pkg applied gives another $name" >&2
        exit 1
      }
    done
  done

  echo
  echo "$npmName $old -> $new: ${#changed[@]} changed files, $newFiles new"
  printf '%-36s %12s %8s %10s %10s\n' "how the change travels" bytes "x best" "create s" "peak MB"
  row() {
    printf '%-36s %12s %8s %10s %10s\n' "$1" "$(printf "%'d" "${bytes[$2]}")" \
      "$(awk -v a="${bytes[$2]}" -v b="${bytes[best]}" 'BEGIN {printf "%.3f", a / b}')" \
      "${seconds[$2]:--}" \
      "$(awk -v k="${memory[$2]:-}" 'BEGIN {if (k == "") print "-"; else printf "%.1f", k / 1024}')"
  }
  row "full package (deflated, level 9)" full
  row "our package (create --from)" ours
  row "bsdiff 4.3" bsdiff
  row "zstd -19 --long=27 --patch-from" zstd
  row "xdelta3 -9 -S djw" xdelta3
  [ -n "$hdiff" ] && row "HDiffPatch 4.12 (as measured)" hdiff
  row "best anchor per file" best
  echo
  printf '%-36s %12s %12s\n' "applying to the old release" "seconds" "peak MB"
  for kind in ours full; do
    printf '%-36s %12s %12s\n' "pinepack apply $kind.pkg" "${seconds[apply-$kind]}" \
      "$(awk -v k="${memory[apply-$kind]}" 'BEGIN {printf "%.1f", k / 1024}')"
  done
  local ratio met
  ratio=$(awk -v a="${bytes[ours]}" -v b="${bytes[best]}" 'BEGIN {printf "%.2f", a / b}')
  met=$(awk -v r="$ratio" -v b="$bar" 'BEGIN {print (r <= b) ? "met" : "NOT met"}')
  summary+=("$(printf '| %s %s -> %s | %s | %s | %s | %s | %s | **%s** (at most %s: %s) |' \
    "$pair" "$old" "$new" "$(printf "%'d" "${bytes[ours]}")" "$(printf "%'d" "${bytes[bsdiff]}")" \
    "$(printf "%'d" "${bytes[zstd]}")" "$(printf "%'d" "${bytes[xdelta3]}")" \
    "$([ -n "$hdiff" ] && printf "%'d" "$hdiff" || echo -)" "$ratio" "$bar" "$met")")
}

summary=()
pairs=("$@")
[ ${#pairs[@]} -gt 0 ] || pairs=(esbuild-27 ast-grep swc esbuild rollup prettier)
for pair in "${pairs[@]}"; do
  # PAIR NPM-NAME OLD NEW HDIFFPATCH-BYTES BAR
  case $pair in
    esbuild) bench_pair esbuild @esbuild/win32-ia32 0.28.1 0.28.2 476080 0.75 ;;
    rollup) bench_pair rollup @rollup/rollup-win32-ia32-msvc 4.69.3 4.70.0 75839 0.75 ;;
    prettier) bench_pair prettier prettier 3.6.1 3.6.2 108773 0.75 ;;
    esbuild-27) bench_pair esbuild-27 @esbuild/win32-ia32 0.27.7 0.28.0 2155617 0.85 ;;
    ast-grep) bench_pair ast-grep @ast-grep/cli-win32-ia32-msvc 0.45.3 0.50.0 2104222 0.85 ;;
    swc) bench_pair swc @swc/core-win32-ia32-msvc 1.16.2 1.16.12 1032899 0.85 ;;
    esbuild-far) bench_pair esbuild-far @esbuild/win32-ia32 0.28.0 0.28.2 "" 0.85 ;;
    esbuild-x64) bench_pair esbuild-x64 @esbuild/win32-x64 0.28.1 0.28.2 "" 0.85 ;;
    esbuild-x64-27) bench_pair esbuild-x64-27 @esbuild/win32-x64 0.27.7 0.28.0 "" 0.85 ;;
    biome) bench_pair biome @biomejs/cli-win32-x64 2.2.0 2.2.4 "" 0.85 ;;
    lightningcss) bench_pair lightningcss lightningcss-win32-x64-msvc 1.29.3 1.30.1 "" 0.85 ;;
    *) echo "delta_bench: unknown pair $pair (esbuild, rollup, prettier, esbuild-27, ast-grep," \
      "swc, esbuild-far, esbuild-x64, esbuild-x64-27, biome, lightningcss)" >&2; exit 2 ;;
  esac
done
echo
echo "| pair | ours | bsdiff | zstd -19 --long patch-from | xdelta3 -9 | HDiffPatch | ours / best |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${summary[@]}"
if [ "${DELTA_BENCH_WINE:-1}" != 0 ]; then
  echo
  echo "applying in RL_PATCH.EXE under Wine (bench/delta_apply_bench.sh):"
  bash bench/delta_apply_bench.sh "${pairs[@]}"
fi
