#!/bin/sh
# The Linux and the Windows plug-in render every built-in program identically: the digest
# program of each build (one source, tests/host/digest/render_digest.cpp) plays the same phrase
# through its own binary, and the two lists of output hashes must match line for line.
#
# Usage: binaries_identical_test.sh NATIVE_DIGEST SO WINDOWS_BUILD_DIR
set -e
native_digest=$1
so=$2
windows_dir=$(cd "$3" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$native_digest" "$so" > "$work/linux.txt"

export WINEPREFIX="$windows_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
# Under a virtual X server like the Windows suite, since both share the prefix.
xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot </dev/null >/dev/null 2>&1
    wine "$0/tests/quarnel_render_digest.exe" "$0/Quarnel.dll" </dev/null > "$1"
    rc=$?
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit $rc
' "$windows_dir" "$work/windows.raw"
tr -d '\r' < "$work/windows.raw" > "$work/windows.txt"

lines=$(wc -l < "$work/linux.txt")
if [ "$lines" -ne 552 ]; then
    echo "expected 552 renders from the Linux plug-in, got $lines" >&2
    exit 1
fi
if ! diff "$work/linux.txt" "$work/windows.txt" > "$work/diff.txt"; then
    echo "the Linux and Windows plug-ins render differently:" >&2
    head -20 "$work/diff.txt" >&2
    exit 1
fi
echo "552 renders identical on both binaries"
