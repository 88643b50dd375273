# SoftHSM2: two tokens in a store of the run's own, SoftHSM's empty slot after them. The amd64
# module comes from Debian's package, the i386 one unpacked from its package into build/, the ARM
# ones from the ARM roots (tools/arm.sh).
token_arches="linux-x86_64 linux-x86 linux-aarch64 linux-armhf"
second_token_label=varnel-spare # no shared prefix: pkcs11-tool --token-label matches prefixes

token_setup() {
  command -v softhsm2-util >/dev/null || die "softhsm2-util missing (package softhsm2)"
  [ -f "$softhsm64" ] || die "SoftHSM module missing: $softhsm64 (package softhsm2)"
  case $arch in
    linux-x86)
      fetch_softhsm_i386 || die "could not fetch libsofthsm2:i386 into $softhsm32_dir"
      driver=$softhsm32
      ;;
    linux-x86_64) driver=$softhsm64 ;;
    *) driver=$arm_root/usr/lib/softhsm/libsofthsm2.so ;;
  esac
  tool_module=$softhsm64 # the token files serve both builds
  use_token_store "$scratch"
  local label
  for label in "$token_label" "$second_token_label"; do
    logged softhsm2-util --init-token --free --label "$label" --pin "$user_pin" --so-pin "$so_pin"
  done
}
