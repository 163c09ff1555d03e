#!/bin/sh
# Installs what is missing, builds and runs every check of libtarn:
#   the include layering of src/ (no build needed),
#   native suite (with the exported-symbol and layering checks and the
#   benchmarks' build),
#   the Python package's tests (a Dask cluster of 2 workers on loopback) and
#   its examples,
#   the suite under AddressSanitizer + UndefinedBehaviorSanitizer,
#   the concurrency tests under ThreadSanitizer,
#   the suite cross-built for 32-bit ARM and run under qemu-arm,
#   the fuzz targets for a bounded time,
#   one chart of each kind drawn by the tool,
#   an install and a consumer build through pkg-config and CMake.
# Exits non-zero on the first failure.
set -eu
ROOT=$(cd "$(dirname "$0")/.." && pwd)
B="$ROOT/build"
JOBS=${JOBS:-$(nproc)}
FUZZ_SECONDS=${TARN_FUZZ_SECONDS:-40}

start=$(date +%s)
step() { printf '\n==== %s (at %d s) ====\n' "$*" "$(( $(date +%s) - start ))"; }

step "setup"
"$ROOT/scripts/setup.sh"

step "include layering (engine below surface)"
python3 "$ROOT/scripts/check_layers.py" "$ROOT/src"

step "native build and tests"
cmake -S "$ROOT" -B "$B/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_BUILD_BENCH=ON >/dev/null
cmake --build "$B/native" -j"$JOBS"
ctest --test-dir "$B/native" --output-on-failure -j"$JOBS"

step "Python package (Debian's /usr/bin/python3)"
PY="$B/python"
rm -rf "$PY" && mkdir -p "$PY"
(cd "$PY" && PYTHONPATH="$B/native/python" TARN_TOOL="$B/native/tools/tarn" MPLBACKEND=Agg \
    /usr/bin/python3 -m pytest -q -p no:cacheprovider "$ROOT/python/tests")
for example in "$ROOT"/examples/*.py; do
    (cd "$PY" && PYTHONPATH="$B/native/python" MPLBACKEND=Agg /usr/bin/python3 "$example" >/dev/null)
done
for chart in walk_modes worst_procedure; do
    [ -s "$PY/$chart.png" ] || { echo "example chart $chart.png was not drawn" >&2; exit 1; }
done
# The documented install into the interpreter's local site directory, staged.
cmake --install "$B/native" --component python --prefix "$PY/stage" >/dev/null
(cd /tmp && PYTHONPATH="$(echo "$PY"/stage/lib/python3*/dist-packages)" /usr/bin/python3 -c \
    "import tarn; assert len(tarn.simulate(distance=1.0, procedures=2)) == 2")

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S "$ROOT" -B "$B/asan" -DCMAKE_BUILD_TYPE=Debug -DTARN_SANITIZE=address,undefined >/dev/null
cmake --build "$B/asan" -j"$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$B/asan" --output-on-failure -j"$JOBS" -E '^exports$'

step "ThreadSanitizer (concurrency tests)"
cmake -S "$ROOT" -B "$B/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_SANITIZE=thread \
    -DTARN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$B/tsan" -j"$JOBS" --target test_interface test_interface_start
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir "$B/tsan" --output-on-failure -R "^interface"

step "32-bit ARM under qemu-arm"
cmake -S "$ROOT" -B "$B/arm" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/arm-linux-gnueabihf.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARN_GTEST_FROM_SOURCE=ON -DTARN_WITH_LIBLOG=OFF \
    -DTARN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$B/arm" -j"$JOBS"
ctest --test-dir "$B/arm" --output-on-failure -j"$JOBS"

step "fuzz targets (${FUZZ_SECONDS}s each)"
CC=clang CXX=clang++ cmake -S "$ROOT" -B "$B/fuzz" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DTARN_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
    -DTARN_BUILD_FUZZ=ON -DTARN_BUILD_TESTS=OFF -DTARN_BUILD_TOOLS=OFF >/dev/null
cmake --build "$B/fuzz" -j"$JOBS"
for target in "$B"/fuzz/fuzz/fuzz_*; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="$B/fuzz/corpus/$name"
    mkdir -p "$corpus"
    [ -d "$ROOT/fuzz/corpus/$name" ] && cp -r "$ROOT/fuzz/corpus/$name/." "$corpus/"
    echo "-- $name"
    if ! (cd "$B/fuzz" && "$target" -max_total_time="$FUZZ_SECONDS" "$corpus" >"$B/fuzz/$name.log" 2>&1); then
        tail -60 "$B/fuzz/$name.log"
        echo "fuzz target $name found a fault" >&2
        exit 1
    fi
    tail -1 "$B/fuzz/$name.log"
done

step "charts"
C="$B/charts"
rm -rf "$C" && mkdir -p "$C"
T="$B/native/tools/tarn"
"$T" run -d 3 -r 3:0.5 -n 20 -q --plot "$C/session.png" >/dev/null
"$T" evaluate --scenario los --distances 2 --no-walk -n 5 --plot "$C/errors.png" >/dev/null
"$T" simulate -d 4 -r 3:0.5 -a 2 -n 1 -o "$C/one.jsonl" 2>/dev/null
"$T" plot procedure "$C/one.jsonl" -o "$C/procedure.png"
for chart in session errors procedure; do
    [ -s "$C/$chart.png" ] || { echo "chart $chart.png was not drawn" >&2; exit 1; }
done

step "install and consume"
rm -rf "$B/stage"
cmake --install "$B/native" --prefix "$B/stage" >/dev/null
sh "$ROOT/scripts/check_install.sh" "$B/stage" "$B/consumer"

echo
echo "all checks passed in $(( $(date +%s) - start )) s"
