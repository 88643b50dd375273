# The version and the names made from it. The version is written once, in
# VERSION at the top of the tree (major.minor.patch.tweak); CMake reads the same
# file. Sourced by the scripts; run as `tools/version.sh NAME` it prints one
# value (for the Makefile).
#   varnel_version   M.m.p.t, as VERSION has it
#   varnel_release   M.m.p, as in the release archive varnel-M.m.p.tar.gz
#   varnel_text      VM_m_p, what GetVersion answers
#   varnel_library   libVarnel.so.VM_m_p_t, the Linux library's file and soname
varnel_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
read -r varnel_version <"$varnel_root/VERSION"
IFS=. read -r varnel_major varnel_minor varnel_patch varnel_tweak <<<"$varnel_version"
varnel_release=$varnel_major.$varnel_minor.$varnel_patch
varnel_text=V${varnel_major}_${varnel_minor}_${varnel_patch}
varnel_library=libVarnel.so.${varnel_text}_$varnel_tweak
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case ${1:-} in
    version | release | text | library) varnel_value=varnel_$1 && echo "${!varnel_value}" ;;
    *) echo "usage: tools/version.sh version|release|text|library" >&2; exit 2 ;;
  esac
fi
