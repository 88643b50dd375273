# NSS's softoken through p11-kit: softoken and p11-kit's proxy export only C_GetFunctionList, which
# the library does not use, so the JVM loads OpenSC's pkcs11-spy in front of p11-kit-proxy, and a
# p11-kit module file gives softoken the init arguments it cannot start without (its database).
# p11-kit reads a user's module files, never root's: the tools and the JVM then run as nobody, with
# a home folder in the scratch space. The token is "NSS Certificate DB", its PIN the database's
# password; the system's own module files are switched off for the proxy there.
token_arches="linux-x86_64 linux-x86"
token_label="NSS Certificate DB"
second_token_label=""

token_setup() {
  local lib=/usr/lib/x86_64-linux-gnu
  [ "$arch" = linux-x86 ] && lib=/usr/lib/i386-linux-gnu
  local amd64=/usr/lib/x86_64-linux-gnu file
  for file in "$lib/libsoftokn3.so" "$lib/p11-kit-proxy.so" "$lib/pkcs11/pkcs11-spy.so" "$amd64/p11-kit-proxy.so"; do
    [ -f "$file" ] || die "$file missing (packages libnss3, p11-kit-modules, opensc-pkcs11: tools/bootstrap.sh tokens)"
  done
  command -v certutil >/dev/null || die "certutil missing (package libnss3-tools)"
  driver=$lib/pkcs11/pkcs11-spy.so
  no_pkcs11_lib=$lib/libsoftokn3.so # the library's "no C_Initialize" answer, 10002
  tool_module=$amd64/p11-kit-proxy.so
  export PKCS11SPY=$lib/p11-kit-proxy.so PKCS11SPY_OUTPUT=$scratch/spy.log

  local home=$scratch/home db=$scratch/nssdb
  export HOME=$home
  mkdir -p "$home/.config/pkcs11/modules" "$db"
  if [ "$(id -u)" -eq 0 ]; then
    run_as=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
    run_as_owner=nobody:nogroup
    chown -R "$run_as_owner" "$scratch"
  fi
  for file in /usr/share/p11-kit/modules/*.module /etc/pkcs11/modules/*.module; do
    [ -f "$file" ] && echo "disable-in: p11-kit-proxy" >"$home/.config/pkcs11/modules/${file##*/}"
  done
  # A module name without a folder is looked for in p11-kit's own folder of each architecture.
  cat >"$home/.config/pkcs11/modules/varnel-nss.module" <<MODULE
module: ../libsoftokn3.so
x-init-reserved: configdir='sql:$db' certPrefix='' keyPrefix='' secmod='secmod.db' flags=
MODULE
  echo "$user_pin" >"$scratch/password"
  logged certutil -N -d "sql:$db" -f "$scratch/password"
  [ ${#run_as[@]} -eq 0 ] || chown -R "$run_as_owner" "$scratch"
}
