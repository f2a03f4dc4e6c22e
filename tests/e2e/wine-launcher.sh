#!/bin/sh
# Runs a Windows program under Wine in place of this script, so that the caller's process is the
# program itself (its pid, its signals, its exit status):
#
#   wine-launcher.sh nightcomet-server.exe     runs the program
#   wine-launcher.sh --warm                    readies the prefix for a test run
#   wine-launcher.sh --stop                    ends the prefix's wineserver and its services
#
# WINEPREFIX: the Wine prefix to run in (required).
# WINE, WINESERVER: Debian's wine64 loader and its wineserver, unless set.
#
# --warm creates or updates the prefix (about twenty seconds the first time) and starts its
# wineserver and services with no standard streams, kept for 60 seconds after their last program:
# otherwise the first program of a run would start them, and they would hold that program's
# output pipe open long after it ended. --stop ends them at once when the run is over.
export WINEDEBUG=-all
# No Mono and no Gecko: a console server needs neither, and asking for them would stall a run.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
: "${WINEPREFIX:?set WINEPREFIX to the Wine prefix to run in}"
export WINEPREFIX
wine="${WINE:-/usr/lib/wine/wine64}"
wineserver="${WINESERVER:-/usr/lib/wine/wineserver64}"

case "$1" in
    --warm)
        mkdir -p "$WINEPREFIX"
        # Fails harmlessly when a wineserver already runs for this prefix.
        "$wineserver" --persistent=60 </dev/null >/dev/null 2>&1
        exec "$wine" wineboot.exe --init </dev/null >/dev/null 2>&1
        ;;
    --stop)
        "$wineserver" --kill </dev/null >/dev/null 2>&1
        exit 0
        ;;
esac
exec "$wine" "$@"
