#!/usr/bin/env bash
# make check-reproducible: builds the committed tree a second time, from a
# fresh copy in a directory of its own, later, with another umask and time
# zone, and compares every file of its dist/ (the libraries, the DLLs, the
# release archive and its checksums) with this tree's, byte for byte. Prints
# the checksums; exits non-zero when anything differs. The copy is removed
# afterwards.
#
# Expects `make all dist` done in this tree (the make target does it), from a
# tree without uncommitted changes: both builds must be of the same commit.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
export LC_ALL=C

die() {
  echo "check-reproducible: $*" >&2
  exit 1
}
[ -z "$(git status --porcelain --untracked-files=no)" ] ||
  die "the tree has uncommitted changes; commit them, then run make again: both builds must be of one commit"
commit=$(git rev-parse HEAD)
epoch=$(git log -1 --format=%ct "$commit")

copy=$(mktemp -d /tmp/varnel-rebuild.XXXXXX)
trap 'rm -rf "$copy"' EXIT
git archive --format=tar --prefix=src/ "$commit" | tar -x -C "$copy"
echo "second build of $commit in $copy/src" >&2
# No git there: the commit's time is handed over as the Makefile would read it.
(
  umask 077
  cd "$copy/src"
  TZ=Pacific/Kiritimati make all dist JOBS="${JOBS:-2}" SOURCE_DATE_EPOCH="$epoch" >"$copy/build.log" 2>&1
) || {
  tail -n 40 "$copy/build.log" >&2
  die "the second build failed"
}

checksums() {  # checksums DIR: "sha256  path" of every file below DIR/dist
  (cd "$1/dist" && find . -type f ! -name '.*' | sed 's|^\./||' | sort | xargs sha256sum)
}
first=$(checksums "$root")
second=$(checksums "$copy/src")
echo "$first"
if [ "$first" != "$second" ]; then
  echo "differs in the second build:"
  diff <(echo "$first") <(echo "$second") || true
  die "the builds differ"
fi
[ -n "$first" ] || die "dist/ is empty"
echo "reproducible: $(wc -l <<<"$first") files identical in both builds of $commit"
