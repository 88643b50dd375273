#!/usr/bin/env bash
# make bench-hardening: what the exploit mitigations cost. For each Linux
# library, the hardened one of dist/ and the one built without mitigations
# (build/<arch>-plain, VARNEL_HARDEN=OFF) run side by side in one JVM against
# the null driver, with a copy of the plain one as a control (HardeningBench,
# which takes this script's arguments: --trials N, --batch-ms X, --goal R);
# prints, per method, the median ratio hardened / plain of the trials with
# its range, and control / plain, and writes build/bench-hardening/<arch>.tsv.
# Fails when a median hardened / plain is over 1.03.
#
# The 32-bit library runs in the i386 JVM where the kernel runs 32-bit
# programs; elsewhere it is SKIPPED (the emulated JVM's timings mean nothing
# at this resolution).
# Expects `make all plain-linux-x86_64 plain-linux-x86` done (make does it).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cd "$root"
source tools/harness.sh
source tools/version.sh
source tools/paths.sh
out=$root/build/bench-hardening
unset MOCK_ECHO

rm -rf "$out"
mkdir -p "$out/classes"
mapfile -t sources < <(find java bench/java -name '*.java' | sort)
"$jdk64/bin/javac" --release 17 -Xlint:all -Werror -encoding UTF-8 -d "$out/classes" "${sources[@]}"

status=0
for arch in linux-x86_64 linux-x86; do
  case "$arch" in
    linux-x86_64) java=$jdk64/bin/java ;;
    linux-x86) java=$jdk32/bin/java ;;
  esac
  if ! "$java" -version >/dev/null 2>&1; then
    echo "SKIPPED $arch: $java does not run natively on this kernel"
    continue
  fi
  # Copies: a rebuild while the JVM runs would rewrite the files under it.
  dir=$out/$arch
  mkdir -p "$dir/hardened" "$dir/plain" "$dir/control"
  cp "dist/$arch/$varnel_library" "$dir/hardened/"
  cp "build/$arch-plain/$varnel_library" "$dir/plain/"
  cp "build/$arch-plain/$varnel_library" "$dir/control/"
  cmake --build "build/$arch" --target varnelnull >/dev/null
  cp "build/$arch/bench/libvarnelnull.so" "$dir/"
  echo "== $arch: hardened / plain, median [smallest-largest] of the trials"
  "$java" -Xms512m -Xmx512m -XX:+UseSerialGC -XX:+AlwaysPreTouch -cp "$out/classes" \
    ka.tovik.selvo.jvarnel.bench.HardeningBench --hardened "$dir/hardened/$varnel_library" \
    --plain "$dir/plain/$varnel_library" --control "$dir/control/$varnel_library" --null "$dir/libvarnelnull.so" --classes "$out/classes" \
    --out "$out/$arch.tsv" "$@" || status=1
done
exit $status
