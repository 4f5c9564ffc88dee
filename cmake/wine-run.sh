#!/bin/sh
# wine-run.sh PROGRAM.exe [ARGS...]: runs a Windows program under Wine, headless and quiet.
# CMake uses it as the cross-compiling emulator (unit tests, test discovery, black-box
# tests). The prefix is $WINEPREFIX (default ~/.wine); it must belong to the user, and the
# first start creates it (some seconds, about 0.7 GB), so create it once before running
# tests in parallel: WINEPREFIX=... cmake/wine-run.sh --init (--stop ends its wineserver).
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"   # never offer Mono/Gecko
unset DISPLAY WAYLAND_DISPLAY                                     # console only, no X server

# Debian has no "wine64" on PATH, and /usr/bin/wine switches to the 32-bit loader once
# wine32 is installed, which cannot use a prefix made without it. The 64-bit loader runs
# 64-bit programs and hands 32-bit ones to the 32-bit loader when that is installed.
WINE="${VORNA_WINE:-/usr/lib/wine/wine64}"
[ -x "$WINE" ] || WINE=wine
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=wineserver

# The first Wine process starts wineserver and the helper services, which inherit its
# standard output and error. When that process is a test whose output is captured, the
# capture would stay open until the helpers end (seconds, or for ever with a persistent
# server). So the server (kept 60 s after its last client) and the helpers are started
# here with their output on /dev/null; this costs about 0.1 s when they are already up.
if [ "${1:-}" = "--stop" ]; then   # ends the prefix's wineserver and its helpers at once
  exec "$WINESERVER" -k
fi
if [ -z "${VORNA_WINE_NO_WARMUP:-}" ]; then
  "$WINESERVER" -p60 </dev/null >/dev/null 2>&1
  "$WINE" wineboot </dev/null >/dev/null 2>&1
fi
[ "${1:-}" = "--init" ] && exit 0

exec "$WINE" "$@"
