#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, once.
# Idempotent: does nothing when every package is already present.
# Usage: tools/bootstrap.sh [group...]          installs the groups' packages (default all)
#        tools/bootstrap.sh --list [group...]   prints each group and its packages, installs nothing
#        tools/bootstrap.sh --missing [group...]  prints the groups' packages not installed, installs nothing
# groups: build64 build32 test64 test32 e2e tokens windows wine wine64 wine-vm arm fresh format fuzz bench all
set -euo pipefail

declare -A groups=(
  [build64]="g++ cmake make libp11-kit-dev openjdk-17-jdk-headless"
  [build32]="gcc-multilib g++-multilib"
  [test64]="libgtest-dev valgrind unzip"
  [test32]="libc6-dbg:i386 qemu-user"
  [e2e]="softhsm2 opensc gnutls-bin openssl qemu-user openjdk-17-jdk-headless:i386 libssl3:i386 libstdc++6:i386 libgcc-s1:i386"
  # The other tokens of the end-to-end matrix. Only NSS and p11-kit come in
  # i386 too: the i386 opencryptoki and tpm2-pkcs11 packages would replace the
  # amd64 ones.
  [tokens]="opencryptoki libopencryptoki0 libtpm2-pkcs11-1 libtpm2-pkcs11-tools tpm2-tools swtpm swtpm-tools libtss2-tcti-swtpm0 tpm2-abrmd libtss2-tcti-tabrmd0 dbus-daemon iproute2 libnss3 libnss3-tools p11-kit p11-kit-modules ca-certificates opensc-pkcs11 libnss3:i386 p11-kit-modules:i386 opensc-pkcs11:i386"
  [windows]="g++-mingw-w64-i686 g++-mingw-w64-x86-64"
  [wine]="wine32:i386"
  [wine64]="wine64"
  [wine-vm]="qemu-system-x86 mmdebstrap e2fsprogs"
  # Runs the ARM builds' programs; makes their Debian root (tools/arm.sh).
  [arm]="qemu-user mmdebstrap"
  [fresh]="mmdebstrap"
  [format]="clang-format"
  [fuzz]="clang libclang-rt-14-dev"
  [bench]="softhsm2 libjna-java"
)

list=false
only_missing=false
case ${1:-} in
  --list) list=true; shift ;;
  --missing) only_missing=true; shift ;;
esac
names=()
for g in "${@:-all}"; do
  if [ "$g" = all ]; then
    mapfile -t -O ${#names[@]} names < <(printf '%s\n' "${!groups[@]}" | sort)
  elif [ -n "${groups[$g]+set}" ]; then
    names+=("$g")
  else
    echo "bootstrap: no group '$g' (groups: $(printf '%s\n' "${!groups[@]}" | sort | paste -sd ' '))" >&2
    exit 2
  fi
done
if $list; then
  for g in "${names[@]}"; do echo "$g: ${groups[$g]}"; done
  exit 0
fi
wanted=()
for g in "${names[@]}"; do wanted+=(${groups[$g]}); done

# One installer at a time, machine-wide: parallel make jobs and other checkouts
# call this too, and apt takes no second caller.
exec 8>/tmp/varnel-bootstrap.lock
flock 8

# What an earlier run could not install because the archive was out of step
# (see below): one package a line, tried again after an hour.
source "$(dirname "$0")/paths.sh"
left_out_file=$bootstrap_left_out
[ -n "$(find "$left_out_file" -mmin -60 2>/dev/null)" ] || rm -f "$left_out_file"

missing=()
for p in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' && continue
  grep -qxF "$p" "$left_out_file" 2>/dev/null || missing+=("$p")
done
if $only_missing; then
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
  exit 0
fi
[ ${#missing[@]} -eq 0 ] && exit 0

if printf '%s\n' "${missing[@]}" | grep -q ':i386$' &&
   ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
echo "bootstrap: installing ${missing[*]}" >&2
# A mirror in the middle of a sync serves an index its Release file does not
# list: apt refuses that index. Tried twice, a little apart.
update_log=$(mktemp)
trap 'rm -f "$update_log"' EXIT
$sudo_cmd apt-get update -qq >"$update_log" 2>&1 || { sleep 10; $sudo_cmd apt-get update -qq >"$update_log" 2>&1; } || true
# Never removes a package to make room for one (apt would, to satisfy a mix it cannot).
apt_install() { DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-remove --no-install-recommends "$@" >/dev/null; }
apt_install "${missing[@]}" && exit 0
# Only an index that stayed out of step excuses a failed install: then each
# package is installed alone (a set that installs one by one may still fail
# together), what the archive cannot give is named and left out, and the
# suites that need it say SKIPPED.
grep -q '^E: ' "$update_log" || exit 1
grep '^E: ' "$update_log" | head -n 3 >&2
left_out=()
for p in "${missing[@]}"; do
  apt_install "$p" 2>/dev/null || left_out+=("$p")
done
[ ${#left_out[@]} -ne 0 ] || exit 0
printf '%s\n' "${left_out[@]}" >>"$left_out_file"
echo "bootstrap: the archive's indexes are out of step; left out: ${left_out[*]}" >&2
