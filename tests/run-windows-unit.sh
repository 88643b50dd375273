#!/usr/bin/env bash
# Runs a Windows unit suite (built by `make unit-windows-x86` or
# `make unit-windows-x86_64`) under wine, and prints GoogleTest's output.
#
# windows-x86_64 runs under wine64, which is a 64-bit Linux program and so
# works on every machine here. windows-x86 needs wine32, which needs a kernel
# that runs 32-bit programs: where this one does, wine32 runs here; where it
# does not, wine32 runs inside a small Debian VM (tools/wine-vm.sh).
# VARNEL_WINE32=host|vm|none forces the choice (none: nothing runs); unset,
# it follows the kernel, as tools/arch.sh finds it (so VARNEL_I386_RUNNER=
# qemu-i386 also means the VM).
#
# Usage: tests/run-windows-unit.sh windows-x86|windows-x86_64 [GoogleTest options...]
#        tests/run-windows-unit.sh --where windows-x86|windows-x86_64
# --where prints how the suite would run ("wine64", "wine32", "wine32 in
# VM") or "SKIPPED: <why>" where it cannot, and runs nothing; it installs
# the packages that way needs (tools/bootstrap.sh groups wine64, wine,
# wine-vm).
#
# Judge a run by GoogleTest's summary, never by the exit status alone: a
# 32-bit program given to wine64 exits 0 without a word. Each suite has a
# prefix of its own under build/, made on its first run; the wine processes
# of that prefix are stopped when the suite ends.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/arch.sh"
suite_timeout=${VARNEL_WINE_SUITE_TIMEOUT:-600}

where_only=false
if [ "${1:-}" = --where ]; then
  where_only=true
  shift
fi
arch=${1:-}
shift || true
exe=$root/build/$arch/tests/varnel_unit_tests.exe
wine_dir=/usr/lib/wine

# installs GROUP: whether the bootstrap group is there, installed if need be
# (the bootstrap leaves out what an archive out of step cannot give).
installs() { "$root/tools/bootstrap.sh" "$1" >&2 && [ -z "$("$root/tools/bootstrap.sh" --missing "$1")" ]; }

# How this suite runs here: wine64, wine32, "wine32 in VM", or "SKIPPED:
# why". Installs what the way chosen needs; where that fails, it cannot run.
where() {
  case $arch in
    windows-x86_64)
      if installs wine64; then echo wine64; else echo "SKIPPED: wine64 cannot be installed"; fi
      ;;
    windows-x86)
      local choice=${VARNEL_WINE32:-}
      if [ -z "$choice" ]; then
        if [ -z "$VARNEL_I386_RUNNER" ]; then choice=host; else choice=vm; fi
      fi
      case $choice in
        host)
          if installs wine; then echo wine32; else echo "SKIPPED: wine32 cannot be installed"; fi
          ;;
        vm)
          if installs wine-vm; then
            echo "wine32 in VM"
          else
            echo "SKIPPED: this kernel runs no 32-bit programs, which wine32 needs, and the VM's tools cannot be installed"
          fi
          ;;
        none) echo "SKIPPED: VARNEL_WINE32=none" ;;
        *) echo "SKIPPED: VARNEL_WINE32 is '$choice', not host, vm or none" ;;
      esac
      ;;
    *)
      echo "usage: $0 [--where] windows-x86|windows-x86_64 [GoogleTest options...]" >&2
      exit 2
      ;;
  esac
}

how=$(where)
if $where_only; then
  echo "$how"
  exit 0
fi
case $how in
  SKIPPED:*)
    echo "unit $arch  $how"
    exit 0
    ;;
esac
if [ ! -f "$exe" ]; then
  echo "no $exe: build it with 'make unit-$arch'" >&2
  exit 1
fi

if [ "$how" = "wine32 in VM" ]; then
  # The build folder is shared with the guest, which has a prefix of its
  # own; tools/wine-vm.sh bounds each boot itself.
  VARNEL_WINE_VM_TIMEOUT=$suite_timeout exec "$root/tools/wine-vm.sh" "$root/build" "$exe" "$@"
fi

if [ "$how" = wine64 ]; then
  loader=$wine_dir/wine64
  export WINEARCH=win64
else
  loader=$wine_dir/wine
  export WINEARCH=win32
fi
# A prefix of the suite's own, without a display and without the Mono and
# Gecko installers a new prefix would otherwise offer.
export WINEPREFIX=$root/build/wine-prefix-$arch
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# Stops the wineserver of this prefix and every process it serves.
stop_wineserver() { timeout -k 2 20 "$wine_dir/wineserver" -k >/dev/null 2>&1; }
trap stop_wineserver EXIT

# The suite names its modules by absolute Z: paths, so any working directory
# does; GoogleTest's CR LF line ends are turned into LF.
timeout -k 10 "$suite_timeout" "$loader" "$exe" "$@" 2>&1 | tr -d '\r'
rc=${PIPESTATUS[0]}
[ "$rc" -eq 124 ] && echo "unit $arch: no end within ${suite_timeout}s"
exit "$rc"
