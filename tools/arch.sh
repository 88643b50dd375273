# Sourced by the test scripts. run_i386 runs a 32-bit x86 program: directly
# where the kernel runs such programs, else under qemu's user-mode emulator
# (some virtual machines are built without 32-bit support).
if [ -z "${VARNEL_I386_RUNNER+set}" ]; then
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    VARNEL_I386_RUNNER=""
  else
    VARNEL_I386_RUNNER="qemu-i386"
  fi
fi
run_i386() { $VARNEL_I386_RUNNER "$@"; }

# The ARM Linux builds: compiled with Debian's cross GCC, unpacked into
# build/cross-ARCH, and run under qemu's user-mode emulator with
# build/root-ARCH, an unpacked Debian of that architecture, as its root
# (tools/arm.sh makes both). arm_arch ARCH sets, for linux-aarch64 or
# linux-armhf: arm_triple (the GNU target), arm_debian (Debian's name of the
# architecture), arm_loader (the dynamic loader's name), arm_toolchain and
# arm_root (the two folders), and arm_run, the command that runs one of its
# programs.
arm_arches="linux-aarch64 linux-armhf"
arm_arch() {
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  case "$1" in
    linux-aarch64) arm_triple=aarch64-linux-gnu arm_debian=arm64 arm_loader=ld-linux-aarch64.so.1 arm_qemu=qemu-aarch64 ;;
    linux-armhf) arm_triple=arm-linux-gnueabihf arm_debian=armhf arm_loader=ld-linux-armhf.so.3 arm_qemu=qemu-arm ;;
    *) echo "not an ARM build: $1" >&2; return 1 ;;
  esac
  arm_toolchain=$top/build/cross-$1
  arm_root=$top/build/root-$1
  arm_run=("$arm_qemu" -L "$arm_root")
  # qemu does not look up 32-bit ARM's statx() in the root, so the loader
  # there sees no library folder of it: it is given them whole.
  [ "$1" = linux-armhf ] &&
    arm_run+=(-E "LD_LIBRARY_PATH=$arm_root/lib/$arm_triple:$arm_root/usr/lib/$arm_triple")
  return 0
}
