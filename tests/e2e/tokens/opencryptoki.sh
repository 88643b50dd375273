# opencryptoki's software token (slot 3) behind its slot daemon, pkcsslotd. The daemon and the
# token library keep their socket, locks, shared memory, token files and logs at fixed paths
# (/run, /dev/shm, /var/lib/opencryptoki, /var/log/opencryptoki, SysV IPC): the run happens in a
# mount and IPC namespace of its own, with folders of the scratch space mounted over those paths,
# so nothing outside it is touched.
token_needs_namespace=1
opencryptoki=/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so

token_setup() {
  [ -f "$opencryptoki" ] && [ -x /usr/sbin/pkcsslotd ] ||
    die "opencryptoki missing (packages opencryptoki, libopencryptoki0: tools/bootstrap.sh tokens)"
  getent group pkcs11 >/dev/null || die "group pkcs11 missing (package opencryptoki makes it)"
  driver=$opencryptoki
  local ock=$scratch/opencryptoki
  mkdir -p "$ock/lib/swtok/TOK_OBJ" "$ock/etc" "$ock/log"
  mount -t tmpfs -o mode=755 varnel-e2e-run /run || skip "cannot mount over /run in the namespace"
  mount -t tmpfs -o mode=1777 varnel-e2e-shm /dev/shm # the token's POSIX shared memory
  mkdir -p /run/lock/opencryptoki/swtok
  chgrp -R pkcs11 /run/lock/opencryptoki "$ock/lib" "$ock/log"
  chmod -R 770 /run/lock/opencryptoki "$ock/lib"
  printf 'version opencryptoki-3.1\nslot 3\n{\nstdll = libpkcs11_sw.so\n}\n' >"$ock/etc/opencryptoki.conf"
  mount --bind "$ock/lib" /var/lib/opencryptoki
  mount --bind "$ock/etc" /etc/opencryptoki
  # The package makes no /var/log/opencryptoki: a tmpfs over /var/log, in the namespace only, holds it.
  mount -t tmpfs -o mode=755 varnel-e2e-log /var/log
  mkdir -p /var/log/opencryptoki
  mount --bind "$ock/log" /var/log/opencryptoki
  start_daemon "$ock/pkcsslotd.log" /usr/sbin/pkcsslotd -f
  wait_for "$ock/pkcsslotd.log" 10 test -S /run/pkcsslotd.socket
  # A new token has the SO PIN 87654321 and no user PIN, both flagged "to be changed".
  echo "$token_label" | logged pkcsconf -c 3 -I -S 87654321
  logged pkcsconf -c 3 -P -S 87654321 -n "$so_pin"
  logged pkcsconf -c 3 -u -S "$so_pin" -n "$user_pin"
}
