# Sourced by the scripts that run the library in a real JVM (the end-to-end
# suite, the demo, the soak and the benchmark) and by those that make a
# Debian root (the wine VM, check-fresh). Needs $root (the project's top
# folder). Gives the JDK paths (tools/paths.sh), the version (tools/version.sh),
# the SoftHSM paths, the i386 SoftHSM module, the JVM
# command for each architecture, the javac step, and one way to run a JVM and
# judge what it printed.
source "$root/tools/arch.sh"
source "$root/tools/paths.sh"
source "$root/tools/version.sh"

# What the tools keep between runs (the wine VM's disk, the fresh root).
varnel_cache=${VARNEL_CACHE_DIR:-${XDG_CACHE_HOME:-${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}/.cache}/varnel}

# host_archive: the host's Debian archive settings, for a root made by
# mmdebstrap, which reads none of them itself: archive_sources (the sources
# file), archive_main (one line: bookworm's main from the same mirror),
# archive_aptopts (an --aptopt for each apt settings file saying how the
# archive is reached, Acquire::..., and a retry of each failed fetch, as
# mmdebstrap fails on any), archive_files (all those files).
host_archive() {
  # debian.sources on an installed system, 0000debian.sources in a root
  # mmdebstrap made, sources.list on older ones.
  archive_sources=$(ls /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$archive_sources" ] || archive_sources=/etc/apt/sources.list
  archive_files=("$archive_sources")
  # The mirror of bookworm itself, for roots that need no security updates:
  # an index of another suite out of step with its Release file fails them.
  archive_main="deb $(awk '
    /^URIs:/ { uri = $2 } /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == "bookworm") main = uri }
    /^deb / && $3 == "bookworm" { main = $2 } END { print main }' "$archive_sources") bookworm main"
  archive_aptopts=(--aptopt='Acquire::Retries "5"')
  local file
  for file in /etc/apt/apt.conf.d/*; do
    grep -q '^Acquire::' "$file" 2>/dev/null || continue
    archive_files+=("$file")
    archive_aptopts+=(--aptopt="$file")
  done
}

softhsm64=/usr/lib/softhsm/libsofthsm2.so
softhsm32_dir=$root/build/softhsm-i386
softhsm32=$softhsm32_dir/usr/lib/softhsm/libsofthsm2.so

# scratch_dir NAME: prints a new empty folder for tokens and JVM temporary
# files, on tmpfs where there is one. A 32-bit program under qemu's emulator
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

# made_once DEST COMMAND ARG...: makes the folder DEST, unless it is there,
# by running COMMAND DEST.tmp ARG... and renaming that, one caller at a time:
# DEST is whole or absent, also after an interrupted run.
made_once() {
  local dest=$1
  shift
  mkdir -p "$(dirname "$dest")"
  (
    flock 7
    [ -d "$dest" ] && exit 0
    rm -rf "$dest.tmp"
    "$1" "$dest.tmp" "${@:2}" || { rm -rf "$dest.tmp"; exit 1; }
    mv "$dest.tmp" "$dest"
  ) 7>"$dest.lock"
}

# unpack_debs DIR PACKAGE...: downloads Debian packages from the archive and
# unpacks them into DIR, installing nothing: for packages that cannot be
# installed beside the machine's own.
unpack_debs() {
  local dir=$1 deb
  shift
  mkdir -p "$dir/.debs"
  chmod 755 "$dir" "$dir/.debs" # apt's download sandbox user cannot write into a root-only folder
  if ! (cd "$dir/.debs" && apt-get download -q "$@" >apt.log 2>&1); then
    cat "$dir/.debs/apt.log" >&2
    return 1
  fi
  for deb in "$dir"/.debs/*.deb; do
    dpkg-deb -x "$deb" "$dir" || return 1
  done
  rm -rf "$dir/.debs"
}

# fetch_softhsm_i386: unpacks libsofthsm2:i386 into build/softhsm-i386 unless
# it is there. The package cannot be installed beside the amd64 one.
fetch_softhsm_i386() {
  made_once "$softhsm32_dir" unpack_debs libsofthsm2:i386 && [ -f "$softhsm32" ]
}

# use_jvm ARCH SCRATCH: sets java, the command that starts a JVM of ARCH
# (linux-x86_64, linux-x86, linux-aarch64 or linux-armhf) with the version
# GetVersion answers in the property varnel.version, and jvm_emulated (1 when
# it runs under qemu). SCRATCH is a tmpfs folder of the caller's, removed by it.
# Returns 3, saying why in jvm_left_out, when the bootstrap could not install
# the JDK: the caller's suite is then SKIPPED.
#
# Under qemu-i386 and qemu-arm the same readdir() failure as above hits the
# JDK's crypto policy folder, and with it every javax.crypto.Cipher: those
# 32-bit JVMs run from a shadow of the JDK in SCRATCH (a copy of libjvm.so,
# from whose place the JVM takes java.home, and of the small conf/; the rest
# linked). The i386 one runs interpreted, as the JIT has crashed under
# emulation, and starts child processes by fork, as the spawn helper is a
# 32-bit program the kernel may not run. The ARM JVMs come from their roots
# (tools/arm.sh); their JIT works under emulation.
use_jvm() {
  jvm_emulated=0
  case "$1" in
    linux-x86_64)
      java=("$jdk64/bin/java" -Dvarnel.version="$varnel_text")
      ;;
    linux-x86)
      if [ ! -x "$jdk32/bin/java" ]; then
        if grep -qxF openjdk-17-jdk-headless:i386 "$bootstrap_left_out" 2>/dev/null; then
          jvm_left_out="the archive's i386 index was out of step: no 32-bit JDK (tools/bootstrap.sh e2e)"
          return 3
        fi
        echo "32-bit JDK missing: $jdk32 (run tools/bootstrap.sh e2e)" >&2
        return 1
      fi
      if [ -z "$VARNEL_I386_RUNNER" ]; then
        java=("$jdk32/bin/java" -Dvarnel.version="$varnel_text")
        return 0
      fi
      shadow_jdk "$jdk32" "$2/jdk-i386"
      java=($VARNEL_I386_RUNNER "$2/jdk-i386/bin/java" -Xint -Djdk.lang.Process.launchMechanism=FORK
        -Dvarnel.version="$varnel_text")
      jvm_emulated=1
      ;;
    linux-aarch64 | linux-armhf)
      arm_arch "$1"
      "$root/tools/arm.sh" root "$1" || return 1
      local jdk=$arm_root/usr/lib/jvm/java-17-openjdk-$arm_debian
      if [ "$1" = linux-armhf ]; then
        shadow_jdk "$jdk" "$2/jdk-armhf"
        jdk=$2/jdk-armhf
      fi
      # By fork: the spawn helper is an ARM program the kernel cannot run.
      java=("${arm_run[@]}" "$jdk/bin/java" -Djdk.lang.Process.launchMechanism=FORK
        -Dvarnel.version="$varnel_text")
      jvm_emulated=1
      ;;
    *)
      echo "unknown architecture $1" >&2
      return 1
      ;;
  esac
}

# shadow_jdk JDK DIR: the shadow of JDK that use_jvm describes, made in DIR.
shadow_jdk() {
  local jdk=$1 shadow=$2 entry
  mkdir -p "$shadow/bin" "$shadow/lib/server"
  cp "$jdk/bin/java" "$shadow/bin/"
  cp "$jdk/release" "$shadow/"
  cp -RL "$jdk/conf" "$shadow/conf"
  for entry in "$jdk"/lib/*; do [ "${entry##*/}" = server ] || ln -s "$entry" "$shadow/lib/"; done
  for entry in "$jdk"/lib/server/*; do [ "${entry##*/}" = libjvm.so ] || ln -s "$entry" "$shadow/lib/server/"; done
  cp "$jdk/lib/server/libjvm.so" "$shadow/lib/server/"
}

# compile_java DEST DIR...: compiles the bridge's Java class and every .java
# file under the DIRs into DEST, replaced whole.
compile_java() {
  local dest=$1 sources
  shift
  mapfile -t sources < <(find "$root/java" "$@" -name '*.java' | sort)
  rm -rf "$dest.tmp"
  mkdir -p "$dest.tmp"
  if ! "$jdk64/bin/javac" --release 17 -Xlint:all -Werror -encoding UTF-8 -d "$dest.tmp" "${sources[@]}"; then
    rm -rf "$dest.tmp"
    return 1
  fi
  rm -rf "$dest"
  mv "$dest.tmp" "$dest"
}

# run_jvm NAME LOG ARGS...: runs "${java[@]}" -Xcheck:jni ARGS..., with no
# input and its output in LOG, then shows LOG. It may take jvm_timeout seconds
# (default 900); a crash report goes to build/NAME-hs_err_pid*.log, never a
# core file. Sets jvm_rc; judge_jvm reads the rest.
run_jvm() {
  local name=$1 log=$2
  shift 2
  jvm_name=$name
  jvm_log=$log
  jvm_rc=0
  touch "$log.start"
  # The braces keep bash's own "Aborted ..." notice about a crashed JVM out of the output.
  # --foreground leaves the JVM in the caller's process group, so an interrupt reaches it.
  { (
    ulimit -c 0
    exec timeout --foreground --kill-after=10 "${jvm_timeout:-900}" "${java[@]}" -Xcheck:jni \
      -XX:ErrorFile="$root/build/$name-hs_err_pid%p.log" "$@" </dev/null >"$log" 2>&1
  ) || jvm_rc=$?; } 2>/dev/null
  cat "$log"
}

# judge_jvm SUMMARY: whether the last run_jvm went well: exit status 0, no
# crash report, no WARNING line (-Xcheck:jni's), and a line matching the
# extended regular expression SUMMARY. Prints "NAME: FAILED: why" for each
# fault and returns 1 if there was one.
judge_jvm() {
  local problems=() crash
  if [ "$jvm_rc" -eq 124 ] || [ "$jvm_rc" -eq 137 ]; then
    problems+=("the JVM did not finish within ${jvm_timeout:-900}s")
  elif [ "$jvm_rc" -gt 128 ]; then
    problems+=("the JVM was killed by signal $(kill -l $((jvm_rc - 128)) 2>/dev/null || echo $((jvm_rc - 128)))")
  elif [ "$jvm_rc" -ne 0 ]; then
    problems+=("the JVM exited with status $jvm_rc")
  fi
  for crash in "$root/build/$jvm_name"-hs_err_pid*.log; do
    if [ -e "$crash" ] && [ "$crash" -nt "$jvm_log.start" ]; then
      problems+=("the JVM crashed, report: $crash")
    fi
  done
  if grep -q WARNING "$jvm_log"; then
    problems+=("the JVM printed warnings (see the WARNING lines above)")
  fi
  if ! grep -Eq "$1" "$jvm_log"; then
    problems+=("no summary line")
  fi
  local p
  for p in "${problems[@]}"; do
    echo "$jvm_name: FAILED: $p" >&2
  done
  [ ${#problems[@]} -eq 0 ]
}
