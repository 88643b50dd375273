#!/usr/bin/env bash
# Checks a built deliverable: its exported symbols are exactly the native
# methods listed in tests/native-methods.txt, the entry-point table and the
# Base64 codec; it needs no library but the C library (and libpthread where
# that is separate); it is of the right ELF class and answers to its soname.
# Usage: tests/check-exports.sh linux-x86_64|linux-x86
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=$1
lib="$root/dist/$arch/libVarnel.so.V1_3_0_0"
passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "PASS $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}

expected=$(
  {
    grep -v '^#' "$root/tests/native-methods.txt" | awk 'NF { print "Java_ka_tovik_selvo_jvarnel_JVarnel_" $1 }'
    sed -n 's/^ *X(\([A-Za-z]*\), [0-9]*).*/CP_\1/p' "$root/src/entry_points.h"
    printf '%s\n' base64Encode base64Decode bLookup bRevLookup CR LF
  } | sort)
actual=$(nm -D --defined-only "$lib" | awk '{ print $3 }' | sort)

exports_match() {
  diff <(echo "$expected") <(echo "$actual") && return 0
  return 1
}
needs_only_libc() {
  local needed
  needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -Ev '^lib(c|pthread)\.so\.[0-9]+$')
  [ -z "$needed" ] || { echo "unexpected NEEDED: $needed"; return 1; }
}
right_class() {
  local want=ELF64
  [ "$arch" = linux-x86 ] && want=ELF32
  readelf -h "$lib" | grep -q "Class: *$want"
}
soname_and_link() {
  readelf -d "$lib" | grep -q 'Library soname: \[libVarnel.so.V1_3_0_0\]' &&
    [ "$(readlink "$root/dist/$arch/libVarnel.so")" = libVarnel.so.V1_3_0_0 ]
}

check "$arch exports exactly the public symbols" exports_match
check "$arch needs only the C library" needs_only_libc
check "$arch ELF class" right_class
check "$arch soname and libVarnel.so link" soname_and_link
echo "exports $arch: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
