# p11-kit's trust module, through pkcs11-spy (it exports only C_GetFunctionList): the system's CA
# certificates in a read-only token, "System Trust", with no login, no keys and no PIN. Its cases
# are the lifecycle, the slots and the certificate paging, the rest needing a key.
token_label="System Trust"
key_label=""
cert_label=""

token_setup() {
  local trust=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-trust.so
  driver=/usr/lib/x86_64-linux-gnu/pkcs11/pkcs11-spy.so
  for file in "$trust" "$driver"; do
    [ -f "$file" ] || die "$file missing (packages p11-kit-modules, opensc-pkcs11: tools/bootstrap.sh tokens)"
  done
  [ -s /etc/ssl/certs/ca-certificates.crt ] || die "no CA certificates (package ca-certificates)"
  tool_module=$trust
  no_pkcs11_lib=$trust # the library's "no C_Initialize" answer, 10002
  export PKCS11SPY=$trust PKCS11SPY_OUTPUT=$scratch/spy.log
}
