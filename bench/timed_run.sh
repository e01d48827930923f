# Shared by the update benchmarks (sourced): a program folder set back to a tree, and one timed
# update run through bench/timed_update.cpp. The caller sets appDir (the program folder, as a
# Linux path), regKey (its registry key), winBuild (the Windows build folder) and WINE.

# A Linux path as Wine's drive Z: sees it.
zpath() { printf 'Z:%s' "${1//\//\\}"; }

# The smallest of the numbers given.
min() { printf '%s\n' "$@" | sort -n | head -1; }

# The middle one of the numbers given (the lower middle of an even count).
median() { printf '%s\n' "$@" | sort -n | sed -n "$(((${#@} + 1) / 2))p"; }

# The program folder holding only the program file the registry names, then the files of the
# folder FROM when one is given; on disk before the clock starts.
reset_program() {
  rm -rf "$appDir" && mkdir -p "$appDir" && echo program >"$appDir/prog.exe"
  [ -z "${1:-}" ] || cp -r "$1/." "$appDir/"
  "$WINE" reg add "$regKey" /v PatchLevel /t REG_DWORD /d 0 /f >/dev/null
  sync
}

# update_ms FROM EXE [ARGUMENT...]: one update run of EXE (with the arguments given) on a program
# folder reset to FROM; prints its milliseconds from start to finished window. A run that does
# not complete (once in a long while Wine fails to start a program) is tried once more.
update_ms() {
  local from=$1 exe=$2 out attempt
  for attempt in 1 2; do
    reset_program "$from"
    out=$("$WINE" "$winBuild/bench/timed_update.exe" "$(zpath "$exe")" "${@:3}" | tr -d '\r')
    if grep -q ': installed$' <<<"$out"; then
      sed -n 's/^finished after \([0-9]*\) ms.*/\1/p' <<<"$out"
      return 0
    fi
    echo "$(basename "$0"): the update did not complete (attempt $attempt): $out" >&2
  done
  return 1
}

# log_span_ms LOG: the milliseconds between the update lock taken and the patch level written in
# the updater's log LOG (a Linux path): the update's own work (the check, building and placing the
# files, the registry), without the start of a process and its window, which under Wine here
# cost 120 to 180 ms and stray by tens.
log_span_ms() {
  LC_ALL=C awk '
    function ms(t, p) { split(t, p, ":"); return (p[1] * 3600 + p[2] * 60 + p[3]) * 1000 }
    / Update lock .* taken/ { start = ms($2) }
    / Patch level written/ { end = ms($2) }
    END { if (start == "" || end == "") exit 1; printf "%d\n", end - start + 0.5 }' "$1"
}
