"""libtarn from Python: Channel Sounding procedures as numpy arrays, links of
the library driven through its host functions, sessions as tables, charts,
and batch replays of capture corpora on Dask.

    import tarn
    procs = tarn.simulate(distance=1.0, speed=1.0, procedures=100, seed=1)
    table = tarn.replay(procs, tracking="moving")
    err = abs(table["final_m"] - table["true_m"])        # metres
    corpus = tarn.batch.replay(["a.btsnoop", "b.jsonl"])  # one table, a "file" column

Units: distances in metres, times in seconds (subevent time stamps in
nanoseconds), speeds in metres per second, confidences in percent, ToA_ToD in
0.5 ns units, tones as complex I + jQ.

Names: Procedure, Side, StepTiming (procedures as arrays); simulate,
read_procedures, read_capture, read, write_procedures, write_capture;
timing_tuple; Link, Result, Refused, INTEGRITY_FLAGS, flag_names (one link
of the library); replay, evaluate,
error_stats, write_csv, SESSION_DTYPE (tables); set_log_level; the modules
tarn.plot (matplotlib charts) and tarn.batch (Dask).
"""

from . import _tarn
from .link import INTEGRITY_FLAGS, Link, Refused, Result, flag_names, set_log_level
from .procedure import (Procedure, Side, StepTiming, read, read_capture, read_procedures,
                        simulate, timing_tuple, write_capture, write_procedures)
from .session import SESSION_DTYPE, error_stats, evaluate, replay, write_csv

__all__ = ["Procedure", "Side", "StepTiming", "simulate", "read_procedures", "read_capture",
           "read", "write_procedures", "write_capture", "timing_tuple", "Link", "Result",
           "Refused", "INTEGRITY_FLAGS", "flag_names",
           "set_log_level", "replay", "evaluate", "error_stats", "write_csv", "SESSION_DTYPE",
           "batch", "plot"]


def __getattr__(name):
    # matplotlib and Dask load only when asked for (and `python3 -m
    # tarn.batch` finds its module not yet imported).
    if name in ("plot", "batch"):
        import importlib
        return importlib.import_module("." + name, __name__)
    raise AttributeError("module 'tarn' has no attribute %r" % (name,))
