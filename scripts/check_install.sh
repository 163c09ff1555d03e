#!/bin/sh
# Builds a small host program against an installed libtarn, once through
# pkg-config and once through CMake's find_package, and runs both.
set -eu
PREFIX=$1
WORK=$2
rm -rf "$WORK" && mkdir -p "$WORK"
LIBDIR=$(dirname "$(find "$PREFIX" -name tarn.pc | head -1)")/..
cat > "$WORK/host.c" <<'SRC'
#include <tarn.h>
#include <stdio.h>
int main(void) {
    ConfigOpts opts;
    setDefaultConfigOpts(&opts);
    printf("distSF %u\n", (unsigned)opts.distSF);
    return opts.distSF == 1000 ? 0 : 1;
}
SRC
PKG_CONFIG_PATH="$LIBDIR/pkgconfig" cc -std=c11 "$WORK/host.c" -o "$WORK/host_pc" \
    $(PKG_CONFIG_PATH="$LIBDIR/pkgconfig" pkg-config --cflags --libs tarn)
LD_LIBRARY_PATH="$LIBDIR" "$WORK/host_pc"
mkdir -p "$WORK/cm"
cat > "$WORK/cm/CMakeLists.txt" <<'SRC'
cmake_minimum_required(VERSION 3.25)
project(host C)
find_package(tarn REQUIRED)
add_executable(host ../host.c)
target_link_libraries(host PRIVATE tarn::tarn)
SRC
cmake -S "$WORK/cm" -B "$WORK/cm/build" -DCMAKE_PREFIX_PATH="$PREFIX" >/dev/null
cmake --build "$WORK/cm/build" >/dev/null
LD_LIBRARY_PATH="$LIBDIR" "$WORK/cm/build/host"
