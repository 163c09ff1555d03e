"""Replays of many captures or procedure files on Dask.

    table = tarn.batch.replay(paths)                     # the local machine's cores
    table = tarn.batch.replay(paths, client=client)      # a dask.distributed cluster
    table = tarn.batch.replay(paths, client="tcp://scheduler:8786")

Each file is replayed alone through a new link in a worker process (each
worker loads the library itself), so the rows of a file are those a replay
of that file alone gives. The result is one table (:data:`BATCH_DTYPE`): the
session columns plus "file" and "error". A file that cannot be read gives
one row with its error (and NaN values) instead of stopping the batch.

Command line:
    python3 -m tarn.batch DIR --scheduler ADDRESS --out table.csv
"""

import argparse
import os
import sys
import time

import numpy as np

from .session import SESSION_DTYPE, replay as _replay_one, write_csv

ERROR_CHARS = 200
#: The session columns (tarn.SESSION_DTYPE) between "file" (the path as
#: given, str) and "error" (str; '' unless the file could not be replayed).
BATCH_DTYPE = np.dtype([("file", "O")] + [
    (n, SESSION_DTYPE.fields[n][0]) for n in SESSION_DTYPE.names] + [("error", "O")])

#: File name endings replayed when a directory is given.
SUFFIXES = (".jsonl", ".btsnoop", ".log", ".cfa")


def replay_file(path, **link_options):
    """One file's rows (:data:`BATCH_DTYPE`); on failure a single row with
    the error. Runs in a worker."""
    path = str(path)
    try:
        table = _replay_one(path, **link_options)
        out = np.zeros(len(table), BATCH_DTYPE)
        for n in SESSION_DTYPE.names:
            out[n] = table[n]
        out["file"] = path
        out["error"] = ""
        return out
    except Exception as e:  # a damaged file is a row, not the end of the batch
        out = np.zeros(1, BATCH_DTYPE)
        for n in SESSION_DTYPE.names:
            if out[n].dtype.kind == "f":
                out[n] = np.nan
        out["seq"] = -1
        out["conf"] = -1
        out["reason"] = ""
        out["timing_origin"] = -1
        out["combination"] = -1
        out["file"] = path
        out["error"] = ("%s: %s" % (type(e).__name__, e))[:ERROR_CHARS]
        return out


def _concat(parts):
    return np.concatenate(parts) if parts else np.zeros(0, BATCH_DTYPE)


def _bar(done, total, start, stream):
    width = 30
    fill = int(width * done / total) if total else width
    stream.write("\r[%s%s] %d/%d files, %.0f s" % ("#" * fill, "." * (width - fill), done, total,
                                                 time.time() - start))
    stream.flush()


def replay(paths, client=None, progress=False, **link_options):
    """Replays every file of ``paths`` (JSON Lines ``.jsonl`` or captures)
    and returns one table (:data:`BATCH_DTYPE`) in the order of ``paths``.

    client: None runs on the local machine's cores (Dask's process pool, one
      process per core); a ``dask.distributed.Client`` or a scheduler address
      ("tcp://host:8786") runs on that cluster, whose workers must be able
      to ``import tarn``.
    progress: a progress bar on stderr.
    link_options: those of :class:`tarn.Link` (tracking, config, set, cal...);
      files named by config/cal must be readable on the workers.
    """
    paths = [str(p) for p in paths]
    if not paths:
        return np.zeros(0, BATCH_DTYPE)
    if client is None:
        import dask
        tasks = [dask.delayed(replay_file, pure=False)(p, **link_options) for p in paths]
        if progress:
            from dask.diagnostics import ProgressBar
            with ProgressBar(out=sys.stderr):
                parts = dask.compute(*tasks, scheduler="processes")
        else:
            parts = dask.compute(*tasks, scheduler="processes")
        return _concat(list(parts))
    own = False
    if isinstance(client, str):
        from distributed import Client
        client = Client(client)
        own = True
    try:
        from distributed import as_completed
        futures = [client.submit(replay_file, p, pure=False, **link_options) for p in paths]
        index = {f.key: i for i, f in enumerate(futures)}
        parts = [None] * len(paths)
        start = time.time()
        done = 0
        for f in as_completed(futures):
            parts[index[f.key]] = f.result()
            done += 1
            if progress:
                _bar(done, len(paths), start, sys.stderr)
        if progress:
            sys.stderr.write("\n")
        return _concat(parts)
    finally:
        if own:
            client.close()


def files_in(directory):
    """The replayable files of a directory tree, sorted (see SUFFIXES)."""
    out = []
    for root, _, names in os.walk(directory):
        for n in names:
            if n.endswith(SUFFIXES):
                out.append(os.path.join(root, n))
    return sorted(out)


def main(argv=None):
    ap = argparse.ArgumentParser(
        prog="python3 -m tarn.batch",
        description="Replay every capture (.btsnoop, .log, .cfa) and JSON Lines file (.jsonl) "
                    "of a directory through libtarn on Dask; one CSV table with a file column.")
    ap.add_argument("dir", help="directory searched recursively (or a single file)")
    ap.add_argument("--scheduler", help="Dask scheduler address (default: this machine's cores)")
    ap.add_argument("--out", required=True, help="CSV table to write")
    ap.add_argument("--tracking", default="still", choices=("still", "moving"))
    ap.add_argument("--config", help="configuration file (readable on the workers)")
    ap.add_argument("--cal", help="calibration table file (readable on the workers)")
    ap.add_argument("--set", action="append", default=[], metavar="KEY=VALUE")
    ap.add_argument("--input", default="v2", choices=("v1", "v2"))
    ap.add_argument("--combination", default="specified", choices=("specified", "guarded"))
    ap.add_argument("--withhold-timing", action="store_true",
                    help="do not hand the procedures' step timing to the library")
    a = ap.parse_args(argv)
    paths = files_in(a.dir) if os.path.isdir(a.dir) else [a.dir]
    if not paths:
        print("tarn.batch: no files to replay in %s" % a.dir, file=sys.stderr)
        return 1
    opts = dict(tracking=a.tracking, config=a.config, cal=a.cal, set=a.set or None, input=a.input,
                combination=a.combination)
    if a.withhold_timing:
        opts["step_timing"] = None
    client = a.scheduler
    if client is None:
        # A local cluster, so that the progress bar counts files.
        from distributed import Client, LocalCluster
        cluster = LocalCluster(n_workers=os.cpu_count() or 1, threads_per_worker=1,
                               processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0")
        client = Client(cluster)
    try:
        table = replay(paths, client=client, progress=True, **opts)
    finally:
        if not isinstance(client, str):
            client.close()
            client.cluster.close()
    write_csv(table, a.out)
    failed = sorted(set(table["file"][table["error"] != ""]))
    print("tarn.batch: %d file(s), %d row(s), %d file(s) failed -> %s" % (
        len(paths), len(table), len(failed), a.out), file=sys.stderr)
    for f in failed:
        print("  %s: %s" % (f, table["error"][table["file"] == f][0]), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
