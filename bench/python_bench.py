#!/usr/bin/python3
"""Measures the Python package against the tool, each comparison in one run:

  replay   a 1000-procedure JSON Lines file: `tarn replay FILE` (whole
           process) against tarn.replay(FILE) and
           tarn.replay(tarn.read_procedures(FILE)) in this process;
           runs alternate, best and median of --repeat each.
  batch    20 captures through tarn.batch.replay on a local Dask cluster
           of 1 and of 2 worker processes (loopback; workers started and
           warmed up before the clock runs), alternating.
  memory   a capture of about 50 MB: peak resident memory of `tarn replay
           --capture` against a Python process iterating
           tarn.read_capture(lazy=True), and one replaying it lazily.

    PYTHONPATH=build/native/python /usr/bin/python3 bench/python_bench.py \
        --tool build/native/tools/tarn [--only replay,batch,memory]

The machine's load average is printed with each result: times on a shared
machine are inflated, ratios within one run less so.
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

import tarn


def load():
    return "load %.1f" % os.getloadavg()[0]


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def bench_replay(tool, work, repeat):
    path = os.path.join(work, "replay1000.jsonl")
    subprocess.run([tool, "simulate", "-n", "1000", "-s", "1", "-o", path], check=True,
                   capture_output=True)
    runs = {"tool": [], "python path": [], "python arrays": []}
    tarn.replay(path)  # warm the page cache and the library's worker
    for _ in range(repeat):
        runs["tool"].append(timed(lambda: subprocess.run(
            [tool, "replay", path, "--csv", os.devnull], check=True, capture_output=True)))
        runs["python path"].append(timed(lambda: tarn.replay(path)))
        runs["python arrays"].append(timed(lambda: tarn.replay(tarn.read_procedures(path))))
    base = min(runs["tool"])
    print("replay of 1000 procedures (%s), best / median of %d:" % (load(), repeat))
    for k, v in runs.items():
        print("  %-14s %6.2f s / %6.2f s   ratio to the tool %.2f (median %.2f)" % (
            k, min(v), statistics.median(v), min(v) / base,
            statistics.median(v) / statistics.median(runs["tool"])))


def bench_batch(tool, work, repeat, files=20, procedures=100):
    from distributed import Client, LocalCluster
    paths = []
    for i in range(files):
        p = os.path.join(work, "c%02d.btsnoop" % i)
        subprocess.run([tool, "simulate", "-n", str(procedures), "-s", str(i + 1), "-d",
                        str(1 + i % 7), "--capture", p], check=True, capture_output=True)
        paths.append(p)
    clusters = {}
    for n in (1, 2):
        cluster = LocalCluster(n_workers=n, threads_per_worker=1, processes=True,
                               host="127.0.0.1", dashboard_address="127.0.0.1:0")
        client = Client(cluster)
        client.run(lambda: __import__("tarn"))
        clusters[n] = (cluster, client)
    times = {1: [], 2: []}
    tables = {}
    try:
        for _ in range(repeat):
            for n in (1, 2):
                client = clusters[n][1]
                t = time.perf_counter()
                tables[n] = tarn.batch.replay(paths, client=client)
                times[n].append(time.perf_counter() - t)
    finally:
        for cluster, client in clusters.values():
            client.close()
            cluster.close()
    same = same_table(tables[1], tables[2])
    same_alone = same_table(np.concatenate([tarn.batch.replay_file(p) for p in paths]), tables[2])
    print("batch of %d captures x %d procedures (%s), best / median of %d:" % (
        files, procedures, load(), repeat))
    print("  1 worker  %6.2f s / %6.2f s" % (min(times[1]), statistics.median(times[1])))
    print("  2 workers %6.2f s / %6.2f s   ratio %.2f (median %.2f)" % (
        min(times[2]), statistics.median(times[2]), min(times[2]) / min(times[1]),
        statistics.median(times[2]) / statistics.median(times[1])))
    print("  tables identical: 1 vs 2 workers %s, 2 workers vs each file alone %s" % (
        same, same_alone))


def same_table(a, b):
    if a.dtype != b.dtype or len(a) != len(b):
        return False
    for n in a.dtype.names:
        x, y = a[n], b[n]
        if x.dtype.kind == "f":
            if not np.array_equal(x, y, equal_nan=True):
                return False
        elif not (x == y).all():
            return False
    return True


def peak_kib(cmd, env=None):
    """Peak resident set of a command in KiB (GNU time's maximum RSS)."""
    r = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, check=True, capture_output=True,
                       text=True, env=env)
    return int(r.stderr.strip().splitlines()[-1])


def bench_memory(tool, work, megabytes=50):
    path = os.path.join(work, "big.btsnoop")
    n = int(megabytes * 1e6 / 3500)
    subprocess.run([tool, "simulate", "-n", str(n), "-s", "1", "--capture", path], check=True,
                   capture_output=True)
    size = os.path.getsize(path) / 1e6
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    py = sys.executable
    tool_kib = peak_kib([tool, "replay", "--capture", path, "--csv", os.devnull])
    numpy_kib = peak_kib([py, "-c", "import numpy"], env)
    base_kib = peak_kib([py, "-c", "import tarn"], env)
    iter_kib = peak_kib([py, "-c", "import sys, tarn\nfor p in tarn.read_capture(sys.argv[1], "
                         "lazy=True): pass", path], env)
    replay_kib = peak_kib([py, "-c", "import sys, tarn; tarn.replay(sys.argv[1])", path], env)
    print("memory, a %.1f MB capture of %d procedures (%s), peak resident set:" % (
        size, n, load()))
    print("  tool replay --capture        %7.1f MiB" % (tool_kib / 1024))
    print("  python3 -c 'import numpy'    %7.1f MiB" % (numpy_kib / 1024))
    print("  python3 -c 'import tarn'     %7.1f MiB" % (base_kib / 1024))
    print("  read_capture(lazy=True)      %7.1f MiB  = %.2f x the tool (%.1f MiB above the "
          "interpreter with the package loaded)" % (iter_kib / 1024, iter_kib / tool_kib,
                                                    (iter_kib - base_kib) / 1024))
    print("  tarn.replay(capture)         %7.1f MiB  = %.2f x the tool" % (
        replay_kib / 1024, replay_kib / tool_kib))


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tool", required=True)
    ap.add_argument("--only", default="replay,batch,memory")
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--batch-procedures", type=int, default=100,
                    help="procedures per capture of the batch (20 captures)")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as work:
        for name in a.only.split(","):
            {"replay": lambda: bench_replay(a.tool, work, a.repeat),
             "batch": lambda: bench_batch(a.tool, work, a.repeat,
                                         procedures=a.batch_procedures),
             "memory": lambda: bench_memory(a.tool, work)}[name]()
            sys.stdout.flush()


if __name__ == "__main__":
    main()
