#!/usr/bin/env bash
# Checks a built deliverable: its exported symbols are exactly the native
# methods listed in src/native-methods.txt, the entry-point table and the
# Base64 codec; it needs no library but the C library (and libpthread where
# that is separate); it is of the right ELF class and answers to its soname;
# it carries its exploit mitigations.
# Usage: tests/check-exports.sh linux-x86_64|linux-x86 [LIBRARY]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/version.sh"
source "$root/tests/checks.sh"
arch=$1
lib=${2:-$root/dist/$arch/$varnel_library}

expected=$(
  {
    grep -v '^#' "$root/src/native-methods.txt" | awk 'NF { print "Java_ka_tovik_selvo_jvarnel_JVarnel_" $1 }'
    grep -v '^#' "$root/src/entry-points.txt" | awk 'NF { print "CP_" $1 }'
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
  readelf -d "$lib" | grep -qF "Library soname: [$varnel_library]" &&
    [ "$(readlink "$(dirname "$lib")/libVarnel.so")" = "$varnel_library" ]
}

# Mitigations, read back from the binary.
program_headers=$(readelf -lW "$lib")
dynamic=$(readelf -dW "$lib")
undefined=$(nm -D --undefined-only "$lib" | awk '{ print $NF }' | sed 's/@.*//')
code=$(objdump -d --no-show-raw-insn "$lib")
full_relro() {  # relocations made read-only after all of them are bound at load
  grep -q '^ *GNU_RELRO ' <<<"$program_headers" || { echo "no GNU_RELRO segment"; return 1; }
  grep -Eq '\(FLAGS\) +.*BIND_NOW|\(FLAGS_1\) +Flags:.* NOW' <<<"$dynamic" || { echo "no BIND_NOW"; return 1; }
}
stack_not_executable() {
  local flags
  flags=$(awk '$1 == "GNU_STACK" { print $7 }' <<<"$program_headers")
  [ "$flags" = RW ] || { echo "GNU_STACK flags: ${flags:-no GNU_STACK header}"; return 1; }
}
stack_protector() {
  grep -qx __stack_chk_fail <<<"$undefined"
}
fortified() {  # _FORTIFY_SOURCE turns copies into bounded buffers into __*_chk calls
  grep -Ev '^__stack_chk_fail$' <<<"$undefined" | grep -Eq '^__[a-z0-9_]+_chk$'
}
stack_clash_probes() {  # a frame larger than a page is touched page by page
  grep -Eq 'or[lq]? +\$0x0,\(%[er]sp\)' <<<"$code"
}
# -fcf-protection: each exported function starts with an end-branch marker.
# (Debian's crti.o and crtn.o lack the CET note, so the linker gives the
# library none; the markers are checked instead.)
branch_targets_marked() {
  local marker=endbr64 unmarked
  [ "$arch" = linux-x86 ] && marker=endbr32
  unmarked=$(awk -v marker="$marker" '
    /^[0-9a-f]+ <Java_ka_tovik_selvo_jvarnel_JVarnel_[A-Za-z]+>:$/ { name = $2; getline; if ($2 != marker) print name }
  ' <<<"$code")
  [ -z "$unmarked" ] || { echo "without $marker:" $unmarked; return 1; }
  grep -q '<Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion>:' <<<"$code" || { echo "no native method found"; return 1; }
}

check "$arch exports exactly the public symbols" exports_match
check "$arch needs only the C library" needs_only_libc
check "$arch ELF class" right_class
check "$arch soname and libVarnel.so link" soname_and_link
check "$arch full RELRO (GNU_RELRO, BIND_NOW)" full_relro
check "$arch non-executable stack (GNU_STACK RW)" stack_not_executable
check "$arch stack protector (__stack_chk_fail)" stack_protector
check "$arch _FORTIFY_SOURCE (__*_chk calls)" fortified
check "$arch stack clash protection (page probes)" stack_clash_probes
if grep -q '^VARNEL_HAVE_CF_PROTECTION:INTERNAL=1$' "$root/build/$arch/CMakeCache.txt" 2>/dev/null; then
  check "$arch -fcf-protection (end-branch markers)" branch_targets_marked
else
  echo "SKIP $arch -fcf-protection: build/$arch found no compiler support for it"
fi
summary "exports $arch"
