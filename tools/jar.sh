#!/usr/bin/env bash
# Writes dist/varnel-<release>.jar (make dist runs it): JVarnel.class compiled
# for Java 8, and every native library the build put in dist/ under
# ka/tovik/selvo/jvarnel/natives/OS-ARCH/ with the file name the JVM of that
# platform looks for (natives/SHA256SUMS holds their checksums, which the class
# checks before it loads one), a manifest with the Automatic-Module-Name, and a
# pom.xml and pom.properties under META-INF/maven/. The platform folders are
# dist/'s, named as JVarnel.platform() names the JVM's: a platform the build
# adds (linux-aarch64, linux-armhf) comes into the jar with its folder.
#
# Reproducible like the archive: entries in a fixed order, every time
# SOURCE_DATE_EPOCH.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source tools/version.sh
export LC_ALL=C
umask 022
source tools/paths.sh
jdk=${JDK:-$jdk64}
group=ka.tovik.selvo
artifact=varnel
jar=dist/$artifact-$varnel_release.jar

die() {
  echo "jar: $*" >&2
  exit 1
}
[ -n "${SOURCE_DATE_EPOCH:-}" ] || die "SOURCE_DATE_EPOCH is not set (outside a git checkout, set it to the commit's time)"

mkdir -p build
stage=$(mktemp -d "$root/build/jar.XXXXXX")
trap 'rm -rf "$stage"' EXIT
package=ka/tovik/selvo/jvarnel
"$jdk/bin/javac" --release 8 -Xlint:all -Xlint:-options -Werror -encoding UTF-8 -d "$stage" \
  java/$package/JVarnel.java || die "javac failed"

entries=("$package/JVarnel.class")
natives=$package/natives
mkdir -p "$stage/$natives"
for folder in dist/*/; do
  platform=$(basename "$folder")
  case $platform in
    linux-*) from=$varnel_library to=libVarnel.so ;;
    windows-*) from=Varnel.dll to=Varnel.dll ;;
    *) die "dist/$platform: no native file name known for this platform" ;;
  esac
  [ -f "$folder$from" ] || die "$folder$from missing: run make first"
  mkdir -p "$stage/$natives/$platform"
  install -m 0644 "$folder$from" "$stage/$natives/$platform/$to"
  entries+=("$natives/$platform/$to")
done
(cd "$stage/$natives" && find . -type f | sed "s|^\./||" | sort | xargs sha256sum) >"$stage/SHA256SUMS"
mv "$stage/SHA256SUMS" "$stage/$natives/SHA256SUMS"
entries+=("$natives/SHA256SUMS")

maven=META-INF/maven/$group/$artifact
mkdir -p "$stage/$maven"
cat >"$stage/$maven/pom.xml" <<POM
<?xml version="1.0" encoding="UTF-8"?>
<project xmlns="http://maven.apache.org/POM/4.0.0" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    xsi:schemaLocation="http://maven.apache.org/POM/4.0.0 https://maven.apache.org/xsd/maven-4.0.0.xsd">
  <modelVersion>4.0.0</modelVersion>
  <groupId>$group</groupId>
  <artifactId>$artifact</artifactId>
  <version>$varnel_release</version>
  <packaging>jar</packaging>
  <name>Varnel</name>
  <description>JNI bridge from Java to PKCS#11 drivers, with its native libraries for $(cd dist && ls -d */ | tr -d / | paste -sd ' ')</description>
</project>
POM
printf 'groupId=%s\nartifactId=%s\nversion=%s\n' "$group" "$artifact" "$varnel_release" >"$stage/$maven/pom.properties"
entries+=("$maven/pom.xml" "$maven/pom.properties")

cat >"$stage/MANIFEST.MF" <<MANIFEST
Manifest-Version: 1.0
Automatic-Module-Name: ka.tovik.selvo.jvarnel
Implementation-Title: Varnel
Implementation-Version: $varnel_version
Created-By: Varnel tools/jar.sh
MANIFEST

args=()
for entry in "${entries[@]}"; do args+=(-C "$stage" "$entry"); done
date=$(date -u -d "@$SOURCE_DATE_EPOCH" +%Y-%m-%dT%H:%M:%SZ)
"$jdk/bin/jar" --create --file "$stage/out.jar" --manifest "$stage/MANIFEST.MF" --date "$date" "${args[@]}"
mv -f "$stage/out.jar" "$jar"
(cd dist && sha256sum "${jar#dist/}" >"${jar#dist/}.sha256")
cat "$jar.sha256"
