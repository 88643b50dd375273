#!/usr/bin/env bash
# The recipe of the wine VM's disk: a small Debian with its kernel, wine32
# and an init of its own, which runs one job per boot and powers off.
# tools/wine-vm.sh names its cache folder after this file's hash, so any edit
# here makes a new disk on the next run.
#
# Usage: tools/wine-vm-image.sh DIR
# Leaves in DIR: root.img (ext4), vmlinuz, initrd.img, first-boot.sh (the job
# of the one boot that may write to the disk: it makes the wine prefix).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/tools/harness.sh"
dir=$1
rootfs=$dir/rootfs

# The host's own archive settings: the guest installs from the same place,
# reached the same way, bookworm's main only (a test guest needs no security
# updates, and an out-of-step index of theirs would fail the whole image).
host_archive

rm -rf "$rootfs"
# wine32 only: the guest runs the 32-bit suite, nothing else. The apt
# variant lacks mount, which the init needs. The maintainer scripts run
# here, on a host that may have no 32-bit support. Traced with strace, the
# only i386 programs they start are ldd's probe of ld-linux.so.2 and glib's
# two cache builders, each allowed to fail; wine needs neither cache.
mmdebstrap --quiet --variant=apt --architectures=amd64,i386 \
  --include=linux-image-amd64,mount,wine32:i386 \
  --aptopt='APT::Install-Recommends "false"' "${archive_aptopts[@]}" \
  --dpkgopt='path-exclude=/usr/share/doc/*' \
  --dpkgopt='path-exclude=/usr/share/man/*' \
  --dpkgopt='path-exclude=/usr/share/locale/*' \
  --customize-hook='rm -rf "$1"/var/cache/apt/archives/*.deb "$1"/var/lib/apt/lists/*' \
  bookworm "$rootfs" "$archive_main"

# PID 1: mounts what wine needs and the job folder (tag "job"), mounts the
# shared folder (tag "share") read-only at the path the job names, runs the
# job, writes its output to the serial console between two markers, and
# powers off. cache=loose: with 9p's default cache the guest read pages of
# a large executable as zeros.
cat >"$rootfs/sbin/varnel-init" <<'INIT'
#!/bin/sh
PATH=/usr/sbin:/usr/bin:/sbin:/bin
export PATH
# The initramfs hands over /proc, /sys and /dev already mounted.
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
modprobe -a 9pnet_virtio 9p
console=/dev/ttyS0
options=trans=virtio,version=9p2000.L,msize=262144,ro
mkdir -p /job
if mount -t 9p -o "$options" job /job; then
  share=$(cat /job/share 2>/dev/null)
  if [ -n "$share" ]; then
    mkdir -p "$share"
    mount -t 9p -o "$options,cache=loose" share "$share"
  fi
  # Through a file, not the console: on a terminal wine adds escape codes.
  HOME=/root USER=root sh /job/run >/tmp/job.out 2>&1
  rc=$?
  { echo VARNEL-BEGIN; cat /tmp/job.out; echo "VARNEL-END $rc"; } >"$console"
else
  echo "VARNEL-END no job folder" >"$console"
fi
sync
echo o >/proc/sysrq-trigger
sleep 30
INIT
chmod 755 "$rootfs/sbin/varnel-init"

# The prefix is made once, in the boot that may write to the disk; runs boot
# with -snapshot and find it ready. A 32-bit prefix, without the Mono and
# Gecko installers a new prefix would otherwise offer.
# /etc/varnel-wine is the wine environment of every job.
cat >"$rootfs/etc/varnel-wine" <<'ENV'
export WINEPREFIX=/root/wine-prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
ENV
cat >"$dir/first-boot.sh" <<'JOB'
. /etc/varnel-wine
/usr/lib/wine/wine cmd /c echo wine-runs
/usr/lib/wine/wineserver -w
JOB

cp "$(ls "$rootfs"/boot/vmlinuz-* | sort -V | tail -n 1)" "$dir/vmlinuz"
cp "$(ls "$rootfs"/boot/initrd.img-* | sort -V | tail -n 1)" "$dir/initrd.img"

# Room for the prefix and the first boot's logs on top of what is installed.
used_mb=$(du -sm "$rootfs" | cut -f1)
rm -f "$dir/root.img"
mke2fs -q -t ext4 -L varnel-wine -d "$rootfs" "$dir/root.img" "$((used_mb + 768))M"
rm -rf "$rootfs"
