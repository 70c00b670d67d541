#!/bin/sh
# Installs what the project needs from Debian packages (only what is missing)
# and builds it in build/. Safe to run again: with everything in place it only
# runs an incremental build.
#
#   ./setup.sh            install, configure and build build/
#   ./setup.sh --deps     install only
set -eu
cd "$(dirname "$0")"

PACKAGES="build-essential cmake pkg-config git ca-certificates \
 zlib1g-dev libcurl4-openssl-dev libusb-1.0-0-dev libhidapi-dev libudev-dev \
 libzmq3-dev libczmq-dev \
 libgtest-dev libgmock-dev libbenchmark-dev \
 clang libclang-rt-dev clang-format \
 umockdev libumockdev-dev \
 libcpp-httplib-dev nlohmann-json3-dev \
 socat iproute2 util-linux procps curl"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
if [ -n "$missing" ]; then
    echo "setup: installing$missing"
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO="sudo"; fi
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
fi
[ "${1:-}" = "--deps" ] && exit 0

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -DUPDATER_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
