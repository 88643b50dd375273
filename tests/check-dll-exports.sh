#!/usr/bin/env bash
# Checks a Windows deliverable: it exports exactly the native methods listed
# in src/native-methods.txt, under the names a JVM of its width looks up
# (_Name@N on x86, the plain name on x64) and under no other name; it
# imports only Windows' own DLLs, and from them only functions that Windows 7
# exports (the list below); it is a DLL of its width (PE32 for x86,
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
# Every function the DLLs may import, as DLL!name: each exported by Windows 7's
# KERNEL32.dll and msvcrt.dll. KERNEL32: Microsoft's reference page of each
# gives Windows XP or 2000 as the minimum client (GetCurrentThreadStackLimits,
# Windows 8, is the kind of import this keeps out). msvcrt: the C runtime of
# Windows XP on, as MinGW-w64's import library for msvcrt.dll lists it.
windows7_functions="
KERNEL32.dll!DeleteCriticalSection KERNEL32.dll!EnterCriticalSection KERNEL32.dll!FreeLibrary
KERNEL32.dll!GetFileAttributesA KERNEL32.dll!GetLastError KERNEL32.dll!GetModuleHandleA
KERNEL32.dll!GetProcAddress KERNEL32.dll!InitializeCriticalSection KERNEL32.dll!LeaveCriticalSection
KERNEL32.dll!LoadLibraryA KERNEL32.dll!Sleep KERNEL32.dll!TlsGetValue KERNEL32.dll!VirtualProtect
KERNEL32.dll!VirtualQuery
msvcrt.dll!__iob_func msvcrt.dll!_amsg_exit msvcrt.dll!_initterm msvcrt.dll!_iob msvcrt.dll!_lock
msvcrt.dll!_unlock msvcrt.dll!abort msvcrt.dll!calloc msvcrt.dll!free msvcrt.dll!fwrite msvcrt.dll!malloc
msvcrt.dll!memcpy msvcrt.dll!memmove msvcrt.dll!memset msvcrt.dll!realloc msvcrt.dll!strcmp
msvcrt.dll!strlen msvcrt.dll!strncmp msvcrt.dll!vfprintf
"
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
# DLL!name of every imported function: "\tvma  hint  name" lines under "DLL Name: X".
imported_functions=$(awk '/^[[:space:]]*DLL Name: / { dll = $3; next }
  dll != "" && /^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+[^[:space:]]+$/ { print dll "!" $3 }
  /^$/ { if (seen) dll = ""; seen = dll != "" }' <<<"$headers" | sort -u)
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
imports_only_windows7_functions() {
  [ -n "$imported_functions" ] || { echo "no imported functions read"; return 1; }
  local function beyond=""
  for function in $imported_functions; do
    grep -qxF "$function" <<<"$(tr ' ' '\n' <<<"$windows7_functions")" || beyond+=" $function"
  done
  [ -z "$beyond" ] || { echo "imports beyond Windows 7's exports:$beyond"; return 1; }
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
check "$arch imports only functions Windows 7 exports" imports_only_windows7_functions
check "$arch is a $format DLL" is_dll_of_its_width
check "$arch export directory names Varnel.dll" named_varnel_dll
check "$arch sets $mitigations" asks_for_aslr_and_dep
echo "exports $arch: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
