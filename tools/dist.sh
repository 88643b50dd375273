#!/usr/bin/env bash
# make dist: packs what `make` put in dist/ into dist/varnel-<release>.tar.gz,
# under one folder varnel-<release>/: every platform folder of dist/ (the
# libraries, their libVarnel.so links, the DLLs), the jar varnel-<release>.jar
# that carries them all (tools/jar.sh, also left in dist/ with its .sha256),
# JVarnel.java, README.md, docs/, examples/ and SHA256SUMS, the checksums of all
# of them. Beside it goes varnel-<release>.tar.gz.sha256, the archive's own
# checksum.
#
# The archive is reproducible: entries sorted by name, owner and group 0,
# fixed modes, every time SOURCE_DATE_EPOCH (the Makefile sets the last
# commit's), and gzip without a file name or time.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source tools/version.sh
export LC_ALL=C
umask 022

die() {
  echo "dist: $*" >&2
  exit 1
}
[ -n "${SOURCE_DATE_EPOCH:-}" ] || die "SOURCE_DATE_EPOCH is not set (outside a git checkout, set it to the commit's time)"

name=varnel-$varnel_release
archive=dist/$name.tar.gz
for required in linux-{x86_64,x86,aarch64,armhf}/"$varnel_library" windows-x86/Varnel.dll; do
  [ -f "dist/$required" ] || die "dist/$required missing: run make first"
done

tools/jar.sh >/dev/null

mkdir -p build
stage=$(mktemp -d "$root/build/dist.XXXXXX")
trap 'rm -rf "$stage"' EXIT
top=$stage/$name
mkdir "$top"
# Every platform folder the build made; names starting with a dot are a
# build's temporary files.
for folder in dist/*/; do
  platform=$(basename "$folder")
  mkdir "$top/$platform"
  for entry in "$folder"*; do
    if [ -L "$entry" ]; then
      cp -P "$entry" "$top/$platform/"
    elif [ -f "$entry" ]; then
      install -m 0755 "$entry" "$top/$platform/"
    fi
  done
done
install -m 0644 java/ka/tovik/selvo/jvarnel/JVarnel.java README.md "dist/$name.jar" "$top/"
install -D -m 0644 -t "$top/docs" docs/*.md
install -D -m 0644 -t "$top/examples" examples/*.java
(cd "$top" && find . -type f | sed 's|^\./||' | sort | xargs sha256sum >"$stage/SHA256SUMS")
install -m 0644 "$stage/SHA256SUMS" "$top/SHA256SUMS"

tar --create --format=gnu --sort=name --owner=0 --group=0 --numeric-owner --mtime="@$SOURCE_DATE_EPOCH" \
  --directory="$stage" "$name" | gzip -9 -n >"$stage/archive.tar.gz"
mv -f "$stage/archive.tar.gz" "$archive"
(cd dist && sha256sum "$name.tar.gz" >"$name.tar.gz.sha256")
cat "dist/$name.tar.gz.sha256"
