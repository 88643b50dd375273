#!/usr/bin/env bash
# Makes what the ARM Linux builds need, once, under build/ (tools/arch.sh
# names the folders):
#   tools/arm.sh toolchain ARCH   Debian's cross GCC and binutils for ARCH
#   tools/arm.sh root ARCH        a Debian root of ARCH with a JVM and SoftHSM2,
#                                 for qemu's user-mode emulator to run it in
# ARCH is linux-aarch64 or linux-armhf. Neither is installed into the machine:
# Debian's ARM cross compilers conflict with gcc-multilib, and a foreign
# architecture would change what apt installs for everything else.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tools/harness.sh"

# make_toolchain DIR: the compilers, binutils, C and C++ libraries of
# $arm_triple, unpacked into DIR. GCC finds its parts relative to itself.
make_toolchain() {
  local dir=$1 cross=$arm_debian-cross tool
  unpack_debs "$dir" {gcc,g++,cpp}-12-$arm_triple gcc-12-$arm_triple-base binutils-$arm_triple \
    libgcc-12-dev-$cross libstdc++-12-dev-$cross libc6-dev-$cross libc6-$cross linux-libc-dev-$cross \
    libgcc-s1-$cross libstdc++6-$cross
  # glibc's libc.so is a linker script naming /usr/TRIPLE/lib/...: the linker
  # finds bare names in its own library path, here.
  sed -i "s|/usr/$arm_triple/lib/||g" "$dir/usr/$arm_triple/lib/libc.so"
  # The binutils load their libbfd and libopcodes from the host's library
  # folder; each becomes a script that points them at the unpacked ones.
  mkdir -p "$dir/usr/libexec/cross-binutils"
  for tool in "$dir"/usr/bin/"$arm_triple"-*; do
    case ${tool##*/} in *-12 | *-gcc-* | *-gcov* | *-lto-dump*) continue ;; esac
    [ -L "$tool" ] && continue
    mv "$tool" "$dir/usr/libexec/cross-binutils/"
    cat >"$tool" <<'SCRIPT'
#!/bin/sh
real=$(readlink -f "$0")
usr=${real%/bin/*}
LD_LIBRARY_PATH=$usr/lib/x86_64-linux-gnu exec "$usr/libexec/cross-binutils/${real##*/}" "$@"
SCRIPT
    chmod 755 "$tool"
  done
  "$dir/usr/bin/$arm_triple-g++-12" --version >/dev/null
}

# make_root DIR: Debian 12 of $arm_debian, unpacked (mmdebstrap's extract
# variant runs nothing of the root, so needs no emulation): the JVM, SoftHSM2
# and the C++ run-time library the unit suite links. The root's absolute
# links become relative ones, as the emulator resolves them on the host
# otherwise (the JDK's lib/jvm.cfg points into /etc).
make_root() {
  local dir=$1 link target
  host_archive
  # From bookworm main (tools/harness.sh, host_archive), three tries: a
  # mirror out of step with its index fails the whole run.
  for try in 1 2 3; do
    mmdebstrap --quiet --arch="$arm_debian" --variant=extract "${archive_aptopts[@]}" \
      --include=openjdk-17-jre-headless,libsofthsm2,softhsm2,libstdc++6 bookworm "$dir" "$archive_main" >&2 && break
    rm -rf "$dir"
    [ "$try" -lt 3 ] || return 1
    sleep 20
  done
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    ln -sfnr "$dir$target" "$link"
  done < <(find "$dir" -type l -lname '/*' -print0)
  [ -x "$dir/usr/lib/jvm/java-17-openjdk-$arm_debian/bin/java" ]
}

[ $# -eq 2 ] || { echo "usage: tools/arm.sh toolchain|root linux-aarch64|linux-armhf" >&2; exit 2; }
arm_arch "$2"
case $1 in
  toolchain) made_once "$arm_toolchain" make_toolchain ;;
  root)
    "$root/tools/bootstrap.sh" arm
    made_once "$arm_root" make_root
    ;;
  *) echo "usage: tools/arm.sh toolchain|root ARCH" >&2; exit 2 ;;
esac
