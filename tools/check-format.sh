#!/usr/bin/env bash
# Checks that every C and C++ file git tracks is formatted by the tree's
# .clang-format (clang-format 14, as Debian ships it): one check per file.
# Prints the first differences of a file that is not, then a last line
# "format: N passed, M failed". `tools/check-format.sh --fix` formats them.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --fix ]; then
  clang-format -i "${files[@]}"
  exit
fi
passed=0
failed=0
for f in "${files[@]}"; do
  if clang-format --dry-run -Werror "$f" >/dev/null 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL $f is not formatted (tools/check-format.sh --fix):"
    clang-format "$f" | diff -u "$f" - | sed -n '3,12p'
  fi
done
echo "format: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
