#!/usr/bin/env bash
# make bench: the performance benchmark of the Linux libraries in dist/.
#
# For each architecture (linux-x86_64, then linux-x86):
#   1. bench/native/floor_check: the floor (bench/native/floor.c) makes the very
#      JNI calls the library makes, method by method, on the unit suite's fake JVM,
#      and the null driver (bench/native/null_driver.c) answers as the mock does;
#   2. the heap counts of tests/unit/heap_test.cpp (the unit suite's HeapUse tests);
#   3. FrameBench: every method against the mock driver and the null driver beside
#      its floor, how cost grows with size and count, and LoadDriver beside
#      dlopen + 24 dlsym;
#   4. bench/native/hotspots: the pieces of the library's own work, timed alone;
#   5. RealBench: RSA-2048 on a fresh SoftHSM token through Varnel, through
#      bench/native/direct.c and through SunPKCS11;
#   6. (linux-x86_64) PeerBench: Varnel beside the JDK's PKCS#11 wrapper class
#      and a JNA binding, on the null driver and on the same token.
# Then bench/results/bench.md, bench.csv and growth.png are written and the
# table is printed.
#
# The real-work JVM, and the direct C program it starts, run pinned to one CPU
# (BENCH_CPU, default the last): whatever else runs on the machine then takes
# its share from every way of doing the work alike, in one process or the
# other. (The frame benchmark compares within one thread and is not pinned.)
#
# Expects `make all unit-linux-x86_64 unit-linux-x86` done (make bench does it).
# Environment: BENCH_ARCHES (default "linux-x86_64 linux-x86"), BENCH_CPU.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd -P)
cd "$root"
source tools/harness.sh
started=$SECONDS

out=$root/build/bench
results=$root/bench/results
read -r -a arches <<<"${BENCH_ARCHES:-linux-x86_64 linux-x86}"
cpu=${BENCH_CPU:-$(($(nproc) - 1))}
unset MOCK_ECHO  # the mock must answer from its scripts
pin=1234
key_label=bench-rsa
data_label=bench-data

die() {
  echo "bench: $*" >&2
  exit 1
}

tools/bootstrap.sh bench e2e

# ---- the benchmark's own programs, built by CMake (bench/CMakeLists.txt) ----
for arch in "${arches[@]}"; do
  [ -f "dist/$arch/$varnel_library" ] || die "dist/$arch/$varnel_library missing: run make first"
  [ -f "build/$arch/tests/libmock_pkcs11.so" ] || die "the mock module is missing: run make unit-$arch first"
  cmake --build "build/$arch" --target bench_programs -j "$(nproc)" >/dev/null || die "the bench programs of $arch do not build"
  # The library, the mock and the programs are measured from copies: a
  # rebuild while the benchmark runs rewrites the files in place under a
  # running process.
  dir=$out/$arch
  rm -rf "$dir"
  mkdir -p "$dir/lib"
  cp "dist/$arch/$varnel_library" "$dir/lib/"
  ln -s "$varnel_library" "$dir/lib/libVarnel.so"
  cp "build/$arch/tests/libmock_pkcs11.so" "$dir/lib/"
  cp build/$arch/bench/{libvarnelfloor.so,libvarnelnull.so,floor_check,direct,hotspots} "$dir/"
done
compile_java "$out/classes" bench/java || die "javac failed"
# The peers reach the JDK's internal wrapper class, which --release refuses.
jna_jar=/usr/share/java/jna.jar
peer_java=(--add-modules jdk.crypto.cryptoki --add-exports jdk.crypto.cryptoki/sun.security.pkcs11.wrapper=ALL-UNNAMED)
"$jdk64/bin/javac" -Xlint:all -Werror -encoding UTF-8 "${peer_java[@]}" -cp "$out/classes:$jna_jar" \
  -d "$out/classes" bench/peers/ka/tovik/selvo/jvarnel/bench/PeerBench.java

# ---- run ----
token_dirs=()
cleanup() { for d in "${token_dirs[@]}"; do rm -rf "$d"; done; }
trap cleanup EXIT

for arch in "${arches[@]}"; do
  dir=$out/$arch
  mock=$dir/lib/libmock_pkcs11.so
  echo "== $arch" >&2

  # JVM and settings. A JVM of either width that runs natively gets the full
  # run. A kernel without 32-bit support runs the i386 JVM under qemu,
  # interpreted (its JIT crashes there): far slower, so fewer trials; only
  # ratios measured in the same run mean anything. $how says which, in the
  # report.
  frame_args=(--trials 61 --batch-ms 0.5 --warmup-ms 50 --growth-trials 5 --growth-passes 4 --cold 20)
  real_args=(--trials 31 --trial-ms 40)
  case "$arch" in
    linux-x86_64)
      use_jvm linux-x86_64
      java+=(-Xms1g -Xmx1g -Xmn256m)
      module=$softhsm64
      runner=""
      unit=(build/linux-x86_64/tests/varnel_unit_tests)
      how="native"
      check=("$dir/floor_check")
      hot=("$dir/hotspots")
      ;;
    linux-x86)
      fetch_softhsm_i386 || die "could not fetch libsofthsm2:i386"
      shadow=$(scratch_dir varnel-bench-jdk32)
      token_dirs+=("$shadow")
      use_jvm linux-x86 "$shadow" || die "no 32-bit JVM"
      runner=$VARNEL_I386_RUNNER
      how="native"
      if [ "$jvm_emulated" = 1 ]; then
        # Far slower, so fewer trials; only ratios of one run mean anything.
        how="under $VARNEL_I386_RUNNER, interpreted"
        frame_args=(--trials 31 --batch-ms 2 --warmup-ms 50 --growth-trials 3 --growth-passes 5 --cold 6)
        real_args=(--trials 11 --trial-ms 400)
      fi
      java+=(-Xms256m -Xmx256m)
      module=$softhsm32
      unit=(run_i386 build/linux-x86/tests/varnel_unit_tests)
      check=(run_i386 "$dir/floor_check")
      hot=(run_i386 "$dir/hotspots")
      ;;
  esac
  java+=(-XX:+UseSerialGC -XX:+AlwaysPreTouch -Djava.library.path="$dir/lib"
    -Dvarnel.bench.floor="$dir/libvarnelfloor.so" -cp "$out/classes")
  echo "${java[*]}" | sed "s|/[^ ]*/varnel-bench-jdk32\.[^/]*/jdk-i386|$jdk32|" >"$dir/jvm.txt"
  echo "$how" >"$dir/how.txt"

  "${check[@]}" "$mock" "$dir/libvarnelnull.so" >"$dir/floor_check.log" 2>&1 || { cat "$dir/floor_check.log" >&2; die "floor check failed ($arch)"; }
  tail -n 1 "$dir/floor_check.log" >&2

  "${unit[@]}" --gtest_filter='HeapUse*' >"$dir/heap.log" 2>&1 || { cat "$dir/heap.log" >&2; die "heap test failed ($arch)"; }
  {
    printf 'arch\tmethod\tallocations\tfrees\tlibrary\n'
    sed -nE "s/^heap: (.*[^ ]) +allocations ([0-9]+) frees ([0-9]+) library ([0-9]+)$/$arch\t\1\t\2\t\3\t\4/p" "$dir/heap.log"
  } >"$dir/heap.tsv"
  [ "$(wc -l <"$dir/heap.tsv")" -gt 1 ] || { cat "$dir/heap.log" >&2; die "the heap test counted nothing ($arch)"; }

  "${hot[@]}" "$dir/hotspots.tsv" || die "hotspots failed ($arch)"

  shm=$(scratch_dir varnel-bench)
  token_dirs+=("$shm")
  "${java[@]}" ka.tovik.selvo.jvarnel.bench.FrameBench --arch "$arch" --mock "$mock" --null "$dir/libvarnelnull.so" --out "$dir" \
    --tmp "$shm" "${frame_args[@]}"

  # A fresh token: an RSA-2048 key pair and its certificate made through
  # SunPKCS11's keystore (which needs the certificate to hand out the key),
  # the key then labelled, and 100 data objects to search for.
  use_token_store "$shm"
  slot=$(softhsm2-util --init-token --free --label varnel-bench --pin "$pin" --so-pin 5678 |
    sed -n 's/.*reassigned to slot \([0-9]*\).*/\1/p')
  [ -n "$slot" ] || die "softhsm2-util did not give a slot"
  for bits in 64 32; do
    lib=$softhsm64
    [ $bits = 32 ] && lib=$module
    printf 'name = VarnelBench\nlibrary = %s\nslot = %s\n' "$lib" "$slot" >"$shm/p11-$bits.cfg"
  done
  "$jdk64/bin/keytool" -genkeypair -keystore NONE -storetype PKCS11 -addprovider SunPKCS11 \
    -providerArg "$shm/p11-64.cfg" -storepass "$pin" -alias "$key_label" -keyalg RSA -keysize 2048 \
    -dname CN=varnel-bench -validity 2 >"$shm/keytool.log" 2>&1 || { cat "$shm/keytool.log" >&2; die "keytool failed"; }
  key_id=$(printf '%s' "$key_label" | od -An -tx1 | tr -d ' \n')
  "$out/linux-x86_64/direct" setup "$softhsm64" "$slot" "$pin" "$key_id" "$key_label" "$data_label" 100 >/dev/null ||
    die "could not set up the token"
  taskset -c "$cpu" "${java[@]}" ka.tovik.selvo.jvarnel.bench.RealBench --arch "$arch" --module "$module" --slot "$slot" --pin "$pin" \
    --key-label "$key_label" --data-label "$data_label" --p11-config "$shm/p11-$([ "$arch" = linux-x86 ] && echo 32 || echo 64).cfg" \
    --direct "$dir/direct" --runner "$runner" --out "$dir" --tmp "$shm/run" "${real_args[@]}"
  if [ "$arch" = linux-x86_64 ]; then
    # The later -cp stands: the classes and JNA.
    "${java[@]}" "${peer_java[@]}" -cp "$out/classes:$jna_jar" ka.tovik.selvo.jvarnel.bench.PeerBench --arch "$arch" \
      --null "$dir/libvarnelnull.so" --module "$module" --slot "$slot" --pin "$pin" --data-label "$data_label" --out "$dir"
  fi
  unset SOFTHSM2_CONF
  rm -rf "$shm"
done

mkdir -p "$results"
"$jdk64/bin/java" -cp "$out/classes" ka.tovik.selvo.jvarnel.bench.Report "$out" "$results" "${arches[@]}" >/dev/null
gnuplot -e "results='$results'; arches='${arches[*]}'" bench/plot.gp
{
  echo
  echo "Measured by \`make bench\` on $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores ($(sed -n 's/^model name[^:]*: //p' /proc/cpuinfo | head -n 1)); the measuring took $((SECONDS - started)) s."
  for arch in "${arches[@]}"; do
    echo "$arch JVM: \`$(sed "s|$root/||g" "$out/$arch/jvm.txt" | sed 's/ -Djava.library.path.*//')\`; the real-work one pinned to CPU $cpu with its direct C program (\`taskset -c $cpu\`)."
    echo
  done
} >>"$results/bench.md"
cat "$results/bench.md"
echo "bench: results in bench/results (bench.md, bench.csv, growth.png), $((SECONDS - started)) s" >&2
