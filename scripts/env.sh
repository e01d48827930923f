# Shared environment of the project's scripts (sourced, not run).
# WINEPREFIX: a private prefix, kept between runs so that setup is fast when already done.
export WINEPREFIX="${PINECONE_WINEPREFIX:-$HOME/.local/share/pinecone/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Debian's wine64 loader; the plain "wine" wrapper needs 32-bit Linux execution for the prefix setup.
if [ -x /usr/lib/wine/wine64 ]; then WINE=/usr/lib/wine/wine64; else WINE=wine; fi
if [ -x /usr/lib/wine/wineserver64 ]; then WINESERVER=/usr/lib/wine/wineserver64; else WINESERVER=wineserver; fi
export WINE WINESERVER
# The 32-bit loader, for the win32 build (the product) where this machine runs 32-bit code.
# PINECONE_WINE32 names another (/bin/false shows what happens on a machine without one).
if [ -n "${PINECONE_WINE32:-}" ]; then
  WINE32=$PINECONE_WINE32
elif [ -x /usr/lib/wine/wine ]; then
  WINE32=/usr/lib/wine/wine
else
  WINE32=wine
fi
export WINE32
# Windows-1251 as the ANSI code page, so the Russian texts show as they should.
# Set only once setup has generated the locale, so that tools never warn about a missing one.
if locale -a 2>/dev/null | grep -qix "ru_RU.cp1251"; then export LC_ALL=ru_RU.CP1251; fi

# True when Wine runs PROBE, the wine_probe.exe of a win32 build, here: found by trying (the 32-bit
# loader on a virtual display must run it and show its line), not guessed from the machine.
pinecone_wine32_runs() {
  local out
  [ -f "${1:-}" ] || return 1
  out=$(timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" "$WINE32" "$1" 2>/dev/null) || return 1
  [ "${out%$'\r'}" = "pinecone wine probe" ]
}

# Prints the Windows build whose programs should run under Wine here: win32, the product, when
# Wine runs that build's probe (built in BUILD_DIR, configured from the win32 preset if need be),
# otherwise win64. Says which, and why, on stderr.
pinecone_wine_build() {
  local dir=$1
  if [ ! -f "$dir/CMakeCache.txt" ]; then cmake --preset win32 -B "$dir" >/dev/null; fi
  if cmake --build "$dir" -j2 --target wine_probe >/dev/null &&
    pinecone_wine32_runs "$dir/tests/windows/wine_probe.exe"; then
    echo "Wine runs 32-bit programs here: running the win32 build, the product" >&2
    echo win32
  else
    echo "Wine does not run 32-bit programs here (tried $dir/tests/windows/wine_probe.exe):" \
      "running the win64 build of the same sources instead of the product" >&2
    echo win64
  fi
}

# Makes WINE the loader for the programs of BUILD_DIR, a configured Windows build: the 32-bit one
# for a win32 build.
pinecone_loader_for() {
  if grep -qs 'CMAKE_SYSTEM_PROCESSOR "i686"' "$1"/CMakeFiles/*/CMakeSystem.cmake; then
    WINE=$WINE32
  fi
}
