#!/usr/bin/env bash
# Checks a Windows deliverable: it exports exactly the native methods listed
# in src/native-methods.txt, under the names a JVM of its width looks up
# (_Name@N on x86, the plain name on x64) and under no other name; it
# imports only Windows' own DLLs; it is a DLL of its width (PE32 for x86,
# PE32+ for x64) that calls itself Varnel.dll; it asks for ASLR and DEP
# (DYNAMIC_BASE and NX_COMPAT, and HIGH_ENTROPY_VA on x64).
# Usage: tests/check-dll-exports.sh windows-x86|windows-x86_64 [DLL]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
arch=${1:-windows-x86}
dll=${2:-$root/dist/$arch/Varnel.dll}
case $arch in
  windows-x86)
    objdump=i686-w64-mingw32-objdump
    export_name='"_Java_ka_tovik_selvo_jvarnel_JVarnel_" $1 "@" $2'
    magic='010b[[:space:]]*\(PE32\)'
    format=pei-i386
    mitigations="DYNAMIC_BASE NX_COMPAT"
    ;;
  windows-x86_64)
    objdump=x86_64-w64-mingw32-objdump
    export_name='"Java_ka_tovik_selvo_jvarnel_JVarnel_" $1'
    magic='020b[[:space:]]*\(PE32\+\)'
    format=pei-x86-64
    mitigations="DYNAMIC_BASE NX_COMPAT HIGH_ENTROPY_VA"
    ;;
  *)
    echo "usage: $0 windows-x86|windows-x86_64 [DLL]" >&2
    exit 2
    ;;
esac
passed=0
failed=0
check() {  # check NAME COMMAND...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "PASS $name"; else failed=$((failed + 1)); echo "FAIL $name"; fi
}

headers=$($objdump -p "$dll" 2>&1) || { echo "FAIL $arch: $objdump cannot read $dll"; echo "$headers"; headers=""; }

expected=$(grep -v '^[[:space:]]*#' "$root/src/native-methods.txt" | awk "NF { print $export_name }" | sort)
# The export name table: "\t[   3] name" lines after its heading.
actual=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/ s/^[[:space:]]*\[ *[0-9]*\] //p' <<<"$headers" | sort)
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
# The flag names objdump prints under DllCharacteristics, one a line.
characteristics=$(sed -n '/^DllCharacteristics/,/^[A-Z]/ s/^[[:space:]]\+\([A-Z_]\+\)$/\1/p' <<<"$headers")

exports_match() {
  [ -n "$expected" ] || { echo "no methods listed in src/native-methods.txt"; return 1; }
  diff <(echo "$expected") <(echo "$actual") && return 0
  return 1
}
imports_only_system_dlls() {
  [ -n "$imports" ] || { echo "no import table"; return 1; }
  local foreign
  foreign=$(grep -Eiv '^(kernel32|msvcrt|api-ms-win-[a-z0-9-]+)\.dll$' <<<"$imports")
  [ -z "$foreign" ] || { echo "imports beyond Windows' own DLLs: $foreign"; return 1; }
}
is_dll_of_its_width() {
  grep -Eq "^Magic[[:space:]]*$magic" <<<"$headers" &&
    $objdump -f "$dll" | grep -q "file format $format\$" &&
    grep -Eq '^Characteristics[[:space:]]+0x[0-9a-f]+' <<<"$headers" &&
    grep -A12 '^Characteristics' <<<"$headers" | grep -q '^[[:space:]]*DLL$'
}
named_varnel_dll() {
  grep -Eq '^Name[[:space:]]+[0-9a-f]+ Varnel\.dll$' <<<"$headers"
}
asks_for_aslr_and_dep() {
  local flag missing=""
  for flag in $mitigations; do
    grep -qx "$flag" <<<"$characteristics" || missing+=" $flag"
  done
  [ -z "$missing" ] || { echo "DllCharacteristics lacks$missing"; return 1; }
}

if [ "$arch" = windows-x86 ]; then
  check "$arch exports exactly the native methods, stdcall-decorated" exports_match
else
  check "$arch exports exactly the native methods, undecorated" exports_match
fi
check "$arch imports only Windows system DLLs" imports_only_system_dlls
check "$arch is a $format DLL" is_dll_of_its_width
check "$arch export directory names Varnel.dll" named_varnel_dll
check "$arch sets $mitigations" asks_for_aslr_and_dep
echo "exports $arch: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
