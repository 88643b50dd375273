#!/usr/bin/env bash
# End-to-end test of libVarnel from Java against a fresh SoftHSM token.
#
# Usage: tests/e2e/run.sh <linux-x86_64|linux-x86>
#
# Needs: make's dist/<arch>/libVarnel.so, softhsm2 (softhsm2-util and the amd64 module), opensc
# (pkcs11-tool, always run with the amd64 module), openjdk-17-jdk-headless for amd64, and for
# linux-x86 the i386 JDK plus libssl3:i386 and libstdc++6:i386 (tools/bootstrap.sh installs
# them), and gcc with libp11-kit-dev (gcc-multilib for linux-x86) for the test-only JNI helper in
# tests/e2e/native, built into build/e2e-native-<arch>. The i386 SoftHSM module cannot be
# installed beside the amd64 one, so it is downloaded and unpacked into build/softhsm-i386. A
# kernel without 32-bit emulation cannot start the i386 JVM: qemu-i386 (qemu-user) is then used
# to run it.
#
# Environment: VARNEL_E2E_TIMEOUT (seconds, default 900) bounds the JVM run;
# VARNEL_E2E_LIBDIR replaces dist/<arch> as the directory holding libVarnel.so.
#
# Prints the JVM's output, then one last line: "e2e <arch>: N passed, M failed".
# Exits non-zero when a case failed, the JVM died or timed out, or -Xcheck:jni warned.
set -euo pipefail

usage() {
  echo "usage: $0 <linux-x86_64|linux-x86>" >&2
  exit 2
}
[ $# -eq 1 ] || usage
arch=$1

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
build="$root/build"

jdk64=/usr/lib/jvm/java-17-openjdk-amd64
jdk32=/usr/lib/jvm/java-17-openjdk-i386
softhsm64=/usr/lib/softhsm/libsofthsm2.so
softhsm32_dir="$build/softhsm-i386"
softhsm32="$softhsm32_dir/usr/lib/softhsm/libsofthsm2.so"

die() {
  echo "e2e: $*" >&2
  echo "e2e $arch: 0 passed, 1 failed"
  exit 1
}

# Unpacks libsofthsm2:i386 into build/softhsm-i386 unless already there.
fetch_softhsm_i386() {
  [ -f "$softhsm32" ] && return 0
  local work
  work=$(mktemp -d "$build/softhsm-i386-download.XXXXXX")
  # apt's download sandbox user cannot write into a root-only directory
  chmod 755 "$work"
  if ! (cd "$work" && apt-get download -q libsofthsm2:i386 >"$work/apt.log" 2>&1); then
    cat "$work/apt.log" >&2
    rm -rf "$work"
    return 1
  fi
  rm -rf "$softhsm32_dir.tmp"
  dpkg-deb -x "$work"/libsofthsm2_*_i386.deb "$softhsm32_dir.tmp"
  rm -rf "$work" "$softhsm32_dir"
  mv "$softhsm32_dir.tmp" "$softhsm32_dir"
  [ -f "$softhsm32" ]
}

mkdir -p "$build"
exec 9>"$build/.e2e.lock"   # serialises the shared steps when both arches run at once

case "$arch" in
  linux-x86_64)
    java_cmd=("$jdk64/bin/java")
    driver=$softhsm64
    no_pkcs11_lib=/lib/x86_64-linux-gnu/libc.so.6
    foreign_module=""
    [ -f "$softhsm32" ] && foreign_module=$softhsm32
    cc_arch=()
    ;;
  linux-x86)
    [ -x "$jdk32/bin/java" ] || die "32-bit JDK missing: $jdk32 (run tools/bootstrap.sh)"
    flock 9
    fetch_softhsm_i386 || die "could not fetch libsofthsm2:i386 into $softhsm32_dir"
    flock -u 9
    java_cmd=("$jdk32/bin/java")
    if ! "$jdk32/bin/java" -version >/dev/null 2>&1; then
      # e.g. a kernel booted with ia32_emulation=off: "Exec format error"
      if command -v qemu-i386 >/dev/null && qemu-i386 "$jdk32/bin/java" -version >/dev/null 2>&1; then
        echo "e2e: this kernel cannot run 32-bit programs; running the i386 JVM under qemu-i386" >&2
        # The JIT under emulation has crashed the JVM (relocInfo guarantee); the
        # interpreter is slower but sound.
        java_cmd=(qemu-i386 "$jdk32/bin/java" -Xint)
        emulated=1
      else
        die "cannot run $jdk32/bin/java on this kernel, and qemu-i386 (package qemu-user) is not usable"
      fi
    fi
    driver=$softhsm32
    no_pkcs11_lib=/lib/i386-linux-gnu/libc.so.6
    foreign_module=$softhsm64
    cc_arch=(-m32)
    ;;
  *)
    usage
    ;;
esac

[ -x "$jdk64/bin/javac" ] || die "64-bit JDK missing: $jdk64 (run tools/bootstrap.sh)"
[ -f "$driver" ] || die "PKCS#11 module missing: $driver"
command -v softhsm2-util >/dev/null || die "softhsm2-util missing (package softhsm2)"
[ -f "$no_pkcs11_lib" ] || die "library without C_Initialize missing: $no_pkcs11_lib"
libdir=${VARNEL_E2E_LIBDIR:-$root/dist/$arch}
[ -e "$libdir/libVarnel.so" ] || die "$libdir/libVarnel.so missing: run make first"

# --- fresh tokens: the one the cases use, a spare one, and SoftHSM's own empty slot after them
# The tokens and the JVM's temporary files live on tmpfs where there is one
# (tools/softhsm.sh says why).
source "$root/tools/softhsm.sh"
tokens=$(scratch_dir varnel-e2e-softhsm)
trap 'rm -rf "$tokens"' EXIT
use_token_store "$tokens"
if [ "${emulated:-0}" = 1 ]; then
  # The same readdir() failure hits the JDK's crypto policy directory, and with it every
  # javax.crypto.Cipher. The emulated JVM gets a java.home beside the tokens instead: links to the
  # JDK's own directories and a copy of its small conf directory.
  java_home="$tokens/java-home"
  mkdir "$java_home"
  for entry in "$jdk32"/*; do
    [ "$(basename "$entry")" = conf ] || ln -s "$entry" "$java_home/"
  done
  cp -RL "$jdk32/conf" "$java_home/conf"
  java_cmd+=(-Djava.home="$java_home")
fi
token_label=varnel-e2e
user_pin=1234
so_pin=5678
second_token_label=varnel-spare   # not sharing a prefix: pkcs11-tool --token-label matches prefixes
for label in "$token_label" "$second_token_label"; do
  softhsm2-util --init-token --free --label "$label" --pin "$user_pin" --so-pin "$so_pin" \
    >>"$tokens/init.log" 2>&1 || { cat "$tokens/init.log" >&2; die "softhsm2-util --init-token failed"; }
done

# --- objects on the first token, made with the amd64 tools: the token files serve both arches.
# An RSA-2048 key pair (the private key is a private object: visible only after login, and its
# public half is exported for Java to verify signatures with) and a certificate for an unrelated
# key (the only certificate on the token).
key_label=varnel-sign
cert_label=varnel-cert
public_key="$tokens/$key_label.pub.der"
p11tool() {
  pkcs11-tool --module "$softhsm64" --token-label "$token_label" "$@" >>"$tokens/objects.log" 2>&1 \
    || { cat "$tokens/objects.log" >&2; die "pkcs11-tool $* failed"; }
}
command -v pkcs11-tool >/dev/null || die "pkcs11-tool missing (package opensc)"
[ -f "$softhsm64" ] || die "amd64 PKCS#11 module missing: $softhsm64"
p11tool --login --pin "$user_pin" --keypairgen --key-type rsa:2048 --label "$key_label" --id 01
p11tool --read-object --type pubkey --label "$key_label" -o "$public_key"
"$jdk64/bin/keytool" -genkeypair -alias cert -keyalg EC -groupname secp256r1 -validity 2 \
  -dname "CN=$cert_label" -storetype PKCS12 -keystore "$tokens/cert.p12" -storepass e2e-pass \
  >>"$tokens/objects.log" 2>&1 || { cat "$tokens/objects.log" >&2; die "keytool -genkeypair failed"; }
"$jdk64/bin/keytool" -exportcert -alias cert -keystore "$tokens/cert.p12" -storepass e2e-pass \
  -file "$tokens/cert.der" >>"$tokens/objects.log" 2>&1 \
  || { cat "$tokens/objects.log" >&2; die "keytool -exportcert failed"; }
p11tool --login --pin "$user_pin" --write-object "$tokens/cert.der" --type cert --label "$cert_label" --id 02

# pkcs11-tool's own view of the slots, for the test to compare the bridge's answers with.
pkcs11-tool --module "$softhsm64" --list-slots >"$tokens/slots-all.txt" 2>>"$tokens/objects.log" \
  || die "pkcs11-tool --list-slots failed"
pkcs11-tool --module "$softhsm64" --list-token-slots >"$tokens/slots-token.txt" 2>>"$tokens/objects.log" \
  || die "pkcs11-tool --list-token-slots failed"

# --- compile the bridge's Java class and the test program (shared by both arches)
classes="$build/e2e-classes"
flock 9
rm -rf "$classes.tmp"
mkdir -p "$classes.tmp"
mapfile -t sources < <(find "$root/java" "$here/java" -name '*.java' | sort)
"$jdk64/bin/javac" --release 17 -Xlint:all -Werror -encoding UTF-8 -d "$classes.tmp" "${sources[@]}" \
  || die "javac failed"
rm -rf "$classes"
mv "$classes.tmp" "$classes"
flock -u 9

# --- the test-only JNI helper: calls into the module Varnel loaded, for the TestToken class
native_dir="$build/e2e-native-$arch"
native_lib="$native_dir/libvarnel-e2e-testtoken.so"
command -v gcc >/dev/null || die "gcc missing: it builds the test helper $here/native/testtoken.c"
mkdir -p "$native_dir"
native_tmp=$(mktemp "$native_dir/build.XXXXXX")
gcc "${cc_arch[@]}" -std=c11 -O2 -Wall -Wextra -Werror -shared -fPIC \
  -I"$jdk64/include" -I"$jdk64/include/linux" -I/usr/include/p11-kit-1 \
  -o "$native_tmp" "$here/native/testtoken.c" -ldl \
  || { rm -f "$native_tmp"; die "could not build $here/native/testtoken.c"; }
mv -f "$native_tmp" "$native_lib"

# --- run
log="$tokens/jvm.log"
rc=0
touch "$log.start"
ulimit -c 0   # a crash leaves its report in build/e2e-hs_err_pid*.log, not a core file
# The braces keep bash's own "Aborted ..." notice about a crashed JVM out of the output.
{ timeout --kill-after=10 "${VARNEL_E2E_TIMEOUT:-900}" \
  "${java_cmd[@]}" -Xcheck:jni \
  -XX:ErrorFile="$build/e2e-hs_err_pid%p.log" \
  -Djava.library.path="$libdir" \
  -Djava.io.tmpdir="$tokens" \
  -Dvarnel.e2e.driver="$driver" \
  -Dvarnel.e2e.tokenLabel="$token_label" \
  -Dvarnel.e2e.pin="$user_pin" \
  -Dvarnel.e2e.soPin="$so_pin" \
  -Dvarnel.e2e.noPkcs11Lib="$no_pkcs11_lib" \
  -Dvarnel.e2e.foreignModule="$foreign_module" \
  -Dvarnel.e2e.secondTokenLabel="$second_token_label" \
  -Dvarnel.e2e.keyLabel="$key_label" \
  -Dvarnel.e2e.publicKey="$public_key" \
  -Dvarnel.e2e.certLabel="$cert_label" \
  -Dvarnel.e2e.certificate="$tokens/cert.der" \
  -Dvarnel.e2e.testToken="$native_lib" \
  -Dvarnel.e2e.slotListing="$tokens/slots-all.txt" \
  -Dvarnel.e2e.tokenSlotListing="$tokens/slots-token.txt" \
  -cp "$classes" ka.tovik.selvo.jvarnel.e2e.E2ETest \
  </dev/null >"$log" 2>&1 || rc=$?; } 2>/dev/null
cat "$log"

summary=$(grep -E '^e2e: [0-9]+ passed, [0-9]+ failed$' "$log" | tail -n 1 || true)
problems=()
if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
  problems+=("the JVM did not finish within ${VARNEL_E2E_TIMEOUT:-900}s")
elif [ "$rc" -gt 128 ]; then
  problems+=("the JVM was killed by signal $(kill -l $((rc - 128)) 2>/dev/null || echo $((rc - 128)))")
elif [ "$rc" -ne 0 ]; then
  problems+=("the JVM exited with status $rc")
fi
for crash in "$build"/e2e-hs_err_pid*.log; do
  if [ -e "$crash" ] && [ "$crash" -nt "$log.start" ]; then
    problems+=("the JVM crashed, report: $crash")
  fi
done
if grep -q WARNING "$log"; then
  problems+=("the JVM printed warnings (see the WARNING lines above)")
fi
if [ -z "$summary" ]; then
  problems+=("the test program printed no summary line")
fi

if [ -n "$summary" ]; then
  counts=${summary#e2e: }
else
  counts="0 passed, 1 failed"
fi
for p in "${problems[@]}"; do
  echo "e2e $arch: FAILED: $p" >&2
done
echo "e2e $arch: $counts"
[ ${#problems[@]} -eq 0 ]
