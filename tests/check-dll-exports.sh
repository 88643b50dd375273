#!/usr/bin/env bash
# Checks the Windows deliverable: it exports exactly the native methods listed
# in tests/native-methods.txt, each under its stdcall name _Name@N and under no
# other name; it imports only Windows' own DLLs; it is a 32-bit x86 DLL that
# calls itself Varnel.dll.
# Usage: tests/check-dll-exports.sh [windows-x86 [DLL]]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-windows-x86}
dll=${2:-$root/dist/$arch/Varnel.dll}
objdump=i686-w64-mingw32-objdump
passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "PASS $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}

headers=$($objdump -p "$dll" 2>&1) || { echo "FAIL $arch: $objdump cannot read $dll"; echo "$headers"; headers=""; }

expected=$(grep -v '^[[:space:]]*#' "$root/tests/native-methods.txt" |
  awk 'NF { print "_Java_ka_tovik_selvo_jvarnel_JVarnel_" $1 "@" $2 }' | sort)
# The export name table: "\t[   3] name" lines after its heading.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/ s/^[[:space:]]*\[ *[0-9]*\] //p' <<<"$headers" | sort)
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")

exports_match() {
  [ -n "$expected" ] || { echo "no methods listed in tests/native-methods.txt"; return 1; }
  diff <(echo "$expected") <(echo "$actual") && return 0
  return 1
}
imports_only_system_dlls() {
  [ -n "$imports" ] || { echo "no import table"; return 1; }
  local foreign
  foreign=$(grep -Eiv '^(kernel32|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$' <<<"$imports")
  [ -z "$foreign" ] || { echo "imports beyond Windows' own DLLs: $foreign"; return 1; }
}
is_32bit_x86_dll() {
  grep -q '^Magic[[:space:]]*010b[[:space:]]*(PE32)' <<<"$headers" &&
    $objdump -f "$dll" | grep -q 'file format pei-i386' &&
    grep -Eq '^Characteristics[[:space:]]+0x[0-9a-f]+' <<<"$headers" &&
    grep -A12 '^Characteristics' <<<"$headers" | grep -q '^[[:space:]]*DLL$'
}
named_varnel_dll() {
  grep -Eq '^Name[[:space:]]+[0-9a-f]+ Varnel\.dll$' <<<"$headers"
}

check "$arch exports exactly the native methods, stdcall-decorated" exports_match
check "$arch imports only Windows system DLLs" imports_only_system_dlls
check "$arch is a 32-bit x86 DLL" is_32bit_x86_dll
check "$arch export directory names Varnel.dll" named_varnel_dll
echo "exports $arch: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
