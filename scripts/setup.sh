#!/bin/sh
# Installs what libtarn needs from Debian's packages. Idempotent: packages
# already present are not touched, and nothing is printed for them.
set -eu

PACKAGES="cmake make g++ python3 binutils libeigen3-dev libgtest-dev googletest libbenchmark-dev
android-liblog-dev pkg-config g++-arm-linux-gnueabihf qemu-user clang libclang-rt-14-dev
libcli11-dev nlohmann-json3-dev locales gnuplot-nox
python3-dev python3-pybind11 pybind11-dev python3-numpy python3-matplotlib python3-dask
python3-distributed python3-pytest"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 || { echo "setup: need root to install:$missing" >&2; exit 1; }
    SUDO=sudo
fi
echo "setup: installing$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
