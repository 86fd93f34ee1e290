#!/bin/sh
# Installs, through apt-get, the Debian packages that building and testing
# kestrine need and that are missing. Extra package names may be given as
# arguments (CI adds the fuzzing compiler this way).
set -eu
packages="g++ make cmake pkg-config libpcap-dev libgtest-dev tcpdump libssl-dev libdeflate-dev $*"
# Intel's multi-buffer crypto library decrypts frame batches; Debian builds it for amd64 alone.
if [ "$(dpkg --print-architecture)" = amd64 ]; then
    packages="$packages libipsec-mb-dev"
fi
missing=""
for package in $packages; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $package"
    fi
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
