#!/usr/bin/env bash
# Checks what a release hands out: the archive `make dist` wrote holds every
# platform folder of dist/ with its files and links, JVarnel.java, README.md
# and a SHA256SUMS that verifies them all; its entries are sorted, owned by
# 0/0 and dated the last commit, and its gzip header carries no name or time.
# `make install` into a scratch DESTDIR puts the library of this machine's
# width and its link, and nothing else, into /usr/local/lib there, and
# `make uninstall` takes exactly those away.
# Usage: tests/check-release.sh (after make all dist)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/version.sh"
source "$root/tests/checks.sh"
export LC_ALL=C
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$root" log -1 --format=%ct)}
release_name=varnel-$varnel_release
archive=$root/dist/$release_name.tar.gz
scratch=$(mktemp -d /tmp/varnel-release-check.XXXXXX)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/unpacked" "$scratch/destdir"
tar -xzf "$archive" -C "$scratch/unpacked" || echo "cannot unpack $archive"
top=$scratch/unpacked/$release_name

holds_every_deliverable() {
  local expected actual
  expected=$(
    {
      printf '%s\n' JVarnel.java README.md SHA256SUMS "$release_name.jar" windows-x86/Varnel.dll
      printf '%s\n' linux-{x86_64,x86,aarch64,armhf}/{"$varnel_library",libVarnel.so}
      (cd "$root" && ls docs/*.md examples/*.java)
      (cd "$root/dist" && find . -mindepth 2 -maxdepth 2 ! -name '.*' | sed 's|^\./||')
    } | sort -u)
  actual=$(cd "$top" && find . ! -type d | sed 's|^\./||' | sort)
  diff <(echo "$expected") <(echo "$actual") || return 1
  for platform in "$root"/dist/*/; do
    platform=$(basename "$platform")
    for file in "$root/dist/$platform"/*; do
      if [ -L "$file" ]; then
        [ "$(readlink "$file")" = "$(readlink "$top/$platform/${file##*/}")" ] || { echo "link $platform/${file##*/} differs"; return 1; }
      else
        cmp "$file" "$top/$platform/${file##*/}" || return 1
      fi
    done
  done
  cmp "$root/README.md" "$top/README.md" && cmp "$root/dist/$release_name.jar" "$top/$release_name.jar" && cmp "$root/java/ka/tovik/selvo/jvarnel/JVarnel.java" "$top/JVarnel.java"
}
checksums_verify() {
  local listed files
  (cd "$top" && sha256sum --quiet --strict -c SHA256SUMS) || return 1
  listed=$(awk '{ print $2 }' "$top/SHA256SUMS" | sort)
  files=$(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort)
  [ "$listed" = "$files" ] || { echo "SHA256SUMS lists: $listed"; return 1; }
  (cd "$root/dist" && sha256sum --quiet --strict -c "$release_name.tar.gz.sha256")
}
archive_is_canonical() {
  local listing names date header
  listing=$(TZ=UTC0 tar -tvzf "$archive" --numeric-owner --full-time) || return 1
  names=$(tar -tzf "$archive")
  [ "$names" = "$(sort <<<"$names")" ] || { echo "entries not sorted"; return 1; }
  date=$(TZ=UTC0 date -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
  awk -v date="$date" '
    $2 != "0/0" { print "owned by " $2 ": " $6; bad = 1 }
    $4 " " $5 != date { print "dated " $4 " " $5 ", not " date ": " $6; bad = 1 }
    END { exit bad }' <<<"$listing" || return 1
  header=$(od -An -tx1 -N8 "$archive" | tr -d ' \n')
  [ "$header" = 1f8b080000000000 ] || { echo "gzip header $header: a name or a time in it"; return 1; }
}

# The jar: JVarnel.class for Java 8, every platform's library of dist/ under
# natives/ with the checksums the class checks, the manifest and the Maven
# files, every entry dated the last commit.
jar=$root/dist/$release_name.jar
jar_holds_class_natives_and_maven_files() {
  local unpacked=$scratch/jar natives=ka/tovik/selvo/jvarnel/natives platform from expected actual
  mkdir "$unpacked" && (cd "$unpacked" && unzip -q "$jar") || return 1
  expected=$(
    {
      printf '%s\n' META-INF/MANIFEST.MF ka/tovik/selvo/jvarnel/JVarnel.class "$natives/SHA256SUMS" \
        META-INF/maven/ka.tovik.selvo/varnel/pom.xml META-INF/maven/ka.tovik.selvo/varnel/pom.properties
      for platform in "$root"/dist/*/; do
        platform=$(basename "$platform")
        case $platform in linux-*) echo "$natives/$platform/libVarnel.so" ;; *) echo "$natives/$platform/Varnel.dll" ;; esac
      done
    } | sort)
  actual=$(cd "$unpacked" && find . -type f | sed 's|^\./||' | sort)
  diff <(echo "$expected") <(echo "$actual") || return 1
  for platform in "$root"/dist/*/; do
    platform=$(basename "$platform")
    case $platform in linux-*) from=$varnel_library ;; *) from=Varnel.dll ;; esac
    cmp "$root/dist/$platform/$from" "$unpacked/$natives/$platform/"* || return 1
  done
  (cd "$unpacked/$natives" && sha256sum --quiet --strict -c SHA256SUMS) || return 1
  [ "$(wc -l <"$unpacked/$natives/SHA256SUMS")" -eq "$(ls -d "$root"/dist/*/ | wc -l)" ] || return 1
  # Class file major version 52: Java 8.
  [ "$(od -An -tu1 -j6 -N2 "$unpacked/ka/tovik/selvo/jvarnel/JVarnel.class" | tr -s ' ')" = " 0 52" ] ||
    { echo "JVarnel.class is not for Java 8"; return 1; }
  tr -d '\r' <"$unpacked/META-INF/MANIFEST.MF" | grep -qx 'Automatic-Module-Name: ka.tovik.selvo.jvarnel' || return 1
  grep -q "<version>$varnel_release</version>" "$unpacked/META-INF/maven/ka.tovik.selvo/varnel/pom.xml" &&
    grep -qx "version=$varnel_release" "$unpacked/META-INF/maven/ka.tovik.selvo/varnel/pom.properties" || return 1
  local date
  date=$(TZ=UTC0 date -d "@$epoch" '+%Y-%m-%d %H:%M')
  TZ=UTC0 unzip -l "$jar" | awk -v date="$date" '$2 ~ /^[0-9]{4}-/ && $2 " " $3 != date { print "dated " $2 " " $3 ": " $4; bad = 1 } END { exit bad }' &&
    (cd "$root/dist" && sha256sum --quiet --strict -c "$release_name.jar.sha256")
}

# Nested make: not as a job of the make that runs the tests.
unset MAKEFLAGS MFLAGS MAKELEVEL
native=$(make -C "$root" -s native-arch)
install_puts_library_and_link() {
  local lib=$scratch/destdir/usr/local/lib entries
  make -C "$root" -s install DESTDIR="$scratch/destdir" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; return 1; }
  entries=$(cd "$scratch/destdir" && find . ! -type d | sort)
  [ "$entries" = "$(printf './usr/local/lib/%s\n' "$varnel_library" libVarnel.so | sort)" ] || { echo "installed: $entries"; return 1; }
  cmp "$root/dist/$native/$varnel_library" "$lib/$varnel_library" &&
    [ "$(readlink "$lib/libVarnel.so")" = "$varnel_library" ] && [ -x "$lib/$varnel_library" ]
}
uninstall_removes_exactly_that() {
  touch "$scratch/destdir/usr/local/lib/libOther.so"
  make -C "$root" -s uninstall DESTDIR="$scratch/destdir" >"$scratch/uninstall.log" 2>&1 || { cat "$scratch/uninstall.log"; return 1; }
  local left
  left=$(cd "$scratch/destdir" && find . ! -type d)
  [ "$left" = ./usr/local/lib/libOther.so ] || { echo "left after uninstall: $left"; return 1; }
}

check "archive holds every deliverable, the links, the jar, JVarnel.java and README.md" holds_every_deliverable
check "SHA256SUMS covers and verifies every file; the archive's checksum verifies" checksums_verify
check "archive sorted, owned by 0/0, dated the last commit, gzip without name or time" archive_is_canonical
check "jar: JVarnel.class for Java 8, every native and its SHA-256, manifest, pom, dated the last commit" \
  jar_holds_class_natives_and_maven_files

picks_by_machine() {  # uname -m and getconf LONG_BIT of a few machines, and the build each gets
  local machine bits want got
  while read -r machine bits want; do
    got=$(make -C "$root" -s native-arch HOST_MACHINE="$machine" HOST_LONG_BIT="$bits")
    [ "$got" = "$want" ] || { echo "$machine ($bits-bit programs): '$got', not $want"; return 1; }
  done <<'MACHINES'
x86_64 64 linux-x86_64
x86_64 32 linux-x86
i686 32 linux-x86
aarch64 64 linux-aarch64
aarch64 32 linux-armhf
armv7l 32 linux-armhf
armv8l 32 linux-armhf
MACHINES
}

check "make install picks the build by machine: x86_64, i686, aarch64, armv7l" picks_by_machine
check "make install puts the $native library and its link into DESTDIR/usr/local/lib" install_puts_library_and_link
check "make uninstall removes exactly those two" uninstall_removes_exactly_that
summary "release"
