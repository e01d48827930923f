#!/usr/bin/env bash
# The delta benchmark (on demand, not part of the tests):
#   bench/delta_bench.sh
# Two consecutive releases of a real 32-bit Windows program, the npm packages
# @esbuild/win32-ia32 $BENCH_OLD and $BENCH_NEW (default 0.28.1 and 0.28.2), fetched once with
# npm pack into build/bench-cache/delta (not part of the repository). Measured in the same run,
# each with its creation time and peak memory (/usr/bin/time -v):
#   full      pinepack create of the new release: every file whole, deflated;
#   ours      pinepack create --from the old release: the whole package, sections included;
#   bsdiff, zstd -19 --long=27 --patch-from, xdelta3 -9 -S djw: one patch per changed file,
#             summed (times summed, memory the largest), as the anchors to beat;
# then pinepack apply of ours and of the full package to a copy of the old release (native, the
# updater's file rules), with its time and peak memory, and a check that both give the new tree.
# The bar of the "Patch packages" work: ours at most 1.25 x bsdiff.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
old=${BENCH_OLD:-0.28.1}
new=${BENCH_NEW:-0.28.2}
npmName=@esbuild/win32-ia32
cache=$root/build/bench-cache/delta
work=$root/build/bench-work/delta

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

mkdir -p "$cache"
for version in "$old" "$new"; do
  tgz=$cache/esbuild-win32-ia32-$version.tgz
  if [ ! -f "$tgz" ]; then
    (cd "$cache" && npm pack --silent "$npmName@$version" >/dev/null)
  fi
done
rm -rf "$work"
mkdir -p "$work/old" "$work/new" "$work/patches"
tar xzf "$cache/esbuild-win32-ia32-$old.tgz" -C "$work/old" --strip-components=1
tar xzf "$cache/esbuild-win32-ia32-$new.tgz" -C "$work/new" --strip-components=1
cat >"$work/manifest.json" <<'JSON'
{ "registry": { "key": "SOFTWARE\\Bench\\Esbuild", "folderValue": "ProgramPath",
                "fileValue": "ProgramName", "patchLevelValue": "PatchLevel" },
  "patchLevel": 2 }
JSON

# run NAME COMMAND...: runs the command under /usr/bin/time; adds its seconds and peak memory
# (kB) to the figures of NAME.
declare -A seconds memory
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
declare -A bytes
for name in "${changed[@]}"; do
  o=$work/old/$name n=$work/new/$name p=$work/patches/$(echo "$name" | tr / _)
  run bsdiff bsdiff "$o" "$n" "$p.bsdiff"
  run zstd zstd -q -f -19 --long=27 --patch-from="$o" "$n" -o "$p.zst"
  run xdelta3 xdelta3 -f -9 -S djw -e -s "$o" "$n" "$p.xd3"
  for tool in bsdiff zstd xdelta3; do
    ext=$([ $tool = bsdiff ] && echo bsdiff || ([ $tool = zstd ] && echo zst || echo xd3))
    bytes[$tool]=$((${bytes[$tool]:-0} + $(stat -c %s "$p.$ext")))
  done
done
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
echo "$npmName $old -> $new; changed files: ${changed[*]}"
printf '%-36s %12s %9s %12s %12s\n' "how the change travels" bytes "x bsdiff" "create s" "peak MB"
row() {
  printf '%-36s %12s %9s %12s %12s\n' "$1" "$(printf "%'d" "${bytes[$2]}")" \
    "$(awk -v a="${bytes[$2]}" -v b="${bytes[bsdiff]}" 'BEGIN {printf "%.3f", a / b}')" \
    "${seconds[$2]}" "$(awk -v k="${memory[$2]}" 'BEGIN {printf "%.1f", k / 1024}')"
}
row "full package (deflated, level 9)" full
row "our package (create --from)" ours
row "bsdiff 4.3" bsdiff
row "zstd -19 --long=27 --patch-from" zstd
row "xdelta3 -9 -S djw" xdelta3
echo
printf '%-36s %12s %12s\n' "applying to the old release" "seconds" "peak MB"
for kind in ours full; do
  printf '%-36s %12s %12s\n' "pinepack apply $kind.pkg" "${seconds[apply-$kind]}" \
    "$(awk -v k="${memory[apply-$kind]}" 'BEGIN {printf "%.1f", k / 1024}')"
done
ratio=$(awk -v a="${bytes[ours]}" -v b="${bytes[bsdiff]}" 'BEGIN {printf "%.3f", a / b}')
bar=$(awk -v r="$ratio" 'BEGIN {print (r <= 1.25) ? "met" : "NOT met"}')
echo
echo "ours / bsdiff = $ratio (bar: at most 1.25, $bar)"
