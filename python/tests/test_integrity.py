"""The integrity of each computation, the guarded combination and the
simulator's timing and attack options, against the tool's own output."""

import math
import subprocess

import numpy as np
import pytest

import tarn


def test_simulator_options_are_the_tools(tool, tmp_path):
    procs = tarn.simulate(distance=4.0, procedures=6, seed=7, timing="mid", attack_phase=2.0,
                          drift_hz=80.0, repeat_channels=2, subevent_interval_s=0.01)
    ref = str(tmp_path / "ref.jsonl")
    subprocess.run([tool, "simulate", "-d", "4", "-n", "6", "-s", "7", "--timing", "mid",
                    "--attack-phase", "2", "--drift", "80", "--repeat-channels", "2",
                    "--subevent-interval", "0.01", "-o", ref], check=True, capture_output=True)
    assert tarn.read_procedures(ref) == procs
    assert procs[0].timing == tarn.StepTiming(60, 80, 40, 20, 10, 1, 0)
    # The tool's default timing is a phone's; None leaves the procedures without one.
    assert tarn.simulate(distance=1.0, procedures=1)[0].timing == (150, 145, 145, 40, 10, 1, 0)
    assert tarn.simulate(distance=1.0, procedures=1, timing=None)[0].timing is None
    assert tarn.simulate(distance=1.0, procedures=1, timing=(15, 10, 10, 10))[0].timing == \
        tarn.simulate(distance=1.0, procedures=1, timing="fast")[0].timing


@pytest.mark.parametrize("combination", ["specified", "guarded"])
def test_integrity_columns_equal_the_tools_csv(tool, tool_csv, tmp_path, combination):
    path = str(tmp_path / "attack.jsonl")
    subprocess.run([tool, "simulate", "-d", "5", "-n", "30", "-s", "3", "--attack-phase", "2",
                    "-o", path], check=True, capture_output=True)
    rows = tool_csv("replay", path, "--combination", combination, "--csv", "-")
    table = tarn.replay(path, combination=combination)
    assert len(rows) == len(table) == 30
    for name in ("final_m", "sigma_m", "phase_sigma_m", "rtt_sigma_m"):
        want = np.array([float(r[name]) if r[name] else math.nan for r in rows])
        assert np.array_equal(np.isnan(want), np.isnan(table[name])), name
        np.testing.assert_allclose(table[name], want, atol=5.1e-5, rtol=0, equal_nan=True,
                                   err_msg=name)
    assert [int(r["flags"]) for r in rows] == table["flags"].tolist()
    assert (table["combination"] == (1 if combination == "guarded" else 0)).all()
    # Every delivered distance has its uncertainty; the delivered one is a candidate's.
    assert np.isfinite(table["sigma_m"]).all()
    fused = np.array(["fused" in tarn.flag_names(f) for f in table["flags"]])
    for cand in ("phase", "rtt"):
        same = table["final_m"] == table[cand + "_m"]
        assert (table["sigma_m"][same & ~fused] == table[cand + "_sigma_m"][same & ~fused]).all()


def test_guarded_combination_refuses_a_shortened_phase():
    # A reflector shortening the phase distance by 2 m at 5 m: the specified
    # combination delivers it, the guarded one delivers the round trip.
    procs = tarn.simulate(distance=5.0, attack_phase=2.0, procedures=40, seed=3)
    plain = tarn.replay(procs)
    guard = tarn.replay(procs, combination="guarded")
    plain_err = plain["final_m"] - plain["true_m"]
    guard_err = guard["final_m"] - guard["true_m"]
    assert np.isfinite(guard_err).all()
    assert np.median(plain_err) < -1.5
    assert guard_err.min() > -0.5
    names = [tarn.flag_names(f) for f in guard["flags"]]
    assert all({"manipulation", "rtt"} <= n for n in names)
    assert not any("rtt" in tarn.flag_names(f) for f in plain["flags"])
    assert all("manipulation" in tarn.flag_names(f) for f in plain["flags"])
    # One procedure through a link gives the same record as the replay's row.
    with tarn.Link(combination="guarded") as link:
        r = link.process(procs[0])
    assert r.combination == 1 and r.record_version >= 4
    assert r.flags == guard["flags"][0] and r.flag_names == names[0]
    assert r.sigma_m == guard["sigma_m"][0] and r.rtt_sigma_m == guard["rtt_sigma_m"][0]
    assert math.isfinite(r.first_path_m) or math.isnan(guard["first_path_m"][0])


def test_flag_names_decode_every_bit():
    assert tarn.flag_names(0) == frozenset()
    assert tarn.flag_names(0x003) == {"disagree", "manipulation"}
    every = sum(tarn.INTEGRITY_FLAGS.values())
    assert tarn.flag_names(every) == set(tarn.INTEGRITY_FLAGS)
    assert tarn.flag_names(every | 0x8000) == set(tarn.INTEGRITY_FLAGS) | {"0x8000"}


def test_integrity_evaluation_equals_the_tool(tool_csv):
    table = tarn.evaluate(integrity=True, scenarios=["attack2", "offset80"], distances=[5],
                          procedures=10)
    rows = tool_csv("evaluate", "--integrity", "--scenario", "attack2,offset80", "--distances",
                    "5", "-n", "10", "--csv")
    assert len(table) == len(rows) == 4
    for want, got in zip(rows, table):
        assert (got["scenario"], got["combination"]) == (want["scenario"], want["combination"])
        for name in ("with_sigma", "within_sigma", "within_2sigma", "manipulation_eligible",
                     "manipulation_flagged") + tuple("flag_" + n for n in tarn.INTEGRITY_FLAGS):
            assert got[name] == int(want[name]), name
        assert abs(got["signed_median_m"] - float(want["signed_median_m"])) < 5.1e-5
        assert abs(got["shortest_m"] - float(want["shortest_m"])) < 5.1e-5
    one = tarn.evaluate(integrity=True, scenarios=["attack2"], distances=[5], procedures=10,
                        combinations="guarded")
    assert one["combination"].tolist() == ["guarded"]
    with pytest.raises(ValueError, match="combinations are"):
        tarn.evaluate(scenarios=["los"], combinations=["fused"])


def test_evaluation_timing_axis_rows():
    table = tarn.evaluate(scenarios=["los"], distances=[2], procedures=5, timings="fast")
    moving = table[1:]
    assert table["timing"][0] == "" and (moving["timing"] == "fast").all()
    # Every moving point in mode 0, mode 1 with the timing and mode 1 without it.
    assert len(moving) == 15 and moving["tracking"].tolist() == [0, 1, 1] * 5
    assert moving["timing_given"].tolist() == [True, True, False] * 5
    assert all(p.endswith("(moving, no timing)") for p in moving["point"][2::3])
