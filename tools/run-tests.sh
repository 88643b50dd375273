#!/usr/bin/env bash
# Runs every suite that `make test` built and adds up the results. A suite
# that crashes or ends without its summary counts as one failure. The last
# line is the total: "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source tools/arch.sh

passed=0
failed=0
log_dir=build/test-logs
mkdir -p "$log_dir"

# add_counts NAME PASSED FAILED: with the seconds since the last suite, as
# they run one after another.
suite_start=$SECONDS
add_counts() {
  printf '%-60s %s passed, %s failed  %4d s\n' "$1" "$2" "$3" $((SECONDS - suite_start))
  suite_start=$SECONDS
  passed=$((passed + $2))
  failed=$((failed + $3))
}

# A GoogleTest program: counts from its own summary lines.
run_gtest() {
  local name=$1; shift
  "$@" >"$log_dir/$name.log" 2>&1
  count_gtest "$name" $?
}

# count_gtest NAME EXIT_STATUS: the counts of a GoogleTest run whose output
# is in NAME's log.
count_gtest() {
  local name=$1 rc=$2
  local log="$log_dir/$name.log"
  local ok bad
  ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$log" | tail -n 1)
  bad=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\?, listed below:.*/\1/p' "$log" | tail -n 1)
  if [ -z "$ok" ]; then
    echo "---- $name ended without a summary (exit $rc):"; tail -n 30 "$log"
    add_counts "$name" 0 1
    return
  fi
  if [ -n "$bad" ] || [ $rc -ne 0 ]; then
    grep -E '^\[  FAILED  \]|Failure|ERROR' "$log" | head -n 40
    [ -z "$bad" ] && bad=1
  fi
  add_counts "$name" "$ok" "${bad:-0}"
}

# Suites that cannot run on this machine: named, counted neither way.
skipped=()

# A Windows unit suite under wine, named after how it ran here (wine64,
# wine32, or wine32 in a VM); where it cannot run, a SKIPPED line saying why.
run_windows_unit() {
  local how
  how=$(tests/run-windows-unit.sh --where "$1")
  case $how in
    SKIPPED:*)
      echo "unit $1  $how"
      skipped+=("unit $1")
      ;;
    *) run_gtest "unit $1 ($how)" tests/run-windows-unit.sh "$1" ;;
  esac
}

# In a VM the x86 Windows suite takes a minute or more (many on a first run,
# which makes the VM's disk), mostly in one emulated CPU: it starts before
# the other suites, beside them, and is counted after them. Stopped by its
# PID if this script is.
vm_suite="unit windows-x86 (wine32 in VM)"
vm_pid=""
stop_vm_suite() { [ -n "$vm_pid" ] && kill "$vm_pid" 2>/dev/null; }
trap stop_vm_suite EXIT
trap 'exit 130' INT TERM
if [ "$(tests/run-windows-unit.sh --where windows-x86)" = "wine32 in VM" ]; then
  tests/run-windows-unit.sh windows-x86 >"$log_dir/$vm_suite.log" 2>&1 &
  vm_pid=$!
fi
finish_vm_suite() {
  wait "$vm_pid"
  local rc=$?
  vm_pid=""
  count_gtest "$vm_suite" "$rc"
}

# A suite whose last line reads "... N passed, M failed", or "...: SKIPPED: why"
# when it cannot run on this machine.
run_counted() {
  local name=$1; shift
  local log="$log_dir/$name.log"
  "$@" >"$log" 2>&1
  local rc=$?
  local line
  line=$(tail -n 1 "$log")
  if [ $rc -eq 0 ] && [[ "$line" == *": SKIPPED: "* ]]; then
    printf '%-60s SKIPPED: %s\n' "$name" "${line#*: SKIPPED: }"
    suite_start=$SECONDS
    skipped+=("$name")
    return
  fi
  line=$(grep -E '[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    echo "---- $name ended without a summary (exit $rc):"; tail -n 30 "$log"
    add_counts "$name" 0 1
    return
  fi
  local ok bad
  local counts
  counts=$(grep -oE '[0-9]+ passed, [0-9]+ failed' <<<"$line" | tail -n 1)
  ok=${counts%% passed*}
  bad=${counts##*passed, }
  bad=${bad%% failed*}
  if [ "$bad" -ne 0 ] || [ $rc -ne 0 ]; then
    grep -E 'FAIL|WARNING' "$log" | head -n 40
    [ "$bad" -eq 0 ] && bad=1
  fi
  add_counts "$name" "$ok" "$bad"
}

# The 10,000 unload cycles count pthread keys, which the plain builds show as
# well; under the sanitizers and valgrind they would take minutes.
slow_cycles=--gtest_filter=-*UnloadingTheLibraryGivesItsKeyBack
run_gtest "unit linux-x86_64 asan+ubsan" build/sanitize/tests/varnel_unit_tests $slow_cycles
run_gtest "unit linux-x86_64" build/linux-x86_64/tests/varnel_unit_tests
run_gtest "unit linux-x86_64 valgrind" valgrind -q --error-exitcode=1 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible build/linux-x86_64/tests/varnel_unit_tests $slow_cycles
# halt_on_error: the first race report fails the run, whatever the tests said.
TSAN_OPTIONS="${TSAN_OPTIONS:-} halt_on_error=1 exitcode=66" \
  run_gtest "unit threads tsan" build/tsan/tests/varnel_unit_tests --gtest_filter='Threads*'
run_gtest "unit linux-x86" run_i386 build/linux-x86/tests/varnel_unit_tests
# The ARM builds run under qemu's user-mode emulator in their Debian roots
# (tools/arm.sh); their suites say so in their names.
for arch in $arm_arches; do
  arm_arch "$arch"
  # Left out under qemu-user, which answers for the guest itself: the stack
  # lookups see qemu's own stack and mappings, the loader's search folders are
  # the guest's while files are looked up through the root, and 10,000 loads
  # take minutes emulated. They run on every x86 build.
  run_gtest "unit $arch (emulated, $arm_qemu)" "${arm_run[@]}" build/$arch/tests/varnel_unit_tests \
    --gtest_filter=-BridgeTest.StackLookupThatFailedIsTriedAgainOnTheNextCall:BridgeTest.StackWithoutRoomForTheBuffersAnswersHostMemory:BridgeTest.UnloadingTheLibraryGivesItsKeyBack:LoadDriverTest.BareNameFoundAsAFifoOnTheSearchPathIsRefused
done
# The corpus files are named one by one: an emulated 32-bit readdir() fails
# on some file systems.
for target in base64 methods; do
  corpus=(tests/fuzz/corpus/$target/*)
  run_counted "fuzz corpus $target asan+ubsan" build/sanitize/tests/fuzz_${target}_replay "${corpus[@]}"
  run_counted "fuzz corpus $target linux-x86" run_i386 build/linux-x86/tests/fuzz_${target}_replay "${corpus[@]}"
  for arch in $arm_arches; do
    arm_arch "$arch"
    run_counted "fuzz corpus $target $arch (emulated, $arm_qemu)" "${arm_run[@]}" build/$arch/tests/fuzz_${target}_replay "${corpus[@]}"
  done
done
run_counted "format" tools/check-format.sh
for arch in linux-x86_64 linux-x86 $arm_arches; do
  run_counted "exports $arch" tests/check-exports.sh "$arch"
done
for arch in windows-x86 windows-x86_64; do
  run_counted "exports $arch" tests/check-dll-exports.sh "$arch"
done
run_windows_unit windows-x86_64
[ -z "$vm_pid" ] && run_windows_unit windows-x86
run_counted "release archive and install" tests/check-release.sh
run_counted "api docs" tests/check-api-docs.sh
# The jar and its example on both widths, and on the newest JDK on the machine when it is newer
# than the 17 of every other suite.
run_counted "jar linux-x86_64" tests/jar/run.sh linux-x86_64
run_counted "jar linux-x86" tests/jar/run.sh linux-x86
newest_jdk=$(for release in /usr/lib/jvm/*/release; do
  grep -Eq '^OS_ARCH="(x86_64|amd64)"' "$release" || continue
  echo "$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$release") ${release%/release}"
done | sort -n | tail -n 1)
if [ "${newest_jdk%% *}" -gt 17 ] 2>/dev/null; then
  run_counted "jar linux-x86_64 jdk ${newest_jdk%% *}" tests/jar/run.sh linux-x86_64 "${newest_jdk#* }"
fi
# The token matrix: each token on the builds its module comes in.
for suite in "linux-x86_64 softhsm" "linux-x86 softhsm" "linux-x86_64 opencryptoki" "linux-x86_64 tpm2" \
  "linux-x86_64 nss" "linux-x86 nss" "linux-x86_64 p11-kit-trust"; do
  run_counted "e2e $suite" tests/e2e/run.sh $suite
done
for arch in $arm_arches; do
  arm_arch "$arch"
  run_counted "e2e $arch softhsm (emulated, $arm_qemu)" tests/e2e/run.sh "$arch" softhsm
done

[ -n "$vm_pid" ] && finish_vm_suite

[ ${#skipped[@]} -eq 0 ] || echo "skipped, not counted: ${skipped[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
