# Sourced by the scripts that run SoftHSM2 on a token store of their own.
# Needs $root (the project's top folder).

# scratch_dir NAME: prints a new empty folder for tokens and JVM temporary
# files, on tmpfs where there is one. A 32-bit program under qemu's emulator
# (this project's 32-bit programs, where the kernel lacks 32-bit support)
# gets EOVERFLOW from readdir() on ext4, whose directory cookies are 64-bit:
# the i386 SoftHSM would see no token there. tmpfs offsets are small.
scratch_dir() {
  local base=$root/build
  if [ "$(stat -f -c %T /dev/shm 2>/dev/null)" = tmpfs ]; then
    base=/dev/shm
  fi
  mkdir -p "$base"
  mktemp -d "$base/$1.XXXXXX"
}

# use_token_store DIR: makes DIR/tokens the SoftHSM2 token store of this
# process and its children, through DIR/softhsm2.conf.
use_token_store() {
  mkdir -p "$1/tokens"
  cat >"$1/softhsm2.conf" <<CONF
directories.tokendir = $1/tokens
objectstore.backend = file
log.level = ERROR
slots.removable = false
CONF
  export SOFTHSM2_CONF="$1/softhsm2.conf"
}
