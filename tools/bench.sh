#!/usr/bin/env bash
# make bench: the performance benchmark of the Linux libraries in dist/.
#
# For each architecture of BENCH_ARCHES (default "linux-x86_64 linux-x86"):
#   1. the unit suite's Floor test: the floor (bench/native/floor.cpp) makes
#      the library's JNI calls, method by method;
#   2. FrameBench: every method against the null driver beside its floor, and
#      beside the same library built without mitigations (build/ARCH-plain);
#   3. RealBench: RSA-2048 on a fresh SoftHSM2 token through Varnel, through
#      bench/native/direct.c and through SunPKCS11; on linux-x86_64 also through
#      the JDK's PKCS#11 wrapper class and a JNA binding, there and on the null
#      driver.
# Then bench/results/bench.md (the tables) and ARCH-*.tsv (every figure) are
# written and the tables printed.
#
# The real-work JVM, and the direct C program it starts, run pinned to one CPU
# (BENCH_CPU, default the last): whatever else runs on the machine takes its
# share from every way alike. The frame benchmark compares within one thread.
#
# Expects `make build-ARCH unit-ARCH plain-ARCH` done (make bench does it).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cd "$root"
source tools/harness.sh
started=$SECONDS

out=$root/build/bench
results=$root/bench/results
read -r -a arches <<<"${BENCH_ARCHES:-linux-x86_64 linux-x86}"
cpu=${BENCH_CPU:-$(($(nproc) - 1))}
pin=1234
key_label=bench-rsa

die() {
  echo "bench: $*" >&2
  exit 1
}

tools/bootstrap.sh bench
[[ " ${arches[*]} " == *" linux-x86 "* ]] && tools/bootstrap.sh e2e

# The library, the floor and the drivers are measured from copies: a rebuild
# while the benchmark runs rewrites the files in place under a running JVM.
for arch in "${arches[@]}"; do
  [ -f "dist/$arch/$varnel_library" ] || die "dist/$arch/$varnel_library missing: run make first"
  cmake --build "build/$arch" --target bench_programs -j "$(nproc)" >/dev/null || die "the bench programs of $arch do not build"
  dir=$out/$arch
  rm -rf "$dir"
  mkdir -p "$dir/lib" "$dir/plain"
  cp "dist/$arch/$varnel_library" "$dir/lib/"
  ln -s "$varnel_library" "$dir/lib/libVarnel.so"
  cp "build/$arch-plain/$varnel_library" "$dir/plain/" || die "build/$arch-plain missing: run make plain-$arch"
  cp build/$arch/bench/{libvarnelfloor.so,libvarnelnull.so,direct} "$dir/"
done
# The peers reach the JDK's internal wrapper class, which --release refuses.
jna_jar=/usr/share/java/jna.jar
mapfile -t sources < <(find java bench/java -name '*.java' | sort)
rm -rf "$out/classes"
"$jdk64/bin/javac" -Xlint:all -Werror -encoding UTF-8 --add-modules jdk.crypto.cryptoki --add-exports jdk.crypto.cryptoki/sun.security.pkcs11.wrapper=ALL-UNNAMED \
  -cp "$jna_jar" -d "$out/classes" "${sources[@]}" || die "javac failed"

token_dirs=()
cleanup() { for d in "${token_dirs[@]}"; do rm -rf "$d"; done; }
trap cleanup EXIT

for arch in "${arches[@]}"; do
  dir=$out/$arch
  echo "== $arch" >&2
  # A JVM of either width that runs natively gets the full run; the i386 JVM
  # under qemu runs interpreted, far slower, with fewer trials: only ratios
  # of one run mean anything there.
  frame_args=(--trials 101 --batch-ms 1 --warmup-ms 100)
  real_args=(--trials 41 --trial-ms 40)
  how=native
  case "$arch" in
    linux-x86_64)
      use_jvm linux-x86_64
      module=$softhsm64
      unit=(build/linux-x86_64/tests/varnel_unit_tests)
      run=()
      runner=""
      real_args+=(--peers "$dir/libvarnelnull.so")
      ;;
    linux-x86)
      fetch_softhsm_i386 || die "could not fetch libsofthsm2:i386"
      shadow=$(scratch_dir varnel-bench-jdk32)
      token_dirs+=("$shadow")
      use_jvm linux-x86 "$shadow" || die "no 32-bit JVM"
      module=$softhsm32
      unit=(run_i386 build/linux-x86/tests/varnel_unit_tests)
      run=(run_i386)
      runner=${VARNEL_I386_RUNNER:-}
      if [ "$jvm_emulated" = 1 ]; then
        how="under $VARNEL_I386_RUNNER, interpreted"
        frame_args=(--trials 31 --batch-ms 2 --warmup-ms 50)
        real_args=(--trials 11 --trial-ms 400)
      fi
      ;;
  esac
  java+=(-Xms512m -Xmx512m -XX:+UseSerialGC -XX:+AlwaysPreTouch -Djava.library.path="$dir/lib"
    --add-modules jdk.crypto.cryptoki --add-exports jdk.crypto.cryptoki/sun.security.pkcs11.wrapper=ALL-UNNAMED
    -cp "$out/classes:$jna_jar")

  "${unit[@]}" --gtest_filter='Floor.*' >"$dir/floor.log" 2>&1 || { cat "$dir/floor.log" >&2; die "the floor does not make the library's JNI calls ($arch)"; }
  "${java[@]}" ka.tovik.selvo.jvarnel.bench.FrameBench --null "$dir/libvarnelnull.so" --floor "$dir/libvarnelfloor.so" \
    --plain "$dir/plain/$varnel_library" --out "$dir" "${frame_args[@]}"

  # A fresh token: an RSA-2048 key pair and its certificate made through
  # SunPKCS11's keystore (which needs the certificate to hand out the key),
  # the key then labelled.
  shm=$(scratch_dir varnel-bench)
  token_dirs+=("$shm")
  use_token_store "$shm"
  slot=$(softhsm2-util --init-token --free --label varnel-bench --pin "$pin" --so-pin 5678 |
    sed -n 's/.*reassigned to slot \([0-9]*\).*/\1/p')
  [ -n "$slot" ] || die "softhsm2-util did not give a slot"
  printf 'name = VarnelBench\nlibrary = %s\nslot = %s\n' "$softhsm64" "$slot" >"$shm/keytool.cfg"
  printf 'name = VarnelBench\nlibrary = %s\nslot = %s\n' "$module" "$slot" >"$shm/p11.cfg"
  "$jdk64/bin/keytool" -genkeypair -keystore NONE -storetype PKCS11 -addprovider SunPKCS11 \
    -providerArg "$shm/keytool.cfg" -storepass "$pin" -alias "$key_label" -keyalg RSA -keysize 2048 \
    -dname CN=varnel-bench -validity 2 >"$shm/keytool.log" 2>&1 || { cat "$shm/keytool.log" >&2; die "keytool failed"; }
  "${run[@]}" "$dir/direct" label "$module" "$slot" "$pin" "$(printf '%s' "$key_label" | od -An -tx1 | tr -d ' \n')" \
    "$key_label" || die "could not label the key"
  taskset -c "$cpu" "${java[@]}" ka.tovik.selvo.jvarnel.bench.RealBench --module "$module" --slot "$slot" --pin "$pin" \
    --key-label "$key_label" --p11-config "$shm/p11.cfg" --direct "$dir/direct" --runner "$runner" \
    --tmp "$shm/run" --out "$dir" "${real_args[@]}"
  unset SOFTHSM2_CONF
  echo "$how" >"$dir/how.txt"
done

mkdir -p "$results"
rm -f "$results"/*
{
  echo "# make bench"
  echo
  echo "Measured on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)); $((SECONDS - started)) s."
  echo "Every ratio is the median of the per-trial ratios of two things timed side by side, with the smallest and largest in brackets."
  for arch in "${arches[@]}"; do
    echo
    echo "## $arch (the JVM ran $(cat "$out/$arch/how.txt"))"
    echo
    echo "Frame cost against the null driver: each method beside its floor, the same JNI calls and nothing else, and the hardened library beside the same sources built without mitigations (VARNEL_HARDEN=OFF)."
    echo
    cat "$out/$arch/frame.md"
    echo
    echo "Real work on SoftHSM2, RSA-2048 (PKCS#1 v1.5), and the peers: Varnel's time over the other way's, below 1 Varnel is faster; the real-work JVM and the direct C program pinned to CPU $cpu."
    echo
    cat "$out/$arch/real.md"
    cp "$out/$arch/frame.tsv" "$results/$arch-frame.tsv"
    cp "$out/$arch/real.tsv" "$results/$arch-real.tsv"
  done
} >"$results/bench.md"
cat "$results/bench.md"
echo "bench: results in bench/results, $((SECONDS - started)) s" >&2
