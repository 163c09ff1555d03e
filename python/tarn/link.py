"""A link of the library, driven through its host functions."""

from . import _tarn
from .procedure import timing_tuple

Refused = _tarn.Refused
Result = _tarn.Result

_TRACKING = {"still": 0, "moving": 1}
_COMBINATION = {"specified": 0, "guarded": 1}

#: The library's integrity flags (TARN_INTEGRITY_*) by the names the tool
#: prints them with.
INTEGRITY_FLAGS = {
    "disagree": 0x001,      # phase and round trip disagree beyond 3 joint sigmas
    "manipulation": 0x002,  # the phase distance is shorter than the round trip allows
    "multipath": 0x004,     # more than one significant path in the response
    "blocked": 0x008,       # the earlier of two paths is the weaker (first_path_m)
    "jumps": 0x010,         # phase jumps between subevents (residual frequency offset)
    "restarted": 0x020,     # the tracking (re)started with this computation
    "unprotected": 0x040,   # the round trip is not known to be protected
    "rtt": 0x080,           # guarded: the round trip was delivered
    "first_path": 0x100,    # the delivered distance follows the first path
    "fused": 0x200,         # the delivered distance fuses both candidates
}


def flag_names(flags):
    """The names (a frozenset of str, see INTEGRITY_FLAGS) of the integrity
    flag bits in ``flags``; unknown bits as "0x..." names."""
    flags = int(flags)
    names = {n for n, bit in INTEGRITY_FLAGS.items() if flags & bit}
    rest = flags & ~sum(INTEGRITY_FLAGS.values())
    names.update("%#x" % (1 << b) for b in range(32) if rest & (1 << b))
    return frozenset(names)


Result.flag_names = property(lambda self: flag_names(self.flags),
                             doc="The integrity flags as a frozenset of names (see flag_names).")


def set_log_level(level):
    """What of the library's own log reaches stderr: -1 nothing (the
    default), 0 results and key events, 1 errors too, 2 information, 3
    tracing, 4 verbose dumps. Applies to every link of the process."""
    _tarn.set_log_level(int(level))


def _sets(values):
    if values is None:
        return []
    if isinstance(values, dict):
        out = []
        for k, v in values.items():
            if isinstance(v, (list, tuple)):
                v = ",".join(str(x) for x in v)
            out.append("%s=%s" % (k, v))
        return out
    return [str(v) for v in values]


class Link:
    """One link of the library, driven exactly as a Bluetooth stack drives
    it: ``csIfInit`` on creation, then per procedure ``csIfAddMeasurementV2``
    (or ``csIfAddMeasurement`` with ``input="v1"``), ``csIfGetEstimate`` and a
    wait for the result callback on the library's worker thread (the GIL is
    released while waiting), ``csIfCleanUp`` on :meth:`close`. The
    estimators' own candidates and the tracking record are read inside the
    callback (``tarnGetLatestComputation``), the impulse response with
    ``tarnGetLatestImpulseResponse``.

    Arguments (all optional):
      config: a key=value configuration file, read and repaired by the
        library's own reader (the repairs are listed by :meth:`notes`).
      set: {key: value} (or ["KEY=VALUE", ...]) applied after the file: a
        configuration-file key or field name, plus rtpFilterType,
        muOffsetFilter, maxMusicStdDev, muOrdSet, muCovSet, muConfFac
        (lists allowed). Strict: an unknown key or a value the library would
        repair raises ValueError naming it.
      cal: a calibration table file, loaded by the library's loader (turns
        applyEstimatedReverseChannel on unless ``set`` says otherwise).
      tracking: "still" (tracking mode 0, the default) or "moving" (mode 1,
        ``tarnSetTrackingMode``).
      combination: how the phase and round-trip results are combined
        (``tarnSetCombination``): "specified" (the default, the specified
        behaviour) or "guarded" (a phase distance shorter than the round
        trip allows is never delivered; uncertainties and flags decide).
      step_timing: the link's CS step timing, handed to the library with
        ``tarnSetStepTiming`` (tracking mode 1 times each step by it):
        "procedure" (the default, as the tool) hands over each procedure's
        own ``timing`` whenever it changes (a procedure without one returns
        the link to "timing unknown"); a :class:`tarn.StepTiming`, tuple or
        name ("phone", "mid", "fast") is the whole link's; None: the library
        is never told (it assumes 150 us steps, then learns them).
      input: "v2" (procedure records, default) or "v1" (step-level records).
      impulse: read the library's impulse response in every callback (about
        30 us per antenna path on the worker); off by default.
      timeout_s: seconds to wait for a result before raising Refused (30).

    Raises Refused (with the reason the library logged) when the library
    refuses to create the link, its options, its tracking mode, its
    combination or a step timing (also one a procedure carries); ValueError
    for a bad file, key or value.

    Thread: any Python thread; one procedure at a time per link (calls from
    several threads are served in turn). Links are independent; the
    library computes every link's estimates on its one worker thread.
    Use as a context manager, or call :meth:`close`.
    """

    def __init__(self, config=None, set=None, cal=None, tracking="still",
                 combination="specified", step_timing="procedure", input="v2", impulse=False,
                 timeout_s=30.0):
        if tracking not in _TRACKING:
            raise ValueError("tracking must be 'still' or 'moving', not %r" % (tracking,))
        if combination not in _COMBINATION:
            raise ValueError("combination must be 'specified' or 'guarded', not %r"
                             % (combination,))
        self.tracking = tracking
        self.combination = combination
        if step_timing != "procedure":
            step_timing = timing_tuple(step_timing)  # None: withheld
        self._link = _tarn.Link("" if config is None else str(config), _sets(set),
                                "" if cal is None else str(cal), _TRACKING[tracking],
                                _COMBINATION[combination], str(input), bool(impulse),
                                float(timeout_s), step_timing)

    def process(self, procedure):
        """Runs one :class:`tarn.Procedure` through the link and returns its
        :class:`tarn.Result`:

          distance_m (= final_m): the delivered distance in metres (NaN when
            neither estimator gave one: the library's "no estimate");
          confidence: the delivered confidence in percent (-1: none);
          phase_m, phase_conf / rtt_m, rtt_conf: the phase and round-trip
            candidates the worker combined (metres, NaN when none; percent);
          computation: the library's number of this link's computation;
          consistent: the candidates are those of this very request;
          tracking_mode, speed_mps, speed_sd_mps, track_flags: tracking mode
            1's record (radial speed in m/s, positive moving apart, and its
            standard deviation; TARN_TRACK_FLAG_* bits); NaN/0 in mode 0;
          timing_origin, step_scale: how mode 1 timed the steps (0 assumed
            150 us, 1 given by step_timing, 2 learned; -1 not reported) and
            the factor the durations were scaled by;
          sigma_m, phase_sigma_m, rtt_sigma_m: standard uncertainties of the
            delivered distance and of each candidate (metres, NaN: none);
          flags: the TARN_INTEGRITY_* bits, flag_names: the same as a
            frozenset of names (see tarn.INTEGRITY_FLAGS);
          first_path_m: the earliest significant path of the response
            (metres, NaN: none found); combination: the mode the result was
            formed with (0 specified, 1 guarded);
          record_version, record_size: of the latest-computation record;
          time_s, true_m, seq: the procedure's time (s), truth (m) and number;
          impulse_response(): the library's impulse response magnitudes
            (paths x taps; tap k at first_m + k * tap_m metres), empty
            unless the link was made with impulse=True.

        Raises Refused with the library's reason when it refuses the
        procedure or the request, or stops answering; ValueError for arrays
        of the wrong shape, type or range.
        """
        r = self._link.process(procedure)
        if not r.accepted:
            raise Refused(r.reason)
        return r

    def options(self):
        """The options the link computes with: {field name: value as text}."""
        return self._link.options()

    def notes(self):
        """What the library repaired in the configuration file (list of str)."""
        return self._link.notes()

    @property
    def link_ref(self):
        """The link reference handed to the library (int)."""
        return self._link.link_ref()

    def close(self):
        """Removes the link (``csIfCleanUp``); later calls raise ValueError."""
        self._link.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._link.closed() else "open"
        return "Link(ref=%#x, tracking=%r, combination=%r, %s)" % (
            self._link.link_ref(), self.tracking, self.combination, state)
