#!/usr/bin/env bash
# Runs a 32-bit Windows program under wine32 inside a small Debian VM, for
# machines whose kernel cannot run 32-bit programs (wine32 needs that, and
# does not work under qemu's user-mode emulator either).
#
# Usage: tools/wine-vm.sh DIR PROGRAM [ARGS...]
# DIR is shared with the guest read-only at its own path, so PROGRAM (under
# DIR) and the paths compiled into it stay valid there. Prints the program's
# output, with LF line ends, and exits with its status; 125 when the VM did
# not run it.
#
# The guest's disk is made once by tools/wine-vm-image.sh and kept in
# $VARNEL_CACHE_DIR (default ~/.cache/varnel), in a folder named after the
# recipe's hash; the first boot makes the wine prefix on it. Every later
# boot uses -snapshot, so no run changes the disk. qemu runs with TCG
# (VARNEL_WINE_VM_ACCEL=kvm to try KVM; on nested machines here it failed
# with "failed to set MSR 0x10a") and -cpu max,-smap: with SMAP the guest
# kernel oopsed in wine's 32-bit processes under TCG. The result comes back
# over the serial console. VARNEL_WINE_VM_TIMEOUT (600) bounds one boot, in
# seconds, and three times that the first boot, which makes the prefix under
# emulation; qemu is stopped by its PID then, and when this script is stopped.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/harness.sh"
recipe=$root/tools/wine-vm-image.sh
cache=$varnel_cache
image=$cache/wine-vm-$(sha256sum "$recipe" | cut -c1-16)
boot_timeout=${VARNEL_WINE_VM_TIMEOUT:-600}

if [ $# -lt 2 ]; then
  echo "usage: $0 DIR PROGRAM [ARGS...]" >&2
  exit 2
fi
share=$(cd "$1" && pwd) || exit 125
shift

say() { echo "wine-vm: $*" >&2; }

work=$(mktemp -d)
qemu_pid=""
stop() {
  if [ -n "$qemu_pid" ]; then
    kill "$qemu_pid" 2>/dev/null
    wait "$qemu_pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT TERM

# boot DISK_DIR SNAPSHOT SECONDS JOB_SCRIPT [SHARED_DIR]: boots once, runs
# the job, and leaves what it printed in $work/output; the status is the
# job's, or 125.
boot() {
  local disk_dir=$1 snapshot=$2 limit=$3 job_script=$4 shared=${5:-}
  local job=$work/job
  rm -rf "$job" && mkdir -p "$job"
  cp "$job_script" "$job/run"
  printf '%s\n' "$shared" >"$job/share"
  local accel=(-accel tcg -cpu max,-smap)
  [ "${VARNEL_WINE_VM_ACCEL:-}" = kvm ] && accel=(-accel kvm -cpu host)
  local args=(-nodefaults -no-reboot -display none -monitor none -m 2048 -smp 2 "${accel[@]}"
    -kernel "$disk_dir/vmlinuz" -initrd "$disk_dir/initrd.img"
    -append "root=/dev/vda rw init=/sbin/varnel-init console=ttyS0 quiet loglevel=1 panic=-1"
    -drive "file=$disk_dir/root.img,format=raw,if=virtio,snapshot=$snapshot"
    -virtfs "local,path=$job,mount_tag=job,security_model=none,readonly=on"
    -serial "file:$work/serial.log")
  [ -n "$shared" ] && args+=(-virtfs "local,path=$shared,mount_tag=share,security_model=none,readonly=on")
  : >"$work/serial.log"
  qemu-system-x86_64 "${args[@]}" 2>"$work/qemu.log" &
  qemu_pid=$!
  local waited=0
  while kill -0 "$qemu_pid" 2>/dev/null && [ "$waited" -lt "$limit" ]; do
    sleep 1
    waited=$((waited + 1))
  done
  if kill -0 "$qemu_pid" 2>/dev/null; then
    say "no end within ${limit}s; stopping qemu (pid $qemu_pid)"
    kill "$qemu_pid"
  fi
  wait "$qemu_pid"
  local qemu_rc=$?
  qemu_pid=""
  tr -d '\r' <"$work/serial.log" | sed -n '/^VARNEL-BEGIN$/,/^VARNEL-END /p' >"$work/marked"
  sed '1d;$d' "$work/marked" >"$work/output"
  local end
  end=$(sed -n 's/^VARNEL-END \([0-9]*\)$/\1/p' "$work/marked")
  if [ -z "$end" ]; then
    say "the job did not finish (qemu exit $qemu_rc); the console's last lines:"
    tr -d '\r' <"$work/serial.log" | tail -n 15 >&2
    tail -n 5 "$work/qemu.log" >&2
    return 125
  fi
  return "$end"
}

# Makes the disk unless this recipe's is there. One maker at a time, across
# checkouts; a disk of another recipe is removed first.
ensure_image() {
  mkdir -p "$cache"
  exec 9>"$cache/wine-vm.lock"
  flock 9
  if [ ! -f "$image/ready" ]; then
    local started=$SECONDS new=$image.new
    say "making the VM's disk in $image (once per recipe)"
    rm -rf "$cache"/wine-vm-*
    mkdir -p "$new"
    if ! timeout -k 10 1800 "$recipe" "$new" >"$new/build.log" 2>&1; then
      say "tools/wine-vm-image.sh failed:"
      tail -n 20 "$new/build.log" >&2
      rm -rf "$new"
      return 1
    fi
    if ! boot "$new" off $((3 * boot_timeout)) "$new/first-boot.sh" || ! grep -q '^wine-runs$' "$work/output"; then
      say "the first boot did not make the wine prefix:"
      tail -n 20 "$work/output" >&2
      rm -rf "$new"
      return 1
    fi
    touch "$new/ready"
    mv "$new" "$image"
    say "disk ready after $((SECONDS - started))s"
  fi
  flock -u 9
  exec 9>&-
}

ensure_image || exit 125
program=$(realpath -m "$1")
shift
{
  echo '. /etc/varnel-wine'
  printf 'cd %q\n' "$share"
  printf 'exec /usr/lib/wine/wine %q' "$program"
  printf ' %q' "$@"
  echo
} >"$work/program.sh"
boot "$image" on "$boot_timeout" "$work/program.sh" "$share"
rc=$?
cat "$work/output"
exit "$rc"
