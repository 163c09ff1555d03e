"""Procedures as arrays: the round trip through arrays and the library gives
the tool's own results, and bad arrays are refused naming the field."""

import math
import subprocess

import numpy as np
import pytest

import tarn


def assert_same_as_tool(table, rows):
    assert len(table) == len(rows)
    for name in ("true_m", "rtt_m", "phase_m", "final_m"):
        want = np.array([float(r[name]) if r[name] else math.nan for r in rows])
        got = table[name]
        assert np.array_equal(np.isnan(want), np.isnan(got)), name
        # The tool prints 4 decimals.
        np.testing.assert_allclose(got[~np.isnan(got)], want[~np.isnan(want)], atol=5.1e-5,
                                   rtol=0, err_msg=name)
    assert [int(r["conf"]) for r in rows] == table["conf"].tolist()
    assert [r["accepted"] == "1" for r in rows] == table["accepted"].tolist()


def rebuilt(p):
    """The procedure built again from its arrays through the public constructors."""
    def side(s):
        a = {k: np.array(v) for k, v in s.arrays().items()}
        return tarn.Side(a.pop("channel"), a.pop("mode"), **a)
    return tarn.Procedure(side(p.initiator), side(p.reflector), p.true_m, p.timing)


@pytest.mark.parametrize("tracking,extra,fmt", [("still", [], "v2"),
                                                ("moving", ["-r", "none", "-a", "4"], "v2"),
                                                ("still", ["--tone-mode", "3"], "v1")])
def test_arrays_to_library_equal_the_tool(tool, tool_csv, tmp_path, tracking, extra, fmt):
    path = str(tmp_path / "s.jsonl")
    subprocess.run([tool, "simulate", "-d", "2", "--speed", "1", "-n", "40", "-s", "3", *extra,
                    "-o", path], check=True, capture_output=True)
    procs = [rebuilt(p) for p in tarn.read_procedures(path)]
    assert procs == tarn.read_procedures(path)
    table = tarn.replay(procs, tracking=tracking, input=fmt)
    assert_same_as_tool(table, tool_csv("replay", path, "--tracking", tracking, "--format", fmt, "--csv", "-"))
    assert (table["tracking"] == (1 if tracking == "moving" else 0)).all()


def test_simulate_and_files_round_trip(tool, tool_csv, tmp_path):
    procs = tarn.simulate(distance=3.0, procedures=12, seed=5, paths=3, tone_mode=3,
                          abort_share=0.2)
    # The same procedures as the tool's simulator with the same options.
    ref = str(tmp_path / "ref.jsonl")
    subprocess.run([tool, "simulate", "-d", "3", "-n", "12", "-s", "5", "-a", "3", "--tone-mode",
                    "3", "--abort-share", "0.2", "-o", ref], check=True, capture_output=True)
    assert tarn.read_procedures(ref) == procs
    jsonl, cap = str(tmp_path / "p.jsonl"), str(tmp_path / "p.btsnoop")
    tarn.write_procedures(jsonl, procs)
    tarn.write_capture(cap, procs)
    assert tarn.read_procedures(jsonl) == procs
    lazy = tarn.read_capture(cap, lazy=True)
    from_capture = list(lazy)
    assert len(from_capture) == len(procs)
    assert "procedures" in lazy.report()
    assert_same_as_tool(tarn.replay(cap), tool_csv("replay", "--capture", cap, "--csv", "-"))


def test_timing_and_aborted_steps_survive_the_arrays():
    p = tarn.simulate(distance=1.0, procedures=1)[0]
    p.timing = tarn.StepTiming(30, 45, 45, 40, 10, 1, 0)
    p.initiator.aborted[7] = 1
    back = p.checked()
    assert back.timing == p.timing and back.initiator.aborted[7] == 1
    assert tarn.Procedure._from_parts(tarn._tarn.procedure_roundtrip(back)) == back


def test_tone_products_carry_the_distance():
    p = tarn.simulate(distance=4.0, procedures=1, reflections=[], hardware=False,
                      path_spread_m=0.0)[0]
    tp = p.tone_products()
    assert tp.shape == (79, 2)
    ch = np.arange(79)
    ok = np.isfinite(tp[:, 0])
    assert ok.sum() > 60
    # Round-trip phase slope: -4 pi d / c per Hz.
    slope = np.polyfit(ch[ok] * 1e6, np.unwrap(np.angle(tp[ok, 0])), 1)[0]
    assert abs(-slope * 299700000.0 / (4 * np.pi) - 4.0) < 0.05


@pytest.mark.parametrize("field,value,message", [
    ("channel", 300, "initiator.channel[3] = 300"),
    ("mode", -1, "initiator.mode[3] = -1"),
    ("toa_tod", 2.5, "initiator.toa_tod[3] = 2.5"),
    ("n_tones", 6, "initiator.n_tones[3] = 6"),
    ("subevent", 99, "initiator.subevent[3] = 99"),
    ("tones", np.nan, "initiator.tones[3, 0] is not a finite"),
    ("tone_qual", 256, "initiator.tone_qual[3, 0] is not in 0..255"),
])
def test_bad_arrays_are_refused_naming_the_field(field, value, message):
    p = tarn.simulate(distance=1.0, procedures=1)[0]
    a = p.initiator
    arr = np.array(getattr(a, field), dtype=complex if field == "tones" else float)
    if arr.ndim == 2:
        arr[3, 0] = value
    else:
        arr[3] = value
    setattr(a, field, arr)
    with pytest.raises(ValueError, match=message.replace("[", r"\[").replace("]", r"\]")):
        p.checked()


def test_bad_shapes_and_files():
    p = tarn.simulate(distance=1.0, procedures=1)[0]
    p.reflector.rssi = p.reflector.rssi[:-1]
    with pytest.raises(ValueError, match="reflector.rssi must be a 1-d integer array of"):
        p.checked()
    with pytest.raises(ValueError):
        tarn.read_procedures("/nonexistent.jsonl")
    with pytest.raises(ValueError):
        tarn.read_capture("/nonexistent.btsnoop")
    with pytest.raises(TypeError, match="unknown option 'distanse'"):
        tarn.simulate(distanse=1.0)
    with pytest.raises(ValueError, match="trajectory cannot be combined"):
        tarn.simulate(distance=1.0, trajectory=[(0, 1), (1, 2)])


@pytest.mark.parametrize("distance", [0.7, 3.0, 12.5])
def test_procedure_built_by_hand_from_tones(distance):
    # One path of line of sight, a mode-2 step per channel, each side's tone
    # turned by its own unknown phase: only the product carries the distance.
    c = 299700000.0
    ch = np.array([k for k in range(2, 77) if not 23 <= k <= 25])
    theta = np.random.default_rng(1).uniform(0, 2 * np.pi, len(ch))
    h = 800 * np.exp(-2j * np.pi * (2402 + ch) * 1e6 * distance / c)

    def side(sign):
        tones = np.stack([h * np.exp(sign * 1j * theta)] * 2, axis=1).round()
        return tarn.Side(ch, np.full(len(ch), 2), tones=tones, timestamp_ns=[0])

    p = tarn.Procedure(side(1), side(-1), true_m=distance)
    assert p.initiator.n_tones.tolist() == [2] * len(ch) and p.initiator.nap.tolist() == [1]
    with tarn.Link() as link:
        r = link.process(p)
    assert abs(r.distance_m - distance) < 0.01 and r.confidence > 50
    assert math.isnan(r.rtt_m)  # no round-trip steps


def test_evaluation_table_equals_the_tool(tool_csv):
    table = tarn.evaluate(scenarios=["los", "refl1"], distances=[2], walk=False, procedures=6)
    rows = tool_csv("evaluate", "--scenario", "los,refl1", "--distances", "2", "--no-walk", "-n",
                    "6", "--csv")
    assert table["scenario"].tolist() == ["los", "refl1"] and table["point"][0] == "2 m"
    for r in rows:
        got = table[table["scenario"] == r["scenario"]][0]
        assert got[r["estimator"] + "_n"] == int(r["n"])
        assert abs(got[r["estimator"] + "_median_m"] - float(r["median_m"])) < 5.1e-5
        assert abs(got[r["estimator"] + "_p90_m"] - float(r["p90_m"])) < 5.1e-5
    assert table["bound_m"][0] == pytest.approx(float(rows[0]["bound_m"]), abs=5e-6)
    with pytest.raises(ValueError, match="nosuch"):
        tarn.evaluate(scenarios=["nosuch"])
