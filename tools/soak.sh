#!/usr/bin/env bash
# Soak run of dist/linux-x86_64/libVarnel.so in a real 64-bit JVM with
# -Xcheck:jni (tests/soak): first millions of mixed calls from several threads
# against the mock driver in echo mode, then RSA-2048 signatures on a fresh
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
# Fails on a wrong answer, resident memory or descriptors growing past the
# limits between warm-up and the end, any WARNING line from the JVM, or a JVM
# that crashes or does not finish. The last line reads "soak: passed" or
# "soak: FAILED".
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
build="$root/build"
jdk=/usr/lib/jvm/java-17-openjdk-amd64
softhsm=/usr/lib/softhsm/libsofthsm2.so
mock="$build/linux-x86_64/tests/libmock_pkcs11.so"
libdir=${VARNEL_SOAK_LIBDIR:-$root/dist/linux-x86_64}

calls=${VARNEL_SOAK_CALLS:-5000000}
threads=${VARNEL_SOAK_THREADS:-4}
signatures=${VARNEL_SOAK_SIGNATURES:-10000}
max_rss_kib=$(( ${VARNEL_SOAK_MAX_RSS_GROWTH_MIB:-20} * 1024 ))
max_fds=${VARNEL_SOAK_MAX_FD_GROWTH:-0}
timeout_s=${VARNEL_SOAK_TIMEOUT:-600}

die() {
  echo "soak: $*" >&2
  echo "soak: FAILED"
  exit 1
}

[ -x "$jdk/bin/java" ] || die "64-bit JDK missing: $jdk (run tools/bootstrap.sh e2e)"
[ -e "$libdir/libVarnel.so" ] || die "$libdir/libVarnel.so missing: run make first"
[ -f "$mock" ] || die "mock driver missing: $mock (make unit-linux-x86_64 builds it)"
[ -f "$softhsm" ] || die "SoftHSM module missing: $softhsm"
command -v softhsm2-util >/dev/null || die "softhsm2-util missing (package softhsm2)"
command -v pkcs11-tool >/dev/null || die "pkcs11-tool missing (package opensc)"

work_base=$build
[ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ] && work_base=/dev/shm
work=$(mktemp -d "$work_base/varnel-soak.XXXXXX")
trap 'rm -rf "$work"' EXIT

# Private copies: a rebuild copying over dist/ while the JVM has the library
# mapped would crash it with SIGBUS.
mkdir "$work/lib"
cp "$libdir/libVarnel.so" "$work/lib/libVarnel.so"
cp "$mock" "$work/lib/libmock_pkcs11.so"
libdir="$work/lib"
mock="$work/lib/libmock_pkcs11.so"

classes="$build/soak-classes"
rm -rf "$classes"
mkdir -p "$classes"
mapfile -t sources < <(find "$root/java" "$root/tests/soak/java" -name '*.java' | sort)
"$jdk/bin/javac" --release 17 -Xlint:all -Werror -encoding UTF-8 -d "$classes" "${sources[@]}" || die "javac failed"

failed=0

# run_phase NAME ARGS...: one JVM; its output goes to the terminal and to
# $work/NAME.log, then the log is judged.
run_phase() {
  local name=$1; shift
  local log="$work/$name.log"
  local rc=0
  touch "$log.start"
  ulimit -c 0
  # Heap fixed and touched up front, so resident memory shows native growth.
  # C1 only: C2's compiler memory, kept by the allocator after each
  # compilation, moves resident memory by tens of MiB either way.
  { timeout --kill-after=10 "$timeout_s" "$jdk/bin/java" -Xcheck:jni \
      -Xms256m -Xmx256m -XX:+AlwaysPreTouch -XX:+UseSerialGC -XX:TieredStopAtLevel=1 \
      -XX:ErrorFile="$build/soak-hs_err_pid%p.log" \
      -Djava.library.path="$libdir" -Djava.io.tmpdir="$work" \
      -Dsoak.maxRssGrowthKiB="$max_rss_kib" -Dsoak.maxFdGrowth="$max_fds" \
      -cp "$classes" ka.tovik.selvo.jvarnel.soak.Soak "$@" \
      </dev/null >"$log" 2>&1 || rc=$?; } 2>/dev/null
  cat "$log"
  local problems=()
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    problems+=("the JVM did not finish within ${timeout_s}s")
  elif [ "$rc" -gt 128 ]; then
    problems+=("the JVM was killed by signal $((rc - 128))")
  elif [ "$rc" -ne 0 ]; then
    problems+=("the JVM exited with status $rc")
  fi
  for crash in "$build"/soak-hs_err_pid*.log; do
    if [ -e "$crash" ] && [ "$crash" -nt "$log.start" ]; then
      problems+=("the JVM crashed, report: $crash")
    fi
  done
  if grep -q WARNING "$log"; then
    problems+=("-Xcheck:jni or the JVM printed WARNING lines")
  fi
  if ! grep -q "^soak $name: .* in .* s" "$log"; then
    problems+=("no summary line")
  fi
  for p in "${problems[@]}"; do
    echo "soak $name: FAILED: $p"
  done
  [ ${#problems[@]} -eq 0 ] || failed=1
}

echo "== mock driver in echo mode: $calls calls from $threads threads"
MOCK_ECHO=1 run_phase mock mock "$mock" "$calls" "$threads"

echo "== SoftHSM: $signatures signatures"
source "$root/tools/softhsm.sh"
use_token_store "$work"
pin=1234
softhsm2-util --init-token --free --label varnel-soak --pin "$pin" --so-pin 5678 >"$work/setup.log" 2>&1 \
  || { cat "$work/setup.log" >&2; die "softhsm2-util --init-token failed"; }
pkcs11-tool --module "$softhsm" --token-label varnel-soak --login --pin "$pin" \
  --keypairgen --key-type rsa:2048 --label soak >>"$work/setup.log" 2>&1 \
  || { cat "$work/setup.log" >&2; die "pkcs11-tool --keypairgen failed"; }
run_phase softhsm softhsm "$softhsm" "$pin" soak "$signatures"

if [ "$failed" -eq 0 ]; then
  echo "soak: passed"
else
  echo "soak: FAILED"
  exit 1
fi
