#!/bin/sh
# Runs a Windows program of the cross build under Wine, in a Wine prefix of
# its own under the build folder (QUORVEL_WINEPREFIX, else ./wineprefix beside
# the program's folder parent), made once with the null graphics driver so
# that hidden windows work without a display.
set -eu
WINE=${QUORVEL_WINE:-/usr/lib/wine/wine64}
if [ -z "${QUORVEL_WINEPREFIX:-}" ]; then
  # The program lives in <build>/ or <build>/tests/: keep the prefix in <build>.
  dir=$(cd "$(dirname "$1")" && pwd)
  case "$dir" in
    */tests) dir=${dir%/tests} ;;
  esac
  QUORVEL_WINEPREFIX=$dir/wineprefix
fi
export WINEPREFIX=$QUORVEL_WINEPREFIX
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/.quorvel-ready" ]; then
  # Two ctest jobs may arrive at once: one makes the prefix, the other waits.
  mkdir -p "$WINEPREFIX"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/.quorvel-ready" ]; then
      "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
      "$(dirname "$WINE")/wineserver" -w 2>/dev/null || true
      touch "$WINEPREFIX/.quorvel-ready"
    fi
  ) 9>"$WINEPREFIX.lock"
fi
# Wine's own system processes (services.exe, winedevice.exe) start with the
# first program and linger a few seconds after the last one, holding on to
# the standard handles they inherited; a test runner waiting for the end of
# the program's output would wait for them too. So the program's output goes
# through files that only this script reads back.
out=$(mktemp) err=$(mktemp)
trap 'rm -f "$out" "$err"' EXIT
status=0
"$WINE" "$@" >"$out" 2>"$err" </dev/null || status=$?
cat "$out"
cat "$err" >&2
exit $status
