#!/bin/sh
# Runs a Windows program under Wine in place of this script, so that the caller's process is the
# program itself (its pid, its signals, its exit status):
#
#   wine-launcher.sh nightcomet-server.exe
#
# WINEPREFIX is the Wine prefix to run in; create and warm it once before a test run, since the
# first start in a new prefix takes about ten seconds (test.sh does it with wineboot).
# WINE is the Wine loader, /usr/lib/wine/wine64 (Debian's wine64 package) unless set.
export WINEDEBUG=-all
# No Mono and no Gecko: a console server needs neither, and asking for them would stall a run.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix to run in}"
export WINEPREFIX
exec "${WINE:-/usr/lib/wine/wine64}" "$@"
