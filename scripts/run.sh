#!/bin/sh
# Installs what is missing, builds libtarn and its tools, and runs the
# library's main job: a simulated ranging session through the public interface.
# Extra arguments go to the tool; without any it runs the built-in session in
# both tracking modes (a second link in mode 1 on the same procedures).
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
"$ROOT/scripts/setup.sh"
BUILD="$ROOT/build/release"
cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTARN_BUILD_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j"$(nproc)" >/dev/null
if [ "$#" -eq 0 ]; then
    set -- run --tracking both
fi
exec "$BUILD/tools/tarn" "$@"
