#!/bin/sh
# The LV2 bundle's Turtle (manifest, plug-in description, presets) checked by sord_validate
# against Debian's LV2 schemas, with the few third-party terms the framework writes declared
# beside them (lv2_extra_vocabulary.ttl). Any error or warning fails.
# The schemas are the files of the lv2-dev package, so that other plug-ins installed beside them
# are not validated too.
# Usage: lv2_turtle_test.sh <bundle>
set -eu
bundle=$1
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck disable=SC2046
report=$(sord_validate $(dpkg -L lv2-dev | grep '\.ttl$' | sort) "$here/lv2_extra_vocabulary.ttl" \
    "$bundle"/*.ttl 2>&1) || true
problems=$(printf '%s\n' "$report" | grep -c '^\(error\|warning\)' || true)
for f in manifest.ttl Quarnel.ttl presets.ttl; do
    [ -f "$bundle/$f" ] || { echo "FAIL: $bundle/$f is missing" >&2; exit 1; }
done
if [ "$problems" -ne 0 ]; then
    printf '%s\n' "$report" >&2
    echo "FAIL: sord_validate reports $problems problems" >&2
    exit 1
fi
printf '%s\n' "$report" | tail -1
