#!/usr/bin/env bash
# Runs each libFuzzer target built in build/fuzz for the given seconds, from
# its committed corpus (tests/fuzz/corpus/NAME, never written) plus a working
# corpus in build/fuzz-corpus/NAME. Prints each target's executions and
# findings; exits non-zero if any target found a crash.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-120}
status=0
for name in base64 methods; do
  work="$root/build/fuzz-corpus/$name"
  artifacts="$root/build/fuzz-artifacts/$name/"
  mkdir -p "$work" "$artifacts" "$root/tests/fuzz/corpus/$name"
  log="$root/build/fuzz-$name.log"
  "$root/build/fuzz/tests/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$artifacts" -rss_limit_mb=4096 "$work" "$root/tests/fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  findings=$(find "$artifacts" -type f | wc -l)
  echo "fuzz $name: ${execs:-?} executions in ${seconds}s, $findings findings (exit $rc, log $log)"
  [ "$rc" -eq 0 ] || status=1
done
exit $status
