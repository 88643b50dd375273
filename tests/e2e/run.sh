#!/usr/bin/env bash
# End-to-end test of libVarnel from Java against a real PKCS#11 token.
#
# Usage: tests/e2e/run.sh <linux-x86_64|linux-x86|linux-aarch64|linux-armhf> [TOKEN]
#
# TOKEN names a setup script tests/e2e/tokens/TOKEN.sh (default softhsm) and its profile
# TOKEN.profile: the script starts what the module needs (daemons on paths of their own or on
# loopback), makes a fresh token and says which module the JVM loads; the profile holds what that
# token answers where tokens differ. Each run starts from nothing and removes everything it made,
# daemons stopped by PID, also when it fails or is interrupted.
#
# Needs: make's dist/<arch>/libVarnel.so, the packages of tools/bootstrap.sh's e2e and tokens
# groups, gcc with libp11-kit-dev (gcc-multilib for linux-x86, the ARM cross GCC of tools/arm.sh
# for the ARM builds) for the test-only JNI helper in tests/e2e/native. The i386 JVM runs under
# qemu-i386 where the kernel cannot run 32-bit programs (tools/arch.sh; VARNEL_I386_RUNNER=qemu-i386
# forces it); the ARM JVMs always run under qemu, in their Debian roots (tools/arm.sh).
#
# Environment: VARNEL_E2E_TIMEOUT (seconds, default 900) bounds the JVM run;
# VARNEL_E2E_LIBDIR replaces dist/<arch> as the directory holding libVarnel.so;
# VARNEL_E2E_JVM_OPTIONS adds JVM options (for example other stack guard zones).
#
# Prints the JVM's output, then one last line: "e2e <arch> <token>: N passed, M failed", or
# "e2e <arch> <token>: SKIPPED: <why>" when the module cannot run on this machine.
set -euo pipefail

usage() {
  echo "usage: $0 <linux-x86_64|linux-x86|linux-aarch64|linux-armhf> [$(cd "$here/tokens" && ls *.sh | sed 's/\.sh$//' | paste -sd '|')]" >&2
  exit 2
}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
build="$root/build"
[ $# -ge 1 ] && [ $# -le 2 ] || usage
arch=$1
token=${2:-softhsm}
case "$arch" in linux-x86_64 | linux-x86 | linux-aarch64 | linux-armhf) ;; *) usage ;; esac
[ -f "$here/tokens/$token.sh" ] || usage
source "$root/tools/harness.sh"
name="e2e $arch $token"

die() {
  echo "$name: $*" >&2
  echo "$name: 0 passed, 1 failed"
  exit 1
}
skip() {
  echo "$name: SKIPPED: $*"
  exit 0
}

# --- daemons and scratch space, undone on every way out
daemon_pids=()
scratch=""
# start_daemon LOG COMMAND...: starts COMMAND in the background, to be stopped at exit.
start_daemon() {
  local log=$1
  shift
  "$@" </dev/null >"$log" 2>&1 &
  daemon_pids+=($!)
}
stop_daemons() {
  local i pid tries
  for ((i = ${#daemon_pids[@]} - 1; i >= 0; i--)); do
    pid=${daemon_pids[i]}
    kill -TERM "$pid" 2>/dev/null || continue
    for ((tries = 0; tries < 50; tries++)); do
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  daemon_pids=()
}
cleanup() {
  stop_daemons
  [ -z "$scratch" ] || rm -rf "$scratch"
}
trap cleanup EXIT
trap 'echo "$name: interrupted" >&2; exit 130' INT TERM HUP

# wait_for LOG SECONDS COMMAND...: retries COMMAND until it succeeds; LOG is the
# log of the daemon being waited for, shown when it does not come up.
wait_for() {
  local log=$1 tries=$(($2 * 10))
  shift 2
  until "$@" >/dev/null 2>&1; do
    tries=$((tries - 1))
    if [ "$tries" -le 0 ]; then
      cat "$log" >&2
      die "$(basename "$log" .log) did not come up"
    fi
    sleep 0.1
  done
}

# The token script: sets the defaults below and defines token_setup. It may set
# token_needs_namespace=1 for a module whose paths are fixed: the whole run then
# happens in a mount and IPC namespace of its own, where the script mounts its
# folders over them. Those mounts end with the namespace, when the run does.
token_arches="linux-x86_64"
token_needs_namespace=0
profile="$here/tokens/$token.profile"
user_pin=1234
so_pin=5678
token_label=varnel-e2e
second_token_label=""
key_label=varnel-sign
spare_key_label="" # a second key pair to make, for cases that destroy one
cert_label=varnel-cert
driver=""
tool_module=""     # what pkcs11-tool loads, amd64; defaults to the driver
run_as=()          # a command prefix running the tools and the JVM as another user,
run_as_owner=""    # who then owns the scratch space
source "$here/tokens/$token.sh"

[[ " $token_arches " == *" $arch "* ]] || die "the $token module is tested on ${token_arches// /, } only"
if [ "$token_needs_namespace" = 1 ] && [ -z "${VARNEL_E2E_NAMESPACE:-}" ]; then
  unshare --mount --ipc --propagation private true 2>/dev/null ||
    skip "cannot make a mount namespace (unshare --mount --ipc), which the $token module's fixed paths need"
  exec unshare --mount --ipc --propagation private env VARNEL_E2E_NAMESPACE=1 "$0" "$@"
fi

[ -x "$jdk64/bin/javac" ] || die "64-bit JDK missing: $jdk64 (run tools/bootstrap.sh)"
command -v pkcs11-tool >/dev/null || die "pkcs11-tool missing (package opensc)"
libdir=${VARNEL_E2E_LIBDIR:-$root/dist/$arch}
[ -e "$libdir/libVarnel.so" ] || die "$libdir/libVarnel.so missing: run make first"
# A library of the architecture that is no PKCS#11 module, a module of another one, and the C
# compiler of the architecture. Paths into an ARM root are given whole, root included: qemu does
# not look up 32-bit ARM's statx() in the root.
case $arch in
  linux-x86)
    no_pkcs11_lib=/lib/i386-linux-gnu/libc.so.6
    foreign_module=$softhsm64
    cc=(gcc -m32)
    ;;
  linux-x86_64)
    no_pkcs11_lib=/lib/x86_64-linux-gnu/libc.so.6
    foreign_module=""
    [ -f "$softhsm32" ] && foreign_module=$softhsm32
    cc=(gcc)
    ;;
  *)
    arm_arch "$arch"
    no_pkcs11_lib=$arm_root/lib/$arm_triple/libc.so.6
    foreign_module=$(readlink -f "$softhsm64") # by a path the root does not have too
    cc=("$arm_toolchain/usr/bin/$arm_triple-gcc-12")
    ;;
esac

# The tokens and the JVM's temporary files live on tmpfs where there is one
# (tools/harness.sh says why), but in build/ for a run in a namespace, whose
# /dev/shm is its own.
if [ "$token_needs_namespace" = 1 ]; then
  scratch=$(mktemp -d "$build/varnel-e2e-$token.XXXXXX")
else
  scratch=$(scratch_dir "varnel-e2e-$token")
fi
setup_log="$scratch/setup.log"
use_jvm "$arch" "$scratch" || { [ $? -eq 3 ] && skip "$jvm_left_out"; die "no JVM for $arch"; }
[ "$jvm_emulated" = 0 ] || echo "$name: the JVM runs emulated: ${java[*]}"

# logged COMMAND...: runs a setup step, its output in the setup log; dies on failure.
logged() {
  "$@" >>"$setup_log" 2>&1 || { cat "$setup_log" >&2; die "$* failed"; }
}

token_setup
[ -f "$driver" ] || die "PKCS#11 module missing: $driver"
tool_module=${tool_module:-$driver}

# --- objects on the token, made with pkcs11-tool (amd64): an RSA-2048 key pair (the private key a
# private object, its public half exported for Java to verify with) and a certificate for an
# unrelated key.
public_key="$scratch/$key_label.pub.der"
certificate="$scratch/cert.der"
tool() {
  logged "${run_as[@]}" pkcs11-tool --module "$tool_module" "$@"
}
if [ -n "$key_label" ]; then
  tool --token-label "$token_label" --login --pin "$user_pin" --keypairgen --key-type rsa:2048 \
    --label "$key_label" --id 01
  tool --token-label "$token_label" --read-object --type pubkey --label "$key_label" -o "$public_key"
fi
if [ -n "$spare_key_label" ]; then
  tool --token-label "$token_label" --login --pin "$user_pin" --keypairgen --key-type rsa:1024 \
    --label "$spare_key_label" --id 03
fi
if [ -n "$cert_label" ]; then
  logged "$jdk64/bin/keytool" -genkeypair -alias cert -keyalg EC -groupname secp256r1 -validity 2 \
    -dname "CN=$cert_label" -storetype PKCS12 -keystore "$scratch/cert.p12" -storepass e2e-pass
  logged "$jdk64/bin/keytool" -exportcert -alias cert -keystore "$scratch/cert.p12" -storepass e2e-pass \
    -file "$certificate"
  tool --token-label "$token_label" --login --pin "$user_pin" --write-object "$certificate" --type cert \
    --label "$cert_label" --id 02
fi

# --- compile the bridge's Java class and the test program, and the test-only JNI helper that calls
# into the module Varnel loaded; shared by every run, remade when a source changed.
classes="$build/e2e-classes"
native_lib="$build/e2e-native-$arch/libvarnel-e2e-testtoken.so"
mkdir -p "$build/e2e-native-$arch"
exec 9>"$build/.e2e.lock"
flock 9
if [ ! -f "$classes/.made" ] || [ -n "$(find "$root/java" "$here/java" -newer "$classes/.made" -name '*.java')" ]; then
  compile_java "$classes" "$here/java" || die "javac failed"
  touch "$classes/.made"
fi
if [ ! -f "$native_lib" ] || [ "$here/native/testtoken.c" -nt "$native_lib" ]; then
  "${cc[@]}" -std=c11 -O2 -Wall -Wextra -Werror -shared -fPIC \
    -I"$jdk64/include" -I"$jdk64/include/linux" -I"$p11kit_include" \
    -o "$native_lib.tmp" "$here/native/testtoken.c" -ldl || die "could not build $here/native/testtoken.c"
  mv -f "$native_lib.tmp" "$native_lib"
fi
# The launcher that runs a JVM on the process's first thread: the stack lookup there is checked on
# SoftHSM2 alone (it does not depend on the token), and not under emulation, where the lookups see
# the emulator's own stack.
primordial_launcher=""
if [ "$token" = softhsm ] && [ "$jvm_emulated" = 0 ]; then
  primordial_launcher="$build/e2e-native-$arch/primordial"
  if [ ! -f "$primordial_launcher" ] || [ "$here/native/primordial.c" -nt "$primordial_launcher" ]; then
    "${cc[@]}" -std=c11 -O2 -Wall -Wextra -Werror -I"$jdk64/include" -I"$jdk64/include/linux" \
      -o "$primordial_launcher.tmp" "$here/native/primordial.c" -ldl || die "could not build $here/native/primordial.c"
    mv -f "$primordial_launcher.tmp" "$primordial_launcher"
  fi
fi
flock -u 9
# A token that runs its JVM as another user: that user may not reach the tree (a checkout in
# root's home is not), so what the JVM reads from it is copied into the scratch space it owns.
if [ ${#run_as[@]} -ne 0 ]; then
  tree=$scratch/tree
  mkdir -p "$tree/lib"
  cp -R "$classes" "$tree/classes"
  cp "$native_lib" "$profile" "$tree/"
  cp -P "$libdir"/* "$tree/lib/"
  if [[ "$foreign_module" == "$root"/* ]]; then
    cp "$foreign_module" "$tree/"
    foreign_module=$tree/${foreign_module##*/}
  fi
  classes=$tree/classes native_lib=$tree/${native_lib##*/} profile=$tree/${profile##*/} libdir=$tree/lib
  chown -R "${run_as_owner:?}" "$scratch"
fi

# --- run
# The command that starts a JVM like this one, for cases that start another
# (under emulation it names the emulator too), its words split by US.
child_java=$(IFS=$'\x1f' && echo "${java[*]}")
java=("${run_as[@]}" "${java[@]}")
read -ra jvm_options <<<"${VARNEL_E2E_JVM_OPTIONS:-}"
run_jvm "e2e-$arch-$token" "$scratch/jvm.log" "${jvm_options[@]}" \
  -Djava.library.path="$libdir" \
  -Djava.io.tmpdir="$scratch" \
  -Dvarnel.e2e.profile="$profile" \
  -Dvarnel.e2e.driver="$driver" \
  -Dvarnel.e2e.tokenLabel="$token_label" \
  -Dvarnel.e2e.pin="$user_pin" \
  -Dvarnel.e2e.noPkcs11Lib="$no_pkcs11_lib" \
  -Dvarnel.e2e.foreignModule="$foreign_module" \
  -Dvarnel.e2e.childJava="$child_java" \
  -Dvarnel.e2e.secondTokenLabel="$second_token_label" \
  -Dvarnel.e2e.keyLabel="$key_label" \
  -Dvarnel.e2e.spareKeyLabel="$spare_key_label" \
  -Dvarnel.e2e.publicKey="$public_key" \
  -Dvarnel.e2e.certLabel="$cert_label" \
  -Dvarnel.e2e.certificate="$certificate" \
  -Dvarnel.e2e.testToken="$native_lib" \
  -Dvarnel.e2e.primordialLauncher="$primordial_launcher" \
  -cp "$classes" ka.tovik.selvo.jvarnel.e2e.E2ETest

if judge_jvm '^e2e: [0-9]+ passed, [0-9]+ failed$'; then
  echo "$name: $(sed -n 's/^e2e: \([0-9]* passed, [0-9]* failed\)$/\1/p' "$scratch/jvm.log" | tail -n 1)"
else
  counts=$(sed -n 's/^e2e: \([0-9]* passed\), [0-9]* failed$/\1/p' "$scratch/jvm.log" | tail -n 1)
  bad=$(sed -n 's/^e2e: [0-9]* passed, \([0-9]*\) failed$/\1/p' "$scratch/jvm.log" | tail -n 1)
  echo "$name: ${counts:-0 passed}, $(( ${bad:-0} > 0 ? bad : 1 )) failed"
  exit 1
fi
