"""Sessions as tables: replays of procedures and the evaluation matrix."""

import math
import os

import numpy as np

from . import _tarn
from .link import Link

REASON_CHARS = 160  # the extension module cuts reasons to this length

#: One row per procedure of a replay. Distances in metres (NaN: none),
#: confidences in percent, time in seconds, speeds in m/s.
SESSION_DTYPE = np.dtype([
    ("seq", "i8"),            # procedure number within the replay
    ("time_s", "f8"),         # the procedure's time stamp
    ("true_m", "f8"),         # true distance, NaN when unknown
    ("rtt_m", "f8"),          # round-trip-time candidate
    ("phase_m", "f8"),        # phase candidate
    ("final_m", "f8"),        # what the callback delivered
    ("conf", "i4"),           # the callback's confidence (-1: none)
    ("rtt_conf", "i4"),
    ("phase_conf", "i4"),
    ("accepted", "?"),        # the library stored the procedure
    ("computation", "u4"),    # the library's computation number
    ("consistent", "?"),      # the candidates were this request's
    ("tracking", "i1"),       # 1: computed in tracking mode 1
    ("speed_mps", "f8"),      # tracked radial speed (mode 1), NaN otherwise
    ("speed_sd_mps", "f8"),   # its standard deviation
    ("track_flags", "u4"),    # TARN_TRACK_FLAG_* of the computation
    ("timing_origin", "i1"),  # mode 1: 0 assumed, 1 given, 2 learned step timing; -1 none
    ("step_scale", "f8"),     # mode 1: the step durations' scale, NaN otherwise
    ("sigma_m", "f8"),        # standard uncertainty of final_m, NaN: none
    ("phase_sigma_m", "f8"),  # ... of phase_m
    ("rtt_sigma_m", "f8"),    # ... of rtt_m
    ("flags", "u4"),          # TARN_INTEGRITY_* bits (tarn.flag_names decodes them)
    ("first_path_m", "f8"),   # earliest significant path, NaN: none found
    ("combination", "i1"),    # 0 specified, 1 guarded; -1 not reported
    ("reason", "O"),          # why the library refused the procedure (str, '' if it did not)
])


def replay(procedures, **link_options):
    """Runs procedures through one new :class:`tarn.Link` and returns the
    session as a numpy structured array (``SESSION_DTYPE``), one row per
    procedure: ``table["final_m"]``, ``table["true_m"]``, ... (metres; NaN
    where there is no value). Procedures the library refuses give a row with
    accepted False and the library's reason, as the ``tarn replay`` tool
    counts them; a link that stops answering raises :class:`tarn.Refused`.

    procedures: an iterable of :class:`tarn.Procedure`, or a path (JSON
      Lines ``.jsonl`` or a capture), read one procedure at a time.
    link_options: those of :class:`tarn.Link` (config, set, cal, tracking,
      combination, step_timing, input, ...).
    Integrity columns: sigma_m, phase_sigma_m, rtt_sigma_m (metres, NaN:
      none), flags (``tarn.flag_names(row["flags"])`` names them),
      first_path_m, combination.
    """
    with Link(**link_options) as link:
        if isinstance(procedures, (str, bytes)) or hasattr(procedures, "__fspath__"):
            path = os.fsdecode(procedures)
            # Read by the library's side directly: the procedures need not
            # become arrays to be replayed.
            rows = link._link.replay_file(path, not path.endswith((".jsonl", ".json")))
        else:
            rows = link._link.process_rows(procedures)
    return np.array(rows, dtype=SESSION_DTYPE)


def error_stats(table, column="final_m"):
    """(count, median, 90th percentile) of |column - true_m| in metres over
    the rows with both values (nearest-rank percentile, as the tool)."""
    err = np.abs(table[column] - table["true_m"])
    err = np.sort(err[np.isfinite(err)])
    n = len(err)
    if n == 0:
        return 0, math.nan, math.nan
    median = err[n // 2] if n % 2 else 0.5 * (err[n // 2 - 1] + err[n // 2])
    rank = max((9 * n + 9) // 10, 1)
    return n, float(median), float(err[rank - 1])


def write_csv(table, path):
    """Writes a table (structured array) as CSV with a header; NaN cells empty."""
    names = table.dtype.names
    with open(path, "w", encoding="utf-8") as f:
        f.write(",".join(names) + "\n")
        for row in table:
            cells = []
            for name in names:
                v = row[name]
                if isinstance(v, (float, np.floating)):
                    cells.append("" if not np.isfinite(v) else repr(float(v)))
                elif isinstance(v, (bool, np.bool_)):
                    cells.append("1" if v else "0")
                else:
                    s = str(v)
                    if any(c in s for c in ',"\n'):
                        s = '"' + s.replace('"', '""') + '"'
                    cells.append(s)
            f.write(",".join(cells) + "\n")


_ESTIMATORS = ("final", "phase", "rtt", "ifft_peak", "phase_slope")


def evaluate(scenarios=None, distances=None, walk=True, tracking="still", procedures=100, seed=1,
             input="v2", calibrated=False, config=None, set=None, cal=None, integrity=False,
             combinations=None, timings=None):
    """The ``tarn evaluate`` matrix as a structured array, one row per
    scenario and point: scenario, point ("5 m", "walk", "walk (moving)", ...),
    tracking (mode), distance_m (NaN for moving points), procedures, and per
    estimator (final, phase, rtt and the baselines ifft_peak and phase_slope) the count
    ``<name>_n`` and the median and 90th percentile of the absolute error
    ``<name>_median_m``, ``<name>_p90_m`` (metres); bound_m (line of sight's
    Cramer-Rao bound), calibrated_median_m / calibrated_p90_m (with
    ``calibrated=True``), overshoot_m past stops and turns, inconsistent.

    scenarios: names (los, refl1, refl2, blocked, snr25, snr10, paths1,
      paths4; default all); distances: static points in metres (default 0.5,
      1, 2, 5, 10, 20); walk: also the moving points in both tracking modes;
      tracking: mode of the static points ("still" or "moving"); procedures
      per static point; config/set/cal: options as for :class:`tarn.Link`.
    integrity: the integrity matrix instead (scenarios snr25, refl1_snr25,
      refl2_snr25, blocked10, offset80, attack2, attack5; distances 1, 3, 5,
      10, 20 m unless given; no moving points; both combinations unless
      given), as ``tarn evaluate --integrity``.
    combinations: ["specified", "guarded"] or a subset; every point runs in
      each, on the same procedures (default specified only).
    timings: names of the moving points' timing axis ("fast", "mid",
      "phone"; default all).
    Columns of every row besides the accuracy ones: combination, timing
    (the moving point's timing name, '' for static points), timing_given,
    and the integrity of the delivered distances: signed_median_m and
    shortest_m (final - true, metres), with_sigma, within_sigma and
    within_2sigma (procedures with an uncertainty, and with the truth within
    1 and 2 of it), manipulation_eligible and manipulation_flagged (attack
    procedures whose shortening exceeds 3 round-trip sigmas, and those of
    them flagged), flag_<name> (procedures carrying each integrity flag).
    Runs for minutes over the whole matrix (the GIL is released meanwhile).
    """
    from .link import _sets, _COMBINATION, _TRACKING, INTEGRITY_FLAGS
    if tracking not in _TRACKING:
        raise ValueError("tracking must be 'still' or 'moving', not %r" % (tracking,))
    if isinstance(combinations, str):
        combinations = [combinations]
    modes = []
    for c in combinations or []:
        if c not in _COMBINATION:
            raise ValueError("combinations are 'specified' or 'guarded', not %r" % (c,))
        if _COMBINATION[c] not in modes:
            modes.append(_COMBINATION[c])
    if isinstance(timings, str):
        timings = [timings]
    rows = _tarn.evaluate(list(scenarios or []), [float(d) for d in (distances or [])], bool(walk),
                          _TRACKING[tracking], int(procedures), int(seed), str(input),
                          bool(calibrated), "" if config is None else str(config), _sets(set),
                          "" if cal is None else str(cal), bool(integrity), modes,
                          [str(t) for t in timings or []])
    def text(name):
        # As wide as the longest value, so that no name is cut.
        return (name, "U%d" % max([1] + [len(r[name]) for r in rows]))

    fields = [text("scenario"), text("point"), ("tracking", "i1"), ("distance_m", "f8"),
              ("procedures", "i4")]
    for e in _ESTIMATORS:
        fields += [(e + "_n", "i4"), (e + "_median_m", "f8"), (e + "_p90_m", "f8")]
    fields += [("bound_m", "f8"), ("calibrated_median_m", "f8"), ("calibrated_p90_m", "f8"),
               ("overshoot_m", "f8"), ("inconsistent", "i4"), text("combination"),
               text("timing"), ("timing_given", "?"), ("signed_median_m", "f8"),
               ("shortest_m", "f8"), ("with_sigma", "i4"), ("within_sigma", "i4"),
               ("within_2sigma", "i4"), ("manipulation_eligible", "i4"),
               ("manipulation_flagged", "i4")]
    bits = [(name, bit.bit_length() - 1) for name, bit in INTEGRITY_FLAGS.items()]
    fields += [("flag_" + name, "i4") for name, _ in bits]
    dtype = np.dtype(fields)
    out = []
    for r in rows:
        r.update(("flag_" + name, r["flagged"][b]) for name, b in bits)
        out.append(tuple(r[name] for name in dtype.names))
    return np.array(out, dtype=dtype)
