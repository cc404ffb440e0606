#!/bin/sh
# Runs lintian on a Debian package and fails on any error or warning (information and
# pedantic tags are printed, not counted).
# Usage: lintian-check.sh <package.deb>
set -eu
report=$(lintian --info --display-info --pedantic "$1" 2>&1) || true
printf '%s\n' "$report"
if printf '%s\n' "$report" | grep -q '^[EW]: '; then
    echo "lintian-check.sh: lintian reports errors or warnings for $1" >&2
    exit 1
fi
