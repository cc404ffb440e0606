#!/bin/sh
# make install and make install-user against a finished native build: installs into a scratch
# DESTDIR (and HOME) and checks that exactly the expected files land, with the right modes.
# Usage: install_test.sh <source-dir> <native-build-dir>
set -eu
if [ $# -ne 2 ]; then
    echo "usage: $0 <source-dir> <native-build-dir>" >&2
    exit 2
fi
src=$(cd "$1" && pwd)
build=$(cd "$2" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
stage="$scratch/stage"
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

make -s -C "$src" install DESTDIR="$stage" PREFIX=/usr NATIVE="$build" >/dev/null

expected="$scratch/expected"
{
    echo usr/lib/vst/Quarnel.so
    (cd "$build/formats" && for f in Quarnel.lv2/*; do echo "usr/lib/lv2/$f"; done)
    echo usr/lib/vst3/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so
    echo usr/lib/clap/Quarnel.clap
    echo usr/bin/quarnel
    echo usr/bin/quarnel-render
    echo usr/bin/quarnel-bank
    [ -f "$build/tools/quarnel-presets" ] && echo usr/bin/quarnel-presets
    for f in README.md LICENSE NOTICE; do echo "usr/share/doc/quarnel/$f"; done
    (cd "$src" && for f in docs/*.md docs/*.png docs/programs/*.png; do
        echo "usr/share/doc/quarnel/$f"
    done)
    (cd "$src/examples" && for f in *; do echo "usr/share/quarnel/examples/$f"; done)
} | sort >"$expected"
(cd "$stage" && find . -type f | sed 's|^\./||' | sort) >"$scratch/installed"
if ! diff -u "$expected" "$scratch/installed"; then
    fail "installed tree differs from the expected one"
fi

cmp -s "$build/Quarnel.so" "$stage/usr/lib/vst/Quarnel.so" || fail "Quarnel.so is not the built one"
for tool in "$stage"/usr/bin/*; do
    [ -x "$tool" ] || fail "$tool is not executable"
done
[ -x "$stage/usr/lib/vst/Quarnel.so" ] && fail "Quarnel.so is executable"
# The installed render tool plays the installed plug-in when told none.
(cd "$scratch" && env -u QUARNEL_PLUGIN "$stage/usr/bin/quarnel-render" --list-programs) |
    grep -q "Lead 1" || fail "quarnel-render does not default to the installed plug-in"
for tool in "$stage"/usr/bin/*; do
    grep -q -F "$src" "$tool" && fail "$tool holds the path of the source folder"
done
cmp -s "$src/NOTICE" "$stage/usr/share/doc/quarnel/NOTICE" || fail "NOTICE differs"

HOME="$scratch/home" make -s -C "$src" install-user NATIVE="$build" >/dev/null
cmp -s "$build/Quarnel.so" "$scratch/home/.vst/Quarnel.so" || fail "install-user did not copy the plug-in"
for f in .lv2/Quarnel.lv2/Quarnel.so .lv2/Quarnel.lv2/manifest.ttl .clap/Quarnel.clap \
    .vst3/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so; do
    [ -f "$scratch/home/$f" ] || fail "install-user did not install $f"
done
cmp -s "$build/formats/Quarnel.clap" "$stage/usr/lib/clap/Quarnel.clap" || fail "Quarnel.clap is not the built one"

[ "$failures" -eq 0 ] || exit 1
echo "install tree as expected"
