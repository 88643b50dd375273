#!/usr/bin/env bash
# Checks a built deliverable: its exported symbols are exactly the native
# methods listed in src/native-methods.txt, the entry-point table and the
# Base64 codec; it needs no library but the C library (and libpthread where
# that is separate; on ARM also the dynamic loader, which holds the stack
# protector's canary there); it is of the right ELF class and machine and
# answers to its soname; it carries its exploit mitigations.
# Usage: tests/check-exports.sh linux-x86_64|linux-x86|linux-aarch64|linux-armhf [LIBRARY]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/version.sh"
source "$root/tests/checks.sh"
source "$root/tools/arch.sh"
arch=$1
lib=${2:-$root/dist/$arch/$varnel_library}
# What differs by architecture: ELF class and machine, what else the library
# may need, and the disassembler (the host's reads x86 only).
objdump=objdump
loader=""
case $arch in
  linux-x86_64) class=ELF64 machine="Advanced Micro Devices X86-64" ;;
  linux-x86) class=ELF32 machine="Intel 80386" ;;
  linux-aarch64) class=ELF64 machine=AArch64 ;;
  linux-armhf) class=ELF32 machine=ARM ;;
  *) echo "unknown architecture $arch" >&2; exit 2 ;;
esac
if [ "$arch" = linux-aarch64 ] || [ "$arch" = linux-armhf ]; then
  arm_arch "$arch"
  loader=$arm_loader
  objdump=$arm_toolchain/usr/bin/$arm_triple-objdump
fi

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
  needed=$(readelf -d "$lib" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -Ev '^lib(c|pthread)\.so\.[0-9]+$' |
    grep -vxF "${loader:-libc.so.6}")
  [ -z "$needed" ] || { echo "unexpected NEEDED: $needed"; return 1; }
}
right_class() {
  readelf -h "$lib" | grep -q "Class: *$class$" && readelf -h "$lib" | grep -q "Machine: *$machine$"
}
soname_and_link() {
  readelf -d "$lib" | grep -qF "Library soname: [$varnel_library]" &&
    [ "$(readlink "$(dirname "$lib")/libVarnel.so")" = "$varnel_library" ]
}

# Mitigations, read back from the binary.
program_headers=$(readelf -lW "$lib")
dynamic=$(readelf -dW "$lib")
undefined=$(nm -D --undefined-only "$lib" | awk '{ print $NF }' | sed 's/@.*//')
code=$("$objdump" -d --no-show-raw-insn "$lib")
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
  case $arch in
    linux-x86_64 | linux-x86) grep -Eq 'or[lq]? +\$0x0,\(%[er]sp\)' <<<"$code" ;;
    # sp moves a page, then that page is written
    linux-aarch64) grep -A1 -E 'sub\s+sp, sp, #0x1, lsl #12$' <<<"$code" | grep -Eq 'str\s+xzr, \[sp' ;;
    # each page below sp is written before sp moves there
    linux-armhf) grep -A1 -E 'sub\.w\s+ip, ip, #4096' <<<"$code" | grep -Eq 'str(\.w)?\s+r0, \[ip\]' ;;
  esac
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
# -mbranch-protection=standard: each exported function starts at a branch
# target (bti c, or paciasp, which is one), and return addresses are signed
# and checked. (As on x86, Debian's start files carry no GNU property note,
# so the library gets none; the instructions are checked.)
branch_protection() {
  local unmarked
  unmarked=$(awk '
    /^[0-9a-f]+ <Java_ka_tovik_selvo_jvarnel_JVarnel_[A-Za-z]+>:$/ { name = $2; getline; if ($2 != "paciasp" && $2 " " $3 != "bti c") print name }
  ' <<<"$code")
  [ -z "$unmarked" ] || { echo "not a branch target:" $unmarked; return 1; }
  grep -q '<Java_ka_tovik_selvo_jvarnel_JVarnel_GetVersion>:' <<<"$code" || { echo "no native method found"; return 1; }
  grep -Eq '\spaciasp$' <<<"$code" && grep -Eq '\sautiasp$' <<<"$code" || { echo "no signed return addresses"; return 1; }
}

check "$arch exports exactly the public symbols" exports_match
check "$arch needs only the C library" needs_only_libc
check "$arch ELF class and machine" right_class
check "$arch soname and libVarnel.so link" soname_and_link
check "$arch full RELRO (GNU_RELRO, BIND_NOW)" full_relro
check "$arch non-executable stack (GNU_STACK RW)" stack_not_executable
check "$arch stack protector (__stack_chk_fail)" stack_protector
check "$arch _FORTIFY_SOURCE (__*_chk calls)" fortified
check "$arch stack clash protection (page probes)" stack_clash_probes
case $arch in
  linux-aarch64) check "$arch branch protection (BTI targets, PAC return addresses)" branch_protection ;;
  linux-armhf) ;; # ARMv7 has no branch protection
  *)
    if grep -q '^VARNEL_HAVE_CF_PROTECTION:INTERNAL=1$' "$root/build/$arch/CMakeCache.txt" 2>/dev/null; then
      check "$arch -fcf-protection (end-branch markers)" branch_targets_marked
    else
      echo "SKIP $arch -fcf-protection: build/$arch found no compiler support for it"
    fi
    ;;
esac
summary "exports $arch"
