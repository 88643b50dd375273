#!/usr/bin/env bash
# Soak run of dist/linux-x86_64/libVarnel.so in a real 64-bit JVM with
# -Xcheck:jni (tests/soak): first millions of mixed calls from several threads
# against the unscripted mock driver, then RSA-2048 signatures on a fresh
# SoftHSM token from one thread (SoftHSM initialised with a null argument
# takes no locks). Each phase is its own JVM: loading a driver replaces the
# bridge's entry points.
#
# Environment (defaults): VARNEL_SOAK_CALLS (5000000: enough that a leak of
# ~50 bytes a call, one unreleased string, passes the memory limit),
# VARNEL_SOAK_THREADS (4), VARNEL_SOAK_SIGNATURES (10000),
# VARNEL_SOAK_MAX_RSS_GROWTH_MIB (20), VARNEL_SOAK_MAX_FD_GROWTH (0),
# VARNEL_SOAK_TIMEOUT (seconds per phase, 600), VARNEL_SOAK_LIBDIR (the
# directory holding libVarnel.so, default dist/linux-x86_64).
#
# Fails on a wrong status, resident memory or descriptors growing past the
# limits between warm-up and the end, any WARNING line from the JVM, or a JVM
# that crashes or does not finish. The last line reads "soak: passed" or
# "soak: FAILED".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
build="$root/build"
source "$root/tools/harness.sh"
mock="$build/linux-x86_64/tests/libmock_pkcs11.so"
libdir=${VARNEL_SOAK_LIBDIR:-$root/dist/linux-x86_64}

calls=${VARNEL_SOAK_CALLS:-5000000}
threads=${VARNEL_SOAK_THREADS:-4}
signatures=${VARNEL_SOAK_SIGNATURES:-10000}
max_rss_kib=$(( ${VARNEL_SOAK_MAX_RSS_GROWTH_MIB:-20} * 1024 ))
max_fds=${VARNEL_SOAK_MAX_FD_GROWTH:-0}
jvm_timeout=${VARNEL_SOAK_TIMEOUT:-600}

die() {
  echo "soak: $*" >&2
  echo "soak: FAILED"
  exit 1
}

[ -x "$jdk64/bin/java" ] || die "64-bit JDK missing: $jdk64 (run tools/bootstrap.sh e2e)"
[ -e "$libdir/libVarnel.so" ] || die "$libdir/libVarnel.so missing: run make first"
[ -f "$mock" ] || die "mock driver missing: $mock (make unit-linux-x86_64 builds it)"
[ -f "$softhsm64" ] || die "SoftHSM module missing: $softhsm64"
command -v softhsm2-util >/dev/null || die "softhsm2-util missing (package softhsm2)"
command -v pkcs11-tool >/dev/null || die "pkcs11-tool missing (package opensc)"

work=$(scratch_dir varnel-soak)
trap 'rm -rf "$work"' EXIT

# Private copies: a rebuild copying over dist/ while the JVM has the library
# mapped would crash it with SIGBUS.
mkdir "$work/lib"
cp "$libdir/libVarnel.so" "$work/lib/libVarnel.so"
cp "$mock" "$work/lib/libmock_pkcs11.so"
libdir="$work/lib"
mock="$work/lib/libmock_pkcs11.so"

classes="$build/soak-classes"
compile_java "$classes" "$root/tests/soak/java" || die "javac failed"
use_jvm linux-x86_64

failed=0

# run_phase NAME ARGS...: one JVM; its output goes to the terminal and to
# $work/NAME.log, then the run is judged.
run_phase() {
  local name=$1; shift
  # Heap fixed and touched up front, so resident memory shows native growth.
  # C1 only: C2's compiler memory, kept by the allocator after each
  # compilation, moves resident memory by tens of MiB either way.
  run_jvm "soak-$name" "$work/$name.log" \
    -Xms256m -Xmx256m -XX:+AlwaysPreTouch -XX:+UseSerialGC -XX:TieredStopAtLevel=1 \
    -Djava.library.path="$libdir" -Djava.io.tmpdir="$work" \
    -Dsoak.maxRssGrowthKiB="$max_rss_kib" -Dsoak.maxFdGrowth="$max_fds" \
    -cp "$classes" ka.tovik.selvo.jvarnel.soak.Soak "$@"
  judge_jvm "^soak $name: .* in .* s" 2>&1 || failed=1
}

echo "== mock driver: $calls calls from $threads threads"
run_phase mock mock "$mock" "$calls" "$threads"

echo "== SoftHSM: $signatures signatures"
use_token_store "$work"
pin=1234
softhsm2-util --init-token --free --label varnel-soak --pin "$pin" --so-pin 5678 >"$work/setup.log" 2>&1 \
  || { cat "$work/setup.log" >&2; die "softhsm2-util --init-token failed"; }
pkcs11-tool --module "$softhsm64" --token-label varnel-soak --login --pin "$pin" \
  --keypairgen --key-type rsa:2048 --label soak >>"$work/setup.log" 2>&1 \
  || { cat "$work/setup.log" >&2; die "pkcs11-tool --keypairgen failed"; }
run_phase softhsm softhsm "$softhsm64" "$pin" soak "$signatures"

if [ "$failed" -eq 0 ]; then
  echo "soak: passed"
else
  echo "soak: FAILED"
  exit 1
fi
