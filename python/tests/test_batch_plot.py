"""Batch replay on a local Dask cluster, its command line, and the charts."""

import csv
import os
import subprocess
import sys

import numpy as np
import pytest

import tarn
import tarn.batch


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    d = tmp_path_factory.mktemp("corpus")
    paths = []
    for i, (dist, speed) in enumerate([(1.0, None), (4.0, 0.5), (8.0, -1.0)]):
        procs = tarn.simulate(distance=dist, speed=speed, procedures=15, seed=10 + i)
        p = str(d / ("s%d.jsonl" % i))
        tarn.write_procedures(p, procs)
        paths.append(p)
    cap = str(d / "c.btsnoop")
    tarn.write_capture(cap, tarn.simulate(distance=2.5, procedures=12, seed=20))
    paths.append(cap)
    damaged = str(d / "damaged.jsonl")
    with open(paths[0]) as f, open(damaged, "w") as g:
        lines = f.readlines()
        g.writelines(lines[:3] + ['{"initiator": [ broken\n'] + lines[3:])
    paths.insert(2, damaged)
    return str(d), paths


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       host="127.0.0.1", dashboard_address="127.0.0.1:0")
    c = distributed.Client(cluster)
    yield c
    c.close()
    cluster.close()


def one_by_one(paths, **opts):
    return [tarn.batch.replay_file(p, **opts) for p in paths]


def test_batch_on_two_workers_equals_one_by_one(corpus, client):
    _, paths = corpus
    table = tarn.batch.replay(paths, client=client, tracking="moving", combination="guarded")
    alone = np.concatenate(one_by_one(paths, tracking="moving", combination="guarded"))
    assert table.dtype == tarn.batch.BATCH_DTYPE
    assert len(table) == 15 * 3 + 12 + 1
    ok = table["error"] == ""
    assert (table["combination"][ok] == 1).all() and (table["combination"][~ok] == -1).all()
    for name in table.dtype.names:
        a, b = table[name], alone[name]
        if a.dtype.kind == "f":
            assert np.array_equal(a, b, equal_nan=True), name
        else:
            assert (a == b).all(), name
    assert list(dict.fromkeys(table["file"])) == paths
    bad = table[~ok]
    assert bad["file"].tolist() == [paths[2]]
    assert "damaged.jsonl:4" in bad["error"][0] and np.isnan(bad["final_m"][0])
    # Each file's rows are the replay of that file alone.
    cap = table[table["file"] == paths[-1]]
    np.testing.assert_array_equal(cap["final_m"], tarn.replay(paths[-1], tracking="moving",
                                                           combination="guarded")["final_m"])


def test_batch_command_line_on_the_cluster(corpus, client, tmp_path):
    d, paths = corpus
    out = str(tmp_path / "table.csv")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    r = subprocess.run([sys.executable, "-m", "tarn.batch", d, "--scheduler",
                        client.scheduler.address, "--out", out, "--combination", "guarded"],
                       capture_output=True, text=True,
                       env=env, timeout=300)
    assert r.returncode == 0, r.stderr
    assert "5 file(s)" in r.stderr and "1 file(s) failed" in r.stderr
    assert "files" in r.stderr  # the progress bar
    with open(out) as f:
        rows = list(csv.DictReader(f))
    want = np.concatenate(one_by_one(sorted(paths), combination="guarded"))
    assert [r["file"] for r in rows] == want["file"].tolist()
    assert {r["combination"] for r in rows if not r["error"]} == {"1"}
    finals = [float(r["final_m"]) if r["final_m"] else np.nan for r in rows]
    assert np.array_equal(np.array(finals), want["final_m"], equal_nan=True)


@pytest.mark.filterwarnings("ignore:Running on a single-machine scheduler")
def test_local_default_and_empty(corpus):
    _, paths = corpus
    table = tarn.batch.replay(paths[:2])
    assert np.array_equal(table["final_m"], np.concatenate(one_by_one(paths[:2]))["final_m"],
                          equal_nan=True)
    assert len(tarn.batch.replay([])) == 0


def test_charts(tmp_path):
    procs = tarn.simulate(distance=3.0, procedures=8, seed=3)
    table = tarn.replay(procs)
    fig = tarn.plot.session(table, title="s")
    assert len(fig.axes) == 1 and len(fig.axes[0].lines) == 4
    with tarn.Link(impulse=True) as link:
        r = link.process(procs[-1])
    fig = tarn.plot.procedure(procs[-1], r)
    assert len(fig.axes) == 3
    ir_lines = {l.get_label() for l in fig.axes[2].lines}
    assert {"inverse FFT of the tones", "library", "delivered", "true"} <= ir_lines
    dist, mag = tarn.plot.impulse_profile(procs[-1])
    assert abs(dist[np.argmax(mag)] - 3.0) < 0.5
    png = tmp_path / "p.png"
    fig.savefig(str(png))
    assert png.stat().st_size > 10000
