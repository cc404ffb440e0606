#!/bin/sh
# make dist: the release packages of the commit checked out (HEAD), built from its git archive
# in <work> (not from the working tree, so nothing uncommitted ends up in a package), into
# <out>; lintian then checks the Debian package.
# Usage: dist.sh <work> <out>
set -eu
[ $# -eq 2 ] || { echo "usage: $0 <work> <out>" >&2; exit 2; }
here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
work=$1
out=$2
version=$(sed -n 's/^project(Quarnel VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
SOURCE_DATE_EPOCH=$(git -C "$repo" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
    echo "dist.sh: the working tree has uncommitted changes; the packages hold HEAD only" >&2
fi
rm -rf "$work"
mkdir -p "$work/source"
archive="$work/quarnel-$version-source.tar.gz"
git -C "$repo" archive --format=tar --prefix="quarnel-$version/" HEAD | gzip -9n >"$archive"
tar -xzf "$archive" -C "$work/source"
"$here/release.sh" build "$work/source/quarnel-$version" "$work"
"$here/release.sh" package "$work/source/quarnel-$version" "$work/linux" "$work/windows" \
    "$archive" "$out"
"$here/lintian-check.sh" "$out/quarnel_${version}_amd64.deb"
(cd "$out" && ls -l && cat SHA256SUMS)
