#!/bin/sh
# Compares the speed of two revisions of this repository:
#   scripts/bench_compare.sh BASE_REV NEW_REV [benchmark filter]
# Builds tarn_bench of each revision (RelWithDebInfo, as scripts/check.sh
# does) in its own detached worktree under a temporary directory, removed at
# the end, and reports for each benchmark the filter selects (default: the
# full estimate with 1, 2 and 4 paths)
#   instructions per iteration under callgrind, which the machine's load does
#     not change: two repetitions of the benchmark, once with one iteration
#     and once with the N iterations a minimum time gave; the cost of the
#     second repetition (a dump as the benchmark function returns) of the
#     second run less that of the first, over N - 1, so setup cancels;
#   wall and CPU time, the two binaries run alternately ROUNDS times: each
#     round's ratio NEW/BASE and the median ratio.
# Environment: ROUNDS (5), JOBS (2), CG_MIN_TIME (the minimum time under
# callgrind, 5 s), BENCH_ARGS (more arguments for the timed runs).
set -eu
[ $# -ge 2 ] || { echo "usage: $0 BASE_REV NEW_REV [benchmark filter]" >&2; exit 2; }
FILTER=${3:-'^BM_FullEstimate/paths:[124](/|$)'}
ROUNDS=${ROUNDS:-5}
JOBS=${JOBS:-2}
CG_MIN_TIME=${CG_MIN_TIME:-5}
command -v valgrind >/dev/null || { echo "valgrind is missing (scripts/setup.sh)" >&2; exit 1; }
REPO=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
BASE=$(git -C "$REPO" rev-parse --verify "$1^{commit}")
NEW=$(git -C "$REPO" rev-parse --verify "$2^{commit}")

T=$(mktemp -d)
cleanup() {
    for side in base new; do
        [ -d "$T/$side" ] && git -C "$REPO" worktree remove --force "$T/$side"
    done
    rm -rf "$T"
    git -C "$REPO" worktree prune
}
trap cleanup EXIT
trap 'exit 130' INT TERM

LAUNCHER=""
command -v ccache >/dev/null &&
    LAUNCHER="-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache"

# Each revision builds under its worktree as a developer's build/native
# would, so ccache (with CCACHE_BASEDIR) finds what such builds compiled.
build() {  # side revision
    echo "-- building tarn_bench of $(git -C "$REPO" rev-parse --short "$2") ($1)"
    git -C "$REPO" worktree add --detach -q "$T/$1" "$2"
    # shellcheck disable=SC2086
    cmake -S "$T/$1" -B "$T/$1/build/native" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTARN_BUILD_BENCH=ON -DTARN_BUILD_TESTS=OFF $LAUNCHER >"$T/$1.build.log" 2>&1 &&
    cmake --build "$T/$1/build/native" -j"$JOBS" --target tarn_bench >>"$T/$1.build.log" 2>&1 ||
        { tail -30 "$T/$1.build.log"; echo "tarn_bench of $2 does not build" >&2; exit 1; }
}
build base "$BASE"
build new "$NEW"
BIN_base="$T/base/build/native/bench/tarn_bench"
BIN_new="$T/new/build/native/bench/tarn_bench"

# The benchmarks both revisions have; those only one has are named.
"$BIN_base" --benchmark_list_tests --benchmark_filter="$FILTER" >"$T/base.list"
"$BIN_new" --benchmark_list_tests --benchmark_filter="$FILTER" >"$T/new.list"
grep -Fxv -f "$T/new.list" "$T/base.list" | sed 's/^/-- only in BASE: /' || true
grep -Fxv -f "$T/base.list" "$T/new.list" | sed 's/^/-- only in NEW: /' || true
grep -Fx -f "$T/new.list" "$T/base.list" >"$T/common.list" ||
    { echo "no benchmark matching '$FILTER' in both revisions" >&2; exit 1; }
escape() { sed 's/[][\.*^$+?(){}|]/\\&/g'; }
COMMON="^($(escape <"$T/common.list" | paste -sd'|'))\$"

echo "-- load before callgrind: $(uptime)"
i=0
while read -r name; do
    i=$((i + 1))
    fn=${name%%/*}
    pattern=$(printf '%s' "$name" | escape)
    for side in base new; do
        eval bin=\$BIN_$side
        for min_time in 1e-9 "$CG_MIN_TIME"; do
            echo "-- callgrind: $name ($side, min time $min_time s)"
            d="$T/cg/$i.$side.$min_time"
            mkdir -p "$d"
            # A dump each time the benchmark function returns (worker thread
            # included): the last one holds the second repetition.
            valgrind --tool=callgrind --callgrind-out-file="$d/out" --dump-after="*$fn(*" \
                "$bin" --benchmark_filter="^$pattern\$" --benchmark_min_time="$min_time" \
                --benchmark_repetitions=2 --benchmark_format=json --benchmark_out="$d/run.json" \
                </dev/null >/dev/null 2>"$d/log" || { tail -20 "$d/log"; exit 1; }
        done
    done
done <"$T/common.list"

echo "-- load before the timed rounds: $(uptime)"
r=1
while [ "$r" -le "$ROUNDS" ]; do
    order="base new"
    [ $((r % 2)) -eq 0 ] && order="new base"  # alternate which side runs first
    for side in $order; do
        echo "-- timed round $r ($side)"
        eval bin=\$BIN_$side
        # shellcheck disable=SC2086
        "$bin" --benchmark_filter="$COMMON" --benchmark_format=json \
            --benchmark_out="$T/time.$r.$side.json" ${BENCH_ARGS:-} >/dev/null
    done
    r=$((r + 1))
done
echo "-- load after: $(uptime)"

python3 - "$T" "$ROUNDS" "$(git -C "$REPO" rev-parse --short "$BASE")" \
    "$(git -C "$REPO" rev-parse --short "$NEW")" "$CG_MIN_TIME" <<'EOF'
import glob, json, os, re, statistics, sys
t, rounds, base, new = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
min_times = ["1e-9", sys.argv[5]]
names = open(os.path.join(t, "common.list")).read().split()

def last_run(d):
    """Instructions and iterations of the second repetition (the last dump)."""
    dumps = glob.glob(os.path.join(d, "out.*"))
    if not dumps:
        sys.exit("no callgrind dump in %s: the benchmark's function has another name" % d)
    last = max(dumps, key=lambda p: int(p.rsplit(".", 1)[1]))
    cost = int(re.search(r"^summary: (\d+)", open(last).read(), re.M).group(1))
    runs = json.load(open(os.path.join(d, "run.json")))["benchmarks"]
    iters = [r for r in runs if r.get("run_type") == "iteration"][-1]["iterations"]
    return cost, iters

def per_iteration(i, side):
    (c0, n0), (c1, n1) = [last_run(os.path.join(t, "cg", "%d.%s.%s" % (i, side, m)))
                          for m in min_times]
    return ((c1 - c0) / (n1 - n0) if n1 > n0 else None), n1

print("\nInstructions per iteration (callgrind; N iterations less one, over N - 1)")
print("| benchmark | BASE %s | NEW %s | NEW/BASE | N BASE, NEW |" % (base, new))
print("|---|---|---|---|---|")
for i, name in enumerate(names, 1):
    b, bn = per_iteration(i, "base")
    n, nn = per_iteration(i, "new")
    if b is None or n is None:
        print("| %s | one iteration: raise CG_MIN_TIME | | | %d, %d |" % (name, bn, nn))
        continue
    print("| %s | %.3f M | %.3f M | %.3f | %d, %d |" % (name, b / 1e6, n / 1e6, n / b, bn, nn))

def timed(r, side):
    out = {}
    for b in json.load(open(os.path.join(t, "time.%d.%s.json" % (r, side))))["benchmarks"]:
        if b.get("run_type", "iteration") == "iteration":
            out.setdefault(b["name"], []).append(b)
    return out

runs = [(timed(r, "base"), timed(r, "new")) for r in range(1, rounds + 1)]
measures = [("real_time", "wall"), ("cpu_time", "calling thread's CPU"),
            ("worker_cpu_us", "worker CPU")]
for key, label in measures:
    rows = []
    for name in names:
        ratios, values = [], []
        for b, n in runs:
            if name not in b or name not in n or key not in b[name][0] or key not in n[name][0]:
                break
            bv = statistics.median(x[key] for x in b[name])
            nv = statistics.median(x[key] for x in n[name])
            ratios.append(nv / bv)
            values.append((bv, nv))
        if len(ratios) == rounds:
            rows.append((name, ratios, values, b[name][0].get("time_unit", "")))
    if not rows:
        continue
    print("\n%s time, NEW/BASE per round (alternating order) and the median" % label)
    print("| benchmark | " + " | ".join("r%d" % r for r in range(1, rounds + 1)) +
          " | median | BASE median | NEW median |")
    print("|---|" + "---|" * (rounds + 3))
    for name, ratios, values, unit in rows:
        unit = "us" if key == "worker_cpu_us" else unit
        print("| %s | %s | **%.3f** | %.1f %s | %.1f %s |" % (
            name, " | ".join("%.3f" % x for x in ratios), statistics.median(ratios),
            statistics.median(v[0] for v in values), unit,
            statistics.median(v[1] for v in values), unit))
EOF
