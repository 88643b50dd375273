#!/usr/bin/env bash
# Signs a message on a SoftHSM token through libVarnel, the way an application would, checks the
# signature with the JDK, and has the token decrypt an RSA-OAEP secret
# (demo/java/ka/tovik/selvo/jvarnel/demo/SignDemo.java).
#
# Usage: demo/run.sh        (make demo builds the library first)
#
# Makes its own token in a fresh SoftHSM store (tmpfs when there is one, else build/), removed on
# exit, initialised by softhsm2-util and empty: the demo, run on the 64-bit JVM with -Xcheck:jni
# against dist/linux-x86_64, generates its RSA-2048 key pair labelled varnel-demo through Varnel
# and reads the public key back from the token. A second run finds the private key only (the
# public key was a session object) and takes the public key from a file that p11tool exported. Exits non-zero when the signature does not verify,
# the secret does not come back unchanged, a step fails, or the JVM printed a JNI warning.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
root=$(cd "$here/.." && pwd -P)
build="$root/build"
source "$root/tools/harness.sh"
module=$softhsm64
libdir="$root/dist/linux-x86_64"

die() {
  echo "demo: $*" >&2
  exit 1
}

[ -x "$jdk64/bin/javac" ] || die "64-bit JDK missing: $jdk64 (run tools/bootstrap.sh)"
[ -f "$module" ] || die "SoftHSM module missing: $module (package softhsm2)"
command -v softhsm2-util >/dev/null || die "softhsm2-util missing (package softhsm2)"
[ -e "$libdir/libVarnel.so" ] || die "$libdir/libVarnel.so missing: run make first"

# --- a token of its own
store=$(scratch_dir varnel-demo-softhsm)
trap 'rm -rf "$store"' EXIT
use_token_store "$store"

token_label=varnel-demo-token
key_label=varnel-demo
user_pin=1234
so_pin=5678

run_logged() {
  "$@" >>"$store/setup.log" 2>&1 || { cat "$store/setup.log" >&2; die "$1 failed"; }
}
echo "demo: token \"$token_label\" in $store/tokens"
run_logged softhsm2-util --init-token --free --label "$token_label" --pin "$user_pin" --so-pin "$so_pin"

# --- compile the bridge's Java class and the demo
classes="$build/demo-classes"
compile_java "$classes" "$here/java" || die "javac failed"
use_jvm linux-x86_64

# --- run it: the demo makes its key pair, whose public key goes with its session
echo "demo: java -Xcheck:jni -Djava.library.path=$libdir ka.tovik.selvo.jvarnel.demo.SignDemo" \
  "$module first <PIN> $key_label"
echo
run_jvm demo "$store/demo.log" -Djava.library.path="$libdir" -cp "$classes" \
  ka.tovik.selvo.jvarnel.demo.SignDemo "$module" first "$user_pin" "$key_label"
echo
judge_jvm '^Result: ' || die "the demo failed"

# --- again, as a later run would: the public key exported from the private key, as docs/demo.md
# says, and given as a file
public_key="$store/$key_label.der"
echo "demo: p11tool --export-pubkey of the private key, then openssl pkey to DER: $public_key"
run_logged p11tool --provider "$module" --login --set-pin="$user_pin" --outfile "$store/$key_label.pem" \
  --export-pubkey "pkcs11:token=$token_label;object=$key_label;type=private"
run_logged openssl pkey -pubin -in "$store/$key_label.pem" -outform DER -out "$public_key"
echo
run_jvm demo "$store/demo-again.log" -Djava.library.path="$libdir" -cp "$classes" \
  ka.tovik.selvo.jvarnel.demo.SignDemo "$module" first "$user_pin" "$key_label" "$public_key"
echo
judge_jvm '^Result: ' || die "the demo with the exported public key failed"
echo "demo: passed"
