# Sourced by the test scripts. run_i386 runs a 32-bit x86 program: directly
# where the kernel runs such programs, else under qemu's user-mode emulator
# (some virtual machines are built without 32-bit support).
if [ -z "${VARNEL_I386_RUNNER+set}" ]; then
  if /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    VARNEL_I386_RUNNER=""
  else
    VARNEL_I386_RUNNER="qemu-i386"
  fi
fi
run_i386() { $VARNEL_I386_RUNNER "$@"; }
