#!/bin/sh
# Builds hostap's wlantest, the decryption oracle test's second decoder,
# into DIR (once: the build script keeps what it built) and links it as
# DIR/wlantest. Without the shared oracles folder it says so and succeeds:
# the test that needs wlantest then skips.
#
#   build_wlantest.sh ORACLES_DIR DIR
set -eu
script=$1/build-wlantest.sh
rm -f "$2/wlantest"
if [ ! -f "$script" ]; then
    echo "no $script: wlantest left out"
    exit 0
fi
program=$(sh "$script" "$2")
ln -s "$program" "$2/wlantest"
echo "wlantest: $program"
