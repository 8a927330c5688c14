#!/bin/sh
# Packs the build tree as tools/package does, then asks lintian: no error and no warning.
set -eu
config=$1
scratch=$2
rm -rf "$scratch"
if ! cpack --config "$config" -B "$scratch" >"$scratch.log" 2>&1; then
    cat "$scratch.log"
    exit 1
fi
lintian --fail-on error,warning "$scratch"/ftp-publisher_*.deb
