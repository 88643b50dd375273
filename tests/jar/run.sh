#!/usr/bin/env bash
# The jar in real JVMs: the example signs on a fresh SoftHSM2 token from the jar alone, and the
# class's extraction of its native library holds up (a table of cases, each a JVM of its own).
#
# Usage: tests/jar/run.sh <linux-x86_64|linux-x86> [JDK-FOLDER]
#   JDK-FOLDER replaces the JDK 17 of the architecture (the newest JDK on the machine, say).
#
# Needs make dist's dist/varnel-<release>.jar and dist/<arch>/, the packages of tools/bootstrap.sh's
# e2e group. Prints one line per case, then "jar <arch> [jdk]: N passed, M failed".
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
root=$(cd "$here/../.." && pwd -P)
source "$root/tools/harness.sh"
source "$root/tools/version.sh"
arch=${1:?usage: $0 <linux-x86_64|linux-x86> [JDK-FOLDER]}
jdk=${2:-}
name="jar $arch${jdk:+ $(basename "$jdk")}"
jar=$root/dist/varnel-$varnel_release.jar

die() {
  echo "$name: $*" >&2
  echo "$name: 0 passed, 1 failed"
  exit 1
}
skip() {
  echo "$name: SKIPPED: $*"
  exit 0
}
[ -f "$jar" ] || die "$jar missing: run make dist"
scratch=$(scratch_dir varnel-jar)
stopped_pid=""
cleanup() {
  [ -z "$stopped_pid" ] || kill -KILL "$stopped_pid" 2>/dev/null
  # The other user's leftover of the last case is root's to remove.
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
use_jvm "$arch" "$scratch" || { [ $? -eq 3 ] && skip "$jvm_left_out"; die "no JVM for $arch"; }
# From JDK 24 on, a library loaded by a class on the class path draws a warning unless allowed.
[ -z "$jdk" ] || java=("$jdk/bin/java" --enable-native-access=ALL-UNNAMED)
java+=(-Xcheck:jni -XX:-UsePerfData)

# --- a fresh token with an RSA key pair, as the e2e suite makes it
setup_log=$scratch/setup.log
logged() { "$@" >>"$setup_log" 2>&1 || { cat "$setup_log" >&2; die "$* failed"; }; }
user_pin=1234 so_pin=5678 token_label=varnel-jar second_token_label=varnel-jar-spare key_label=varnel-sign
source "$root/tests/e2e/tokens/softhsm.sh"
token_setup
logged pkcs11-tool --module "$tool_module" --token-label "$token_label" --login --pin "$user_pin" \
  --keypairgen --key-type rsa:2048 --label "$key_label" --id 01
logged pkcs11-tool --module "$tool_module" --token-label "$token_label" --read-object --type pubkey \
  --label "$key_label" -o "$scratch/public.der"

# --- the example and the probe, compiled against the jar alone, for Java 8
classes=$scratch/classes
logged "$jdk64/bin/javac" --release 8 -Xlint:all -Xlint:-options -Werror -cp "$jar" -d "$classes" \
  "$root/examples/SignWithVarnel.java" "$here/LoadProbe.java"

# Jars that differ from the real one in one entry.
natives=ka/tovik/selvo/jvarnel/natives
own_native=$natives/$arch/libVarnel.so
mkdir "$scratch/unpacked"
(cd "$scratch/unpacked" && "$jdk64/bin/jar" -xf "$jar")
printf 'tampered' >>"$scratch/unpacked/$own_native"
(cd "$scratch/unpacked" && "$jdk64/bin/jar" -cfm "$scratch/tampered.jar" META-INF/MANIFEST.MF .)
rm "$scratch/unpacked/$own_native"
sed -i "/ $arch\/libVarnel.so\$/d" "$scratch/unpacked/$natives/SHA256SUMS"
(cd "$scratch/unpacked" && "$jdk64/bin/jar" -cfm "$scratch/no-native.jar" META-INF/MANIFEST.MF .)

passed=0 failed=0
verdict() {  # verdict CASE PROBLEM...: no PROBLEM means passed
  local case=$1
  shift
  if [ $# -eq 0 ]; then
    echo "ok   $case"
    passed=$((passed + 1))
  else
    echo "FAIL $case: $*"
    failed=$((failed + 1))
  fi
}
tmp_n=0
new_tmp() {  # a fresh java.io.tmpdir for one case
  tmp_n=$((tmp_n + 1))
  tmp=$scratch/tmp$tmp_n
  mkdir -m 1777 "$tmp"
}
leftovers() { find "$tmp" -mindepth 1 -maxdepth 1 -name 'varnel-*' | sort; }
probe() {  # probe JAR JVM-OPTIONS...: the probe's output
  "${java[@]}" -Djava.io.tmpdir="$tmp" "${@:2}" -cp "$1:$classes" LoadProbe 2>&1
}
# expect OUTPUT PATTERN...: each extended regular expression matches a line of OUTPUT.
expect() {
  local out=$1 pattern
  shift
  for pattern; do grep -Eq -- "$pattern" <<<"$out" || { echo "no line like '$pattern' in: $out"; return 1; }; done
}
refuse_without_loading() {  # refuse_without_loading OUTPUT MESSAGE-PATTERN
  expect "$1" "^refused: Varnel: .*$2" || return 1
  ! grep -q '^mapped ' <<<"$1" || { echo "loaded all the same: $1"; return 1; }
  [ -z "$(leftovers)" ] || { echo "left behind: $(leftovers)"; return 1; }
}

# --- the cases
new_tmp
message="signed from the jar alone"
out=$("${java[@]}" -Djava.io.tmpdir="$tmp" -cp "$jar:$classes" SignWithVarnel "$driver" "$token_label" \
  "$user_pin" "$key_label" "$message" 2>"$scratch/example.err")
rc=$?
problems=()
[ $rc -eq 0 ] || problems+=("exit $rc: $out $(cat "$scratch/example.err")")
! grep -q WARNING "$scratch/example.err" || problems+=("warnings: $(cat "$scratch/example.err")")
printf '%s' "$message" >"$scratch/message"
base64 -d <<<"$out" >"$scratch/signature" 2>/dev/null &&
  openssl dgst -sha256 -verify "$scratch/public.der" -keyform DER -signature "$scratch/signature" \
    "$scratch/message" >/dev/null 2>&1 || problems+=("the signature does not verify: $out")
[ -z "$(leftovers)" ] || problems+=("left behind: $(leftovers)")
verdict "the example signs from the jar, no java.library.path; nothing left" "${problems[@]}"

new_tmp
out=$(probe "$scratch/tampered.jar")
problems=()
msg=$(refuse_without_loading "$out" "does not match its SHA-256") || problems+=("$msg")
verdict "a tampered native is refused, nothing loaded" "${problems[@]}"

new_tmp
out=$(probe "$scratch/tampered.jar" -Djava.library.path="$root/dist/$arch")
problems=()
msg=$(expect "$out" "^loaded $varnel_text\$" "^mapped $root/dist/$arch/$varnel_library\$") || problems+=("$msg")
[ -z "$(leftovers)" ] || problems+=("extracted all the same")
verdict "java.library.path wins over the jar" "${problems[@]}"

new_tmp
out=$(probe "$jar" -Dvarnel.extract=false)
problems=()
msg=$(expect "$out" "^refused: no Varnel in java.library.path") || problems+=("$msg")
[ -z "$(leftovers)" ] || problems+=("extracted all the same")
verdict "varnel.extract=false: the JVM's own error, nothing extracted" "${problems[@]}"

new_tmp
out=$(probe "$scratch/no-native.jar")
problems=()
msg=$(refuse_without_loading "$out" "holds no native library for this platform .*looked for natives/$arch/libVarnel.so") ||
  problems+=("$msg")
verdict "no native for this platform: says so" "${problems[@]}"

new_tmp
for i in 1 2 3 4 5 6; do probe "$jar" >"$scratch/parallel$i" & done
wait
problems=()
for i in 1 2 3 4 5 6; do
  out=$(cat "$scratch/parallel$i")
  expect "$out" "^loaded $varnel_text\$" "^mapped $tmp/varnel-[0-9]+-[0-9]+/libVarnel.so \(deleted\)\$" >/dev/null ||
    problems+=("JVM $i: $out")
done
[ -z "$(leftovers)" ] || problems+=("left behind: $(leftovers)")
verdict "six JVMs extracting at once, each from its own directory; nothing left" "${problems[@]}"

# Stopped while its library is being written (the poll rarely misses it; then it tries again), the
# JVM's directory and files must be owner-only; killed, it leaves them, and the next load removes
# them.
new_tmp
problems=()
caught=""
for attempt in $(seq 1 40); do
  umask 000 # the directory's mode must not depend on the umask
  "${java[@]}" -Djava.io.tmpdir="$tmp" -cp "$jar:$classes" LoadProbe >/dev/null 2>&1 &
  pid=$!
  umask 022
  while kill -0 "$pid" 2>/dev/null; do
    for caught in "$tmp"/varnel-*/libVarnel.so; do [ -f "$caught" ] && break 2; done
    caught=""
  done
  caught=${caught%/libVarnel.so}
  if [ -n "$caught" ] && kill -STOP "$pid" 2>/dev/null; then
    stopped_pid=$pid
    modes=$(stat -c '%a %U' "$caught" "$caught"/* "$caught"/.lock* 2>/dev/null)
    kill -KILL "$pid"
    wait "$pid" 2>/dev/null
    stopped_pid=""
    [ -d "$caught" ] && break
  fi
  wait "$pid" 2>/dev/null
  caught=""
done
if [ -z "$caught" ]; then
  problems+=("never caught a JVM while its directory existed, in 40 tries")
else
  [ "${modes%%$'\n'*}" = "700 $(id -un)" ] || problems+=("directory mode: $modes")
  while read -r mode owner; do
    [ $((8#$mode & 8#077)) -eq 0 ] || problems+=("a file in it is open to others: $mode")
  done <<<"$modes"
  # Another user's leftover, unlocked, as a dead process of theirs leaves it (root can make one).
  others=""
  if [ "$(id -u)" = 0 ]; then
    others=$tmp/varnel-1-1
    mkdir -m 700 "$others" && touch "$others/.lock" && chown -R nobody "$others"
  fi
  # Another program's folder that only looks like one: never touched.
  foreign=$tmp/varnel-e2e-run.1
  mkdir "$foreign" && touch "$foreign/log"
  out=$(probe "$jar")
  msg=$(expect "$out" "^loaded $varnel_text\$") || problems+=("the next load: $msg")
  [ -f "$foreign/log" ] || problems+=("another program's $foreign emptied")
  [ ! -e "$caught" ] || problems+=("the killed JVM's directory is still there")
  expected=$(printf '%s\n' $others "$foreign" | sort)
  [ "$(leftovers)" = "$expected" ] || problems+=("left: $(leftovers), expected only $expected")
fi
left_alone="another program's folder"
[ -z "${others:-}" ] || left_alone+=" and another user's"
verdict "owner-only files; a kill -9 leftover removed by the next load, $left_alone left alone (${attempt} tries)" \
  "${problems[@]}"

new_tmp
if unshare --mount --propagation private true 2>/dev/null; then
  out=$(unshare --mount --propagation private bash -c 'mount -t tmpfs -o noexec tmpfs "$1" && shift && "$@"' _ \
    "$tmp" "${java[@]}" -Djava.io.tmpdir="$tmp" -cp "$jar:$classes" LoadProbe 2>&1)
  problems=()
  msg=$(expect "$out" "^refused: Varnel: could not load .*noexec, set -Dvarnel.tmpdir=") || problems+=("$msg")
  verdict "a noexec temporary folder: says so and what to do" "${problems[@]}"
else
  echo "skip a noexec temporary folder: cannot make a mount namespace here"
fi

echo "$name: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
