#!/usr/bin/env bash
# make check-fresh: the README's two commands, `make demo` then `make test`,
# on a clone of the committed tree (HEAD) inside a minimal Debian 12 root that
# holds only what a new machine brings: the packages below and Debian's
# required ones. Whatever else the suites need, the project's own files must
# install. Prints each command's result and time; exits non-zero unless both
# pass.
#
# The root is made once by mmdebstrap from the host's Debian archive settings
# and kept as a tarball in $VARNEL_CACHE_DIR (default ~/.cache/varnel), named
# after its recipe's hash; each run unpacks it into a scratch folder there.
# The commands run chrooted in a mount and PID namespace of their own, with
# /proc, /dev, /dev/shm, /sys and /run of their own or bound in, on the host's
# kernel and network. When the run ends, also when interrupted, the
# namespace's init dies and takes every process in it along, its mounts go
# with it, and the scratch folder is removed; the logs of the last run stay in
# the cache (check-fresh-logs/).
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
src=$root
source "$root/tools/harness.sh"

# What a new machine of ours brings (the README's list).
machine="g++ clang cmake make git libgtest-dev valgrind libp11-kit-dev openjdk-17-jdk-headless"
# Other commands may be given, to look into a failure there.
commands=("make demo" "make test")
[ $# -eq 0 ] || commands=("$@")

say() { echo "check-fresh: $*" >&2; }
die() {
  say "$*"
  exit 1
}
[ "$(id -u)" -eq 0 ] || die "needs root (mounts, chroot)"
"$src/tools/bootstrap.sh" fresh || die "could not install mmdebstrap"

# The host's own archive settings: the root installs from the same place, and
# its apt reaches it the same way.
host_archive
mmdebstrap_args=(--quiet --variant=minbase --format=tar --include="${machine// /,}" "${archive_aptopts[@]}")
key=$({ printf '%s\n' "${mmdebstrap_args[@]}"; cat "${archive_files[@]}"; } | sha256sum | cut -c1-16)
tarball=$varnel_cache/fresh-root-$key.tar
logs=$varnel_cache/check-fresh-logs

mkdir -p "$varnel_cache"
exec 9>"$varnel_cache/check-fresh.lock"
flock -n 9 || die "another check-fresh is running"

# mounted_under DIR: whether anything is mounted at or below DIR.
mounted_under() { findmnt -rn -o TARGET | grep -q "^$1\(/\|$\)"; }
# remove DIR: removes a scratch folder, never across a mount left in it.
remove() {
  if mounted_under "$1"; then
    say "something is still mounted under $1; left in place"
    return 1
  fi
  rm -rf --one-file-system "$1"
}
# A run killed without its trap (SIGKILL) leaves its folders: the next one
# removes them.
for stale in "$varnel_cache"/fresh-make.* "$varnel_cache"/fresh-run.*; do [ -d "$stale" ] && remove "$stale"; done

scratch=""
ns_pid=""
finish() {
  if [ -n "$ns_pid" ]; then
    kill -KILL "$ns_pid" 2>/dev/null
    wait "$ns_pid" 2>/dev/null
  fi
  [ -z "$scratch" ] || remove "$scratch"
}
trap finish EXIT
trap 'say interrupted; exit 130' INT TERM HUP

# in_namespace COMMAND...: runs COMMAND in a mount namespace of its own, in the
# background, as ns_pid; its mounts end with it, and it ends with this script.
in_namespace() {
  unshare --mount --propagation private --kill-child "$@" &
  ns_pid=$!
  wait "$ns_pid"
  local rc=$?
  ns_pid=""
  return "$rc"
}

started=$SECONDS
if [ ! -f "$tarball" ]; then
  say "making the Debian 12 root ($machine) into $tarball (once per recipe)"
  rm -f "$varnel_cache"/fresh-root-*.tar
  scratch=$(mktemp -d "$varnel_cache/fresh-make.XXXXXX")
  TMPDIR=$scratch in_namespace mmdebstrap "${mmdebstrap_args[@]}" bookworm "$scratch/root.tar" "$archive_sources" ||
    die "mmdebstrap failed"
  mv "$scratch/root.tar" "$tarball"
  remove "$scratch"
  scratch=""
  say "root made in $((SECONDS - started)) s"
fi

[ -z "$(git -C "$src" status --porcelain --untracked-files=no)" ] ||
  say "uncommitted changes are not part of the check: it runs HEAD"
commit=$(git -C "$src" rev-parse HEAD)

scratch=$(mktemp -d "$varnel_cache/fresh-run.XXXXXX")

newroot=$scratch/root
mkdir "$newroot"
unpack_started=$SECONDS
tar -x -p --numeric-owner -f "$tarball" -C "$newroot" || die "could not unpack $tarball"
git clone -q --no-local "$src" "$newroot/root/varnel" && git -C "$newroot/root/varnel" checkout -q --detach "$commit" ||
  die "could not clone $src"
say "root unpacked and $commit cloned in $((SECONDS - unpack_started)) s"
rm -rf "$logs"
mkdir -p "$logs"

# PID 1 of the namespace: mounts what a booted machine has, then runs each
# command chrooted, timed, its output shown and kept in the cache's logs.
inner() {
  set -u
  local root=$1 logs=$2
  shift 2
  # The root a mount point of its own, as / is: the suites' own namespaces
  # change the propagation of / (unshare --propagation), which needs one.
  mount --bind "$root" "$root" &&
    mount --rbind /dev "$root/dev" &&
    mount -t tmpfs -o mode=1777,nosuid,nodev varnel-shm "$root/dev/shm" &&
    mount -t proc proc "$root/proc" &&
    mount --rbind /sys "$root/sys" &&
    mount -t tmpfs -o mode=755,nosuid,nodev varnel-run "$root/run" &&
    mkdir -m 1777 "$root/run/lock" || return 125
  cp /etc/resolv.conf /etc/hosts "$root/etc/"
  local status=0 cmd rc t0 result
  for cmd in "$@"; do
    t0=$SECONDS
    chroot "$root" /usr/bin/env -i HOME=/root USER=root LOGNAME=root SHELL=/bin/bash TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      /bin/bash -c "cd /root/varnel && $cmd" </dev/null 2>&1 | tee "$logs/${cmd// /-}.log"
    rc=${PIPESTATUS[0]}
    result=passed
    [ "$rc" -eq 0 ] || result="FAILED (exit $rc)"
    echo "check-fresh: $cmd: $result in $((SECONDS - t0)) s" | tee -a "$logs/summary"
    [ "$rc" -eq 0 ] || { status=1; break; }
  done
  return "$status"
}

in_namespace --pid bash -c "$(declare -f inner); inner \"\$@\"" inner "$newroot" "$logs" "${commands[@]}"
rc=$?
cp -R "$newroot/root/varnel/build/test-logs" "$logs/" 2>/dev/null
[ "$rc" -ne 125 ] || say "could not mount /dev, /proc, /sys or /run in the root"
grep -E '^([0-9]+ passed, [0-9]+ failed|skipped, not counted: )' "$logs/make-test.log" 2>/dev/null |
  sed 's/^/check-fresh: make test: /' >&2
if [ "$rc" -eq 0 ] && [ "$(wc -l <"$logs/summary" 2>/dev/null)" = "${#commands[@]}" ]; then
  say "passed in $((SECONDS - started)) s (logs: $logs)"
else
  say "FAILED after $((SECONDS - started)) s (logs: $logs)"
  exit 1
fi
