# tpm2-pkcs11 over the swtpm TPM simulator: swtpm listening on loopback, a private D-Bus session
# bus on a socket of the run's own, and the tpm2-abrmd resource manager on that bus (without it
# the TPM runs out of sessions after a few runs). The token store and the TPM state live in the
# scratch space.
tpm2_pkcs11=/usr/lib/x86_64-linux-gnu/pkcs11/libtpm2_pkcs11.so
spare_key_label=varnel-relabel # GenerateKeyPair makes none here

# listening PORT: whether something listens on 127.0.0.1:PORT.
listening() {
  [ -n "$(ss -Htln "sport = :$1")" ]
}

token_setup() {
  local tool
  for tool in swtpm dbus-daemon tpm2-abrmd tpm2_ptool ss dbus-send; do
    command -v "$tool" >/dev/null || die "$tool missing (tools/bootstrap.sh tokens)"
  done
  [ -f "$tpm2_pkcs11" ] || die "tpm2-pkcs11 missing: $tpm2_pkcs11 (package libtpm2-pkcs11-1)"
  driver=$tpm2_pkcs11
  local tpm=$scratch/tpm port="" try wait
  mkdir -p "$tpm/state" "$tpm/store"
  # A free pair of loopback ports, the TPM's and its control channel's: another program may take a
  # port between the look and the bind, so a swtpm that exits is tried again on others.
  for try in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 20000 * 2))
    ! listening "$port" && ! listening $((port + 1)) || continue
    start_daemon "$tpm/swtpm.log" swtpm socket --tpm2 --tpmstate dir="$tpm/state" \
      --server type=tcp,port="$port",bindaddr=127.0.0.1 --ctrl type=tcp,port=$((port + 1)),bindaddr=127.0.0.1 \
      --flags not-need-init,startup-clear
    for ((wait = 0; wait < 100; wait++)); do
      kill -0 "${daemon_pids[-1]}" 2>/dev/null && ! listening "$port" || break
      sleep 0.1
    done
    kill -0 "${daemon_pids[-1]}" 2>/dev/null && listening "$port" && break
    port=""
  done
  [ -n "$port" ] || { cat "$tpm/swtpm.log" >&2; die "swtpm did not come up on a loopback port"; }
  export DBUS_SESSION_BUS_ADDRESS="unix:path=$tpm/bus"
  start_daemon "$tpm/dbus.log" dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS"
  wait_for "$tpm/dbus.log" 10 test -S "$tpm/bus"
  start_daemon "$tpm/abrmd.log" tpm2-abrmd --session --allow-root --tcti=swtpm:host=127.0.0.1,port="$port"
  wait_for "$tpm/abrmd.log" 10 sh -c 'dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
    org.freedesktop.DBus.NameHasOwner string:com.intel.tss2.Tabrmd | grep -q "boolean true"'
  export TSS2_LOG=all+none
  export TPM2_PKCS11_TCTI=tabrmd:bus_type=session TPM2TOOLS_TCTI=tabrmd:bus_type=session \
    TPM2_PKCS11_STORE=$tpm/store
  logged tpm2_ptool init --path="$tpm/store"
  logged tpm2_ptool addtoken --pid=1 --sopin="$so_pin" --userpin="$user_pin" --label="$token_label" \
    --path="$tpm/store"
}
