# Sourced by the check scripts. `check NAME COMMAND...` runs COMMAND and prints
# PASS NAME or FAIL NAME; `summary LABEL` prints "LABEL: N passed, N failed"
# and succeeds only when nothing failed.
passed=0
failed=0
check() {
  local name=$1
  shift
  if "$@"; then passed=$((passed + 1)); echo "PASS $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}
summary() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
