# Shared environment of the project's scripts (sourced, not run).
# WINEPREFIX: a private prefix, kept between runs so that setup is fast when already done.
export WINEPREFIX="${PINECONE_WINEPREFIX:-$HOME/.local/share/pinecone/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Debian's wine64 loader; the plain "wine" wrapper needs 32-bit Linux execution for the prefix setup.
if [ -x /usr/lib/wine/wine64 ]; then WINE=/usr/lib/wine/wine64; else WINE=wine; fi
if [ -x /usr/lib/wine/wineserver64 ]; then WINESERVER=/usr/lib/wine/wineserver64; else WINESERVER=wineserver; fi
export WINE WINESERVER
# Windows-1251 as the ANSI code page, so the Russian texts show as they should.
# Set only once setup has generated the locale, so that tools never warn about a missing one.
if locale -a 2>/dev/null | grep -qix "ru_RU.cp1251"; then export LC_ALL=ru_RU.CP1251; fi
