"""Links: refusals raise with the library's reason; results carry the record."""

import math

import numpy as np
import pytest

import tarn


@pytest.fixture(scope="module")
def proc():
    return tarn.simulate(distance=2.0, procedures=1, seed=2)[0]


@pytest.mark.parametrize("side,field,value,reason", [
    ("initiator", "mode", 7, "Invalid mode 7 at step 3"),
    ("initiator", "nap", 9, "Incorrect NAP in Subevent data"),
    ("reflector", "mode", 1, "Mode mismatch at step 3: init 2 , refl 1"),
    ("initiator", "ant_perm", 30, "Invalid antenna permutation 30"),
    ("initiator", "n_tones", 1, "Tone count 1 too small for NAP 2"),
])
def test_refused_procedure_raises_with_the_library_reason(proc, side, field, value, reason):
    bad = proc.checked()
    arr = getattr(getattr(bad, side), field)
    assert proc.initiator.mode[3] == 2  # the first tone step
    if field == "nap":
        arr[:] = value
    else:
        arr[3] = value
    with tarn.Link() as link:
        with pytest.raises(tarn.Refused, match=reason):
            link.process(bad)
        # The link goes on with the next procedure.
        assert link.process(proc).accepted
    table = tarn.replay([proc, bad, proc])
    assert table["accepted"].tolist() == [True, False, True]
    assert reason in table["reason"][1]
    assert math.isfinite(table["final_m"][2]) and math.isnan(table["final_m"][1])


def test_option_and_argument_refusals(tmp_path):
    with pytest.raises(ValueError, match="FiMinConf takes a whole number"):
        tarn.Link(set={"FiMinConf": "abc"})
    with pytest.raises(ValueError, match="unknown option NoSuchKey"):
        tarn.Link(set=["NoSuchKey=1"])
    with pytest.raises(ValueError, match="tracking must be"):
        tarn.Link(tracking="fast")
    with pytest.raises(ValueError, match="combination must be"):
        tarn.Link(combination="fused")
    with pytest.raises(ValueError, match="T_FCS|not allowed"):
        tarn.simulate(distance=1.0, procedures=1, timing=(17, 40, 40, 20))
    with pytest.raises(ValueError, match="step timing 'slow'"):
        tarn.Link(step_timing="slow")
    with pytest.raises(ValueError):
        tarn.Link(config=str(tmp_path / "missing.ini"))
    link = tarn.Link()
    link.close()
    with pytest.raises(ValueError, match="closed"):
        link.process(tarn.simulate(distance=1.0, procedures=1)[0])


def test_result_carries_candidates_record_and_impulse(proc):
    with tarn.Link(impulse=True, set={"FiMinConf": 5}) as link:
        assert link.options()["fiMinConf"] == "5"
        r = link.process(proc)
    assert r.accepted and r.consistent and r.computation == 1
    assert abs(r.distance_m - 2.0) < 0.3 and r.confidence > 0
    assert math.isfinite(r.phase_m) and math.isfinite(r.rtt_m)
    ir = r.impulse_response()
    assert ir.shape[0] == 2 and ir.shape[1] >= 128
    peak = r.first_m + np.argmax(ir.sum(axis=0)) * r.tap_m
    assert abs(peak - 2.0) < 2 * r.tap_m + 0.5
    assert r.tracking_mode == 0 and math.isnan(r.speed_mps)
    with tarn.Link() as plain:
        assert plain.process(proc).impulse_response().size == 0


@pytest.mark.parametrize("timing,still_bounds", [(None, (0.2, 1.0)), ("phone", (0.8, 2.0))])
def test_walk_in_both_tracking_modes(timing, still_bounds):
    # Out at 1 m/s and back, one reflection: the default tracking trails the
    # walker (by about 0.6 m with 150 us steps, 1.3 m with a phone's 595 us
    # ones), the moving mode follows within centimetres.
    procs = tarn.simulate(trajectory=[(0, 0.5), (6, 6.5), (12, 0.5)], seed=4, timing=timing)
    still = tarn.replay(procs, tracking="still")
    moving = tarn.replay(procs, tracking="moving")
    _, still_median, _ = tarn.error_stats(still[10:])
    n, median, p90 = tarn.error_stats(moving[10:])
    assert n == len(procs) - 10
    assert median < 0.08 and p90 < 0.2
    assert still_bounds[0] < still_median < still_bounds[1]
    out = moving[15:55]
    assert abs(np.median(out["speed_mps"]) - 1.0) < 0.15
    assert (moving["tracking"] == 1).all() and (still["tracking"] == 0).all()


def test_step_timing_reaches_the_library():
    timing = tarn.StepTiming(60, 40, 40, 20, 10, 1, 0)
    procs = tarn.simulate(distance=2.0, speed=1.0, procedures=20, seed=6, timing=None)
    assert all(p.timing is None for p in procs)
    given = tarn.replay(procs, tracking="moving", step_timing=timing)
    assumed = tarn.replay(procs, tracking="moving", step_timing=None)
    assert (given["tracking"] == 1).all()
    # Without a timing the moving mode assumes 150 us steps, then learns them.
    assert (given["timing_origin"] == 1).all()
    assert np.isin(assumed["timing_origin"], (0, 2)).all() and assumed["timing_origin"][0] == 0
    assert (given["step_scale"] == 1.0).all()
    # Steps timed at 280 us instead of 150 us move the corrected tones.
    assert not np.array_equal(given["final_m"], assumed["final_m"])
    for p in procs:
        p.timing = timing
    per_procedure = tarn.replay(procs, tracking="moving", step_timing="procedure")
    assert np.array_equal(per_procedure["final_m"], given["final_m"])
    with pytest.raises(tarn.Refused, match="T_FCS not allowed"):
        tarn.Link(step_timing=tarn.StepTiming(17, 40, 40, 20, 10, 1, 0))
    procs[5].timing = timing._replace(t_pm_us=21)
    with pytest.raises(tarn.Refused, match="T_PM not allowed"):
        tarn.replay(procs, tracking="moving", step_timing="procedure")
