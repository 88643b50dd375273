# Where this machine keeps the JDKs and p11-kit's Cryptoki header: the one
# place that names them. The scripts source it; CMake runs it as
# `tools/paths.sh NAME`, which prints one value.
#   jdk64           the amd64 JDK: javac, the 64-bit JVM, jni.h
#   jdk32           the i386 JDK: the 32-bit JVM
#   p11kit_include  the folder holding p11-kit/pkcs11.h
#   bootstrap_left_out  the packages tools/bootstrap.sh could not install
#                   while the archive was out of step, one a line
jdk64=/usr/lib/jvm/java-17-openjdk-amd64
jdk32=/usr/lib/jvm/java-17-openjdk-i386
p11kit_include=/usr/include/p11-kit-1
bootstrap_left_out=/tmp/varnel-bootstrap-left-out
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  case ${1:-} in
    jdk64 | jdk32 | p11kit_include | bootstrap_left_out) echo "${!1}" ;;
    *) echo "usage: tools/paths.sh jdk64|jdk32|p11kit_include|bootstrap_left_out" >&2; exit 2 ;;
  esac
fi
