#!/usr/bin/env bash
# Runs the Windows unit suite (built by `make unit-windows-x86`) under wine.
# wine must run 32-bit Windows programs here: it is first asked to run a
# trivial one (cmd /c echo) within VARNEL_WINE_PROBE_TIMEOUT seconds (20).
# Where it cannot (wine missing, or a kernel without 32-bit support, where
# wine does not work under qemu-i386 either) the script says SKIP and exits
# 0 without running anything. Otherwise the output is GoogleTest's and the
# exit status the suite's.
# Usage: tests/run-windows-unit.sh [GoogleTest options...]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=$root/build/windows-x86/tests/varnel_unit_tests.exe
probe_timeout=${VARNEL_WINE_PROBE_TIMEOUT:-20}
suite_timeout=${VARNEL_WINE_SUITE_TIMEOUT:-600}

if [ ! -f "$exe" ]; then
  echo "no $exe: build it with 'make unit-windows-x86'" >&2
  exit 1
fi

wine=$(command -v wine || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine ]; then wine=/usr/lib/wine/wine; fi
wineserver=$(command -v wineserver || true)
if [ -z "$wineserver" ] && [ -x /usr/lib/wine/wineserver ]; then wineserver=/usr/lib/wine/wineserver; fi
if [ -z "$wine" ]; then
  echo "SKIP unit windows-x86: wine is not installed (tools/bootstrap.sh windows)"
  exit 0
fi

# A prefix of the suite's own, without a display and without the Mono and
# Gecko installers a new prefix would otherwise offer.
export WINEPREFIX=$root/build/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

stop_wineserver() {
  [ -n "$wineserver" ] && timeout -k 2 10 "$wineserver" -k >/dev/null 2>&1
}

probe=$(timeout -k 5 "$probe_timeout" "$wine" cmd /c echo wine-runs 2>&1)
probe_rc=$?
if [ $probe_rc -ne 0 ] || ! grep -q wine-runs <<<"$probe"; then
  stop_wineserver
  reason="exit $probe_rc"
  [ $probe_rc -eq 124 ] && reason="no answer within ${probe_timeout}s"
  echo "SKIP unit windows-x86: wine cannot run a 32-bit Windows program here ($reason)"
  tail -n 3 <<<"$probe" | sed 's/^/  wine: /'
  exit 0
fi

# The suite names its modules by absolute Z: paths, so any working directory
# does; GoogleTest's CR LF line ends are turned into LF.
timeout -k 10 "$suite_timeout" "$wine" "$exe" "$@" 2>&1 | tr -d '\r'
rc=${PIPESTATUS[0]}
stop_wineserver
[ $rc -eq 124 ] && echo "unit windows-x86: no end within ${suite_timeout}s"
exit "$rc"
