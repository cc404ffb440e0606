#!/bin/sh
# The release packages, checked as a packager and a user would: the commit's source built once
# more in other folders gives the same bytes, binaries and packages alike, as the test run's own
# build trees; lintian finds no error or warning in the Debian package; the package installs
# into a scratch root with every format where hosts look and removes without a trace; the
# Windows installer, run silently under Wine, puts each file where it belongs, registers its
# uninstaller, and the uninstaller removes both.
# The test run's trees must be built from the commit itself (a fresh clone, as CI has).
# Usage: release_test.sh <source-dir> <native-build> <windows-build>
set -eu
[ $# -eq 3 ] || { echo "usage: $0 <source-dir> <native-build> <windows-build>" >&2; exit 2; }
src=$(cd "$1" && pwd)
native=$(cd "$2" && pwd)
windows=$(cd "$3" && pwd)
release="$src/packaging/release.sh"
work=$(mktemp -d)
cleanup() {
    [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
export LC_ALL=C
SOURCE_DATE_EPOCH=$(git -C "$src" log -1 --format=%ct)
export SOURCE_DATE_EPOCH
version=$(sed -n 's/^project(Quarnel VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$(git -C "$src" status --porcelain --untracked-files=no)" ] &&
    echo "note: $src has uncommitted changes, which the second build does not see" >&2

# ---- the same bytes from other folders ------------------------------------------------------
archive="$work/quarnel-$version-source.tar.gz"
git -C "$src" archive --format=tar --prefix="quarnel-$version/" HEAD | gzip -9n >"$archive"
mkdir -p "$work/elsewhere"
tar -xzf "$archive" -C "$work/elsewhere"
other="$work/elsewhere/quarnel-$version"
"$release" build "$other" "$work/build"
"$release" package "$other" "$work/build/linux" "$work/build/windows" "$archive" "$work/a"
"$release" package "$src" "$native" "$windows" "$archive" "$work/b"
for f in Quarnel.so formats/Quarnel.clap formats/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so \
    formats/Quarnel.lv2/Quarnel.so formats/Quarnel.lv2/Quarnel.ttl formats/Quarnel.lv2/presets.ttl \
    formats/quarnel tools/quarnel-render tools/quarnel-bank tools/quarnel-presets; do
    cmp -s "$work/build/linux/$f" "$native/$f" || fail "linux $f differs between the two builds"
done
for f in Quarnel.dll formats/Quarnel.clap formats/Quarnel.vst3/Contents/x86_64-win/Quarnel.vst3; do
    cmp -s "$work/build/windows/$f" "$windows/$f" || fail "windows $f differs between the two builds"
done
files="quarnel_${version}_amd64.deb Quarnel-$version-win64-setup.exe Quarnel-$version-win64.zip
Quarnel-$version-linux-x64.tar.gz quarnel-$version-source.tar.gz SHA256SUMS"
for f in $files; do
    [ -s "$work/a/$f" ] || fail "$f was not made"
    cmp -s "$work/a/$f" "$work/b/$f" || fail "$f differs between the two builds"
done
(cd "$work/a" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match the files"

# ---- the Debian package -------------------------------------------------------------------
deb="$work/a/quarnel_${version}_amd64.deb"
"$src/packaging/lintian-check.sh" "$deb" >"$work/lintian.txt" 2>&1 || {
    cat "$work/lintian.txt" >&2
    fail "lintian reports errors or warnings"
}
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
: >"$root/var/lib/dpkg/status"
dpkg_root() { dpkg --root="$root" --log=/dev/null --force-depends "$@" >/dev/null; }
dpkg_root -i "$deb" || fail "the package does not install"
for f in usr/lib/vst/Quarnel.so usr/lib/vst3/Quarnel.vst3/Contents/x86_64-linux/Quarnel.so \
    usr/lib/lv2/Quarnel.lv2/manifest.ttl usr/lib/lv2/Quarnel.lv2/Quarnel.so \
    usr/lib/clap/Quarnel.clap usr/bin/quarnel usr/bin/quarnel-render usr/bin/quarnel-bank \
    usr/bin/quarnel-presets usr/share/man/man1/quarnel-render.1.gz \
    usr/share/doc/quarnel/copyright usr/share/doc/quarnel/changelog.gz; do
    [ -f "$root/$f" ] || fail "the package does not install $f"
done
"$root/usr/bin/quarnel-render" --plugin "$root/usr/lib/vst/Quarnel.so" --list-programs |
    grep -q "Bell 8" || fail "the packaged render tool cannot play the packaged plug-in"
dpkg_root -r quarnel || fail "the package does not remove"
left=$(find "$root/usr" -type f 2>/dev/null | head -5)
[ -z "$left" ] || fail "removing the package leaves files: $left"

# ---- the Windows installer under Wine ---------------------------------------------------------
export WINEPREFIX="$work/wine" WINEDEBUG=-all WINEARCH=win64
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
wineboot -i >/dev/null 2>&1 </dev/null || true
drive="$WINEPREFIX/drive_c"
key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quarnel'
wine "$work/a/Quarnel-$version-win64-setup.exe" /S '/D=C:\Plugins\VST2' </dev/null >/dev/null 2>&1 ||
    fail "the installer fails"
wineserver -w
installed="Program Files/Common Files/VST3/Quarnel.vst3/Contents/x86_64-win/Quarnel.vst3
Program Files/Common Files/CLAP/Quarnel.clap
Plugins/VST2/Quarnel.dll
Program Files/Quarnel/Uninstall.exe
Program Files/Quarnel/LICENSE.txt"
printf '%s\n' "$installed" | while IFS= read -r f; do
    [ -f "$drive/$f" ] || { echo "FAIL: the installer does not put C:/$f" >&2; echo x >>"$work/missing"; }
done
[ -f "$work/missing" ] && fail "files missing after the silent install"
cmp -s "$drive/Plugins/VST2/Quarnel.dll" "$windows/Quarnel.dll" ||
    fail "the installed Quarnel.dll is not the built one"
wine reg query "$key" /v DisplayVersion 2>/dev/null | grep -q "$version" ||
    fail "the uninstaller is not registered with version $version"
wine "$drive/Program Files/Quarnel/Uninstall.exe" /S </dev/null >/dev/null 2>&1 ||
    fail "the uninstaller fails"
wineserver -w
for f in "Program Files/Common Files/VST3/Quarnel.vst3" "Program Files/Common Files/CLAP/Quarnel.clap" \
    "Plugins/VST2/Quarnel.dll" "Program Files/Quarnel"; do
    [ -e "$drive/$f" ] && fail "the uninstaller leaves C:/$f"
done
wine reg query "$key" >/dev/null 2>&1 && fail "the uninstaller leaves its registry key"

[ "$failures" -eq 0 ] || exit 1
echo "release packages: same bytes from two builds, lintian clean, installed and removed cleanly"
