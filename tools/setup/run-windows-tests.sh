#!/bin/sh
# Runs the Windows build's CTest suite under Wine, headless, inside one virtual X server so that
# editor tests can create windows. The Wine prefix lives in the build tree and is shared by all
# test programs; wineserver and the prefix are started before ctest so that Wine's helper
# processes do not hold CTest's output pipes open.
set -e
build_dir=$(cd "$1" && pwd)
export WINEPREFIX="$build_dir/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
export WINEARCH=win64
exec xvfb-run -a -s "-screen 0 1024x768x24" sh -c '
    wineserver -p </dev/null >/dev/null 2>&1
    wine wineboot </dev/null >/dev/null 2>&1
    ctest --test-dir "$0" --output-on-failure
    rc=$?
    wineserver -k </dev/null >/dev/null 2>&1 || true
    exit $rc
' "$build_dir"
