#!/bin/sh
# Renders the demo piece, examples/demo.mid, through the built Linux plug-in into out/demo.wav
# (relative to the source tree) and prints the render summary.
# Usage: demo.sh <native-build-dir> <dist-dir>
set -e
if [ $# -ne 2 ]; then
    echo "usage: $0 <native-build-dir> <dist-dir>" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$1" && pwd)
dist=$(cd "$2" && pwd)
render="$build/tools/quarnel-render"
plugin="$dist/linux-x64/Quarnel.so"
if [ ! -x "$render" ]; then
    echo "demo.sh: $render is missing: build the native tree first (make native)" >&2
    exit 1
fi
if [ ! -f "$plugin" ]; then
    echo "demo.sh: $plugin is missing: build the native tree first (make native)" >&2
    exit 1
fi
cd "$root"
mkdir -p out
exec "$render" --plugin "$plugin" --output out/demo.wav examples/demo.mid
