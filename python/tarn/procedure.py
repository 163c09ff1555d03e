"""Channel Sounding procedures as numpy arrays.

A :class:`Procedure` holds both sides of one CS procedure (the initiator's and
the reflector's subevent results) as a :class:`Side` each: flat per-step
arrays (one value per step, in reporting order) plus per-subevent arrays.
Procedures come from the simulator (:func:`simulate`), from JSON Lines files
(:func:`read_procedures`), from HCI snoop captures (:func:`read_capture`), or
are built by the caller from arrays (``Side(channel=..., mode=..., ...)``).
"""

import collections
import math

import numpy as np

from . import _tarn

TONE_SLOTS = 5  # NAP + 1 tones at most per step

StepTiming = collections.namedtuple(
    "StepTiming", "t_fcs_us t_ip1_us t_ip2_us t_pm_us t_sw_us phy rtt_type",
    defaults=(0, 1, 0))
StepTiming.__doc__ = """The link's CS step timing as its CS configuration gives it.

t_fcs_us, t_ip1_us, t_ip2_us, t_pm_us: frequency-change, interlude-1,
interlude-2 and phase-measurement times in microseconds; t_sw_us: antenna
switch time in microseconds (0 with one antenna path); phy: CS_SYNC PHY
(1 LE 1M, 2 LE 2M, 3 LE 2M 2BT, 0 unknown); rtt_type: 0..6 as in the CS
configuration. t_sw_us, phy and rtt_type default to 0, 1 (LE 1M) and 0."""

_STEP_FIELDS = (
    # name, dtype, meaning
    ("subevent", np.int32, "index into the per-subevent arrays"),
    ("channel", np.uint8, "channel index (frequency 2402 MHz + index MHz)"),
    ("mode", np.uint8, "step mode 0..3"),
    ("aa_qual", np.uint8, "access-address quality (modes 0, 1, 3)"),
    ("rssi", np.int8, "RSSI in dBm (modes 0, 1, 3)"),
    ("freq_off", np.int32, "frequency offset in 0.01 ppm (mode 0)"),
    ("security", np.uint8, "packet security level (modes 1, 3)"),
    ("toa_tod", np.int32, "ToA_ToD in 0.5 ns units (modes 1, 3)"),
    ("antenna", np.uint8, "packet antenna (modes 1, 3)"),
    ("ant_perm", np.uint8, "antenna permutation index (modes 2, 3)"),
    ("aborted", np.uint8, "1: the controller reported the step aborted"),
    ("n_tones", np.uint8, "tones the step reports (NAP + 1 for modes 2, 3; else 0)"),
)
_SUBEVENT_FIELDS = (
    ("timestamp_ns", np.int64, "subevent start time in nanoseconds"),
    ("rpl", np.uint8, "reference power level"),
    ("nap", np.int8, "antenna paths"),
    ("subevent_aborted", np.int8, "1: the subevent was aborted"),
)


class Side:
    """One side (initiator or reflector) of a procedure as numpy arrays.

    Per step (length ``n``, in reporting order):
      subevent (int32, index into the per-subevent arrays), channel (uint8,
      channel index: 2402 MHz + index MHz), mode (uint8, 0..3), aa_qual,
      rssi (dBm), freq_off (0.01 ppm), security, toa_tod (int32, ToA_ToD in
      0.5 ns units), antenna, ant_perm (antenna permutation index), aborted
      (1: reported aborted), n_tones (tones reported, NAP + 1 for tone
      steps), tones (complex128, shape (n, 5): I + jQ of each reported tone
      in reporting order, the last one the tone extension slot; 0 in unused
      slots) and tone_qual (uint8, shape (n, 5): 0, 1, 2, or 3 unavailable).
    Per subevent (length ``m``):
      timestamp_ns (int64, start time in ns), rpl, nap (antenna paths),
      subevent_aborted.

    Built from arrays: ``Side(channel, mode, tones=..., toa_tod=...)``; every
    array not given is zero, ``subevent`` defaults to one subevent holding
    every step, ``n_tones`` to the tone slots given for steps of modes 2 and
    3, ``nap`` to those slots minus one. Values are checked (types, shapes,
    ranges) when the procedure is used, with a ValueError naming the field.
    """

    __slots__ = tuple(f[0] for f in _STEP_FIELDS) + ("tones", "tone_qual") + tuple(
        f[0] for f in _SUBEVENT_FIELDS)

    def __init__(self, channel=(), mode=(), *, tones=None, tone_qual=None, **arrays):
        channel = np.asarray(channel)
        n = channel.shape[0] if channel.ndim else 0
        unknown = set(arrays) - set(self.__slots__)
        if unknown:
            raise TypeError("Side() got unknown arrays: " + ", ".join(sorted(unknown)))
        self.channel = channel
        self.mode = np.asarray(mode)
        if tones is None:
            tones = np.zeros((n, TONE_SLOTS), np.complex128)
        tones = np.asarray(tones, np.complex128)
        if tones.ndim == 1:
            tones = tones.reshape(-1, 1)
        self.tones = tones
        slots = tones.shape[1] if tones.ndim == 2 else 0
        self.tone_qual = (np.zeros(tones.shape, np.uint8) if tone_qual is None
                          else np.asarray(tone_qual))
        for name, dtype, _ in _STEP_FIELDS:
            if name in ("channel", "mode"):
                continue
            if name in arrays:
                setattr(self, name, np.asarray(arrays[name]))
            elif name == "n_tones":
                tone_step = np.isin(self.mode, (2, 3)) if n else np.zeros(0, bool)
                self.n_tones = np.where(tone_step, slots, 0).astype(np.uint8)
            else:
                setattr(self, name, np.zeros(n, dtype))
        m = int(np.max(self.subevent)) + 1 if n and "subevent" in arrays else 1
        for name, dtype, _ in _SUBEVENT_FIELDS:
            if name in arrays:
                setattr(self, name, np.asarray(arrays[name]))
            elif name == "nap":
                self.nap = np.full(m, max(slots - 1, 1), np.int8)
            else:
                setattr(self, name, np.zeros(m, dtype))

    @classmethod
    def _from_dict(cls, d):
        s = cls.__new__(cls)
        for k, v in d.items():
            setattr(s, k, v)
        return s

    @property
    def steps(self):
        """Number of steps."""
        return int(np.asarray(self.channel).shape[0])

    @property
    def subevents(self):
        """Number of subevents."""
        return int(np.asarray(self.timestamp_ns).shape[0])

    def arrays(self):
        """Every array by name (a dict; the arrays themselves, not copies)."""
        return {k: getattr(self, k) for k in self.__slots__}

    def __eq__(self, other):
        if not isinstance(other, Side):
            return NotImplemented
        return all(np.array_equal(getattr(self, k), getattr(other, k)) for k in self.__slots__)

    def __repr__(self):
        return "Side(%d steps, %d subevents)" % (self.steps, self.subevents)


class Procedure:
    """One CS procedure: ``initiator`` and ``reflector`` (:class:`Side`),
    ``true_m`` (the true distance in metres, NaN when unknown) and ``timing``
    (the link's :class:`StepTiming`, None when the source did not know it).

    Convenience: ``time_s`` (the initiator's first subevent time in seconds),
    ``tone_products()`` (round-trip tone products per channel and antenna
    path) and ``to_json()`` (one JSON Lines record, as ``tarn simulate``
    writes them).
    """

    __slots__ = ("initiator", "reflector", "true_m", "timing")

    def __init__(self, initiator, reflector, true_m=math.nan, timing=None):
        self.initiator = initiator
        self.reflector = reflector
        self.true_m = float(true_m)
        self.timing = None if timing is None else StepTiming(*timing)

    @classmethod
    def _from_parts(cls, parts):
        init, refl, true_m, timing = parts
        p = cls.__new__(cls)
        p.initiator = Side._from_dict(init)
        p.reflector = Side._from_dict(refl)
        p.true_m = true_m
        p.timing = None if timing is None else StepTiming(*timing)
        return p

    def _timing_tuple(self):
        return None if self.timing is None else tuple(self.timing)

    @property
    def time_s(self):
        """Time stamp of the initiator's first subevent in seconds (0 without one)."""
        ts = self.initiator.timestamp_ns
        return float(ts[0]) * 1e-9 if len(ts) else 0.0

    def tone_products(self):
        """Round-trip tone products as a complex array of shape (79, paths):
        per channel index 0..78 and antenna path the product of the
        initiator's and the reflector's tone (averaged where a channel was
        sounded twice; NaN where there is none). Only subevents both sides
        completed with the same step count count, unavailable tones
        (quality 3) are left out, the tone extension slot is ignored."""
        products, _ = _tarn.tone_products(self)
        return products

    def to_json(self):
        """The procedure as one JSON Lines record (str, without the line end)."""
        return _tarn.procedure_to_json(self)

    def checked(self):
        """A copy as the library's input would carry it (every array checked
        and converted to its wire type); raises ValueError naming a bad field."""
        return Procedure._from_parts(_tarn.procedure_roundtrip(self))

    def __eq__(self, other):
        if not isinstance(other, Procedure):
            return NotImplemented
        same_truth = (self.true_m == other.true_m
                      or (math.isnan(self.true_m) and math.isnan(other.true_m)))
        return (same_truth and self.timing == other.timing and self.initiator == other.initiator
                and self.reflector == other.reflector)

    def __repr__(self):
        truth = "" if math.isnan(self.true_m) else ", true %.3f m" % self.true_m
        return "Procedure(t=%.3f s, initiator %r, reflector %r%s)" % (
            self.time_s, self.initiator, self.reflector, truth)


class _Reader:
    """Iterator over the procedures of a file (one in memory at a time)."""

    def __init__(self, it):
        self._it = it

    def __iter__(self):
        return self

    def __next__(self):
        return Procedure._from_parts(next(self._it))

    def report(self):
        """The capture importer's report (str) once the iterator is exhausted
        (what could not be used, by reason); '' before, and for JSON Lines."""
        return self._it.report() if hasattr(self._it, "report") else ""


def read_procedures(path, lazy=False):
    """Procedures of a JSON Lines file (``tarn simulate -o``, ``tarn run
    --record``, ``tarn import``): a list, or with ``lazy=True`` an iterator
    reading one procedure at a time. A malformed line raises ValueError with
    the file name and line number."""
    reader = _Reader(_tarn.RecordIter(str(path)))
    return reader if lazy else list(reader)


def read_capture(path, connection=None, lazy=False, *, one_sided=False, guess_ras=False,
                 ras_handles=(), peer=None, unix_time=False):
    """Procedures of one connection of an HCI snoop capture (btsnoop) with
    Channel Sounding events and Ranging Service data, as ``tarn replay
    --capture`` reads them.

    connection: 1-based connection number as in the importer's report, or
      an ACL handle as "0x0040" (all its connections); None takes the only
      connection with procedures (ValueError listing them when there are several).
    lazy: an iterator that holds one procedure at a time (for big files);
      its ``report()`` gives the importer's report once exhausted.
    one_sided: keep procedures whose reflector side is missing.
    guess_ras: take notifications on unknown handles as ranging data.
    ras_handles: e.g. ["0x0040:0x0024=realtime,0x0027=ondemand,0x002A=cp"]
      for captures without GATT discovery.
    peer: the reflector's own capture (its Result events give its steps).
    unix_time: subevent times in ns since 1970 instead of since the
      capture's first record.
    """
    it = _tarn.CaptureIter(str(path), "" if connection is None else str(connection),
                           bool(one_sided), bool(guess_ras),
                           list(ras_handles), "" if peer is None else str(peer), bool(unix_time))
    reader = _Reader(it)
    return reader if lazy else list(reader)


def read(path, lazy=False):
    """Procedures of a file by its kind: JSON Lines (``.jsonl``/``.json``)
    or a capture (anything else); see :func:`read_procedures` and
    :func:`read_capture`."""
    p = str(path)
    if p.endswith((".jsonl", ".json")):
        return read_procedures(p, lazy)
    return read_capture(p, lazy=lazy)


def simulate(**options):
    """Simulated procedures (a list of :class:`Procedure`), with the true
    distance of each; the same procedures as ``tarn simulate`` with the same
    options.

    Scenario (one of): distance (m, static), speed (m/s away from the other
      device, negative approaching; starts at ``distance``, default 1 m,
      stops at 0.1 m), trajectory ([(seconds, metres), ...], linear between),
      or none of them: the walk 0.5 m -> 15 m -> 0.5 m at 1 m/s.
    procedures: count (default the whole scenario, or 100); interval_s:
      between procedures (0.1); start_time_s (0); seed (1); device_seed (the
      device pair's hardware response; default the seed).
    Room: reflections [(extra path m, amplitude), ...] (default [(3, 0.5)];
      [] for line of sight only), direct (line-of-sight amplitude, 1),
      reflection_spread_m (0.15), reflection_gain_spread (0.2),
      path_spread_m (0.03).
    Radio: snr_db (30), paths (antenna paths 1..4, 2), channels ("all",
      "half", "quarter", "wifi-avoid"), subevents (4), mode0_steps (3),
      tone_mode (2 or 3), rtt_every (a mode-1 step after every n tone steps,
      2; 0 none), repeat_channels (0..4), step_s (150e-6), subevent_interval_s
      (0: back to back), tone_amplitude (1000).
    Hardware and timing: hardware (device response on, True), jitter_ns (3),
      device_delay_ns (0), drift_hz (0), clock_offset_ppm (10),
      propagation_mps (299700000).
    Step timing: timing, the link's CS step timing each step is timed by
      and every procedure carries (``Procedure.timing``): a
      :class:`StepTiming` or 7-tuple in microseconds, "FCS,IP1,IP2,PM[,SW]"
      text, or a name: "phone" (150, 145, 145, 40, 10; the default, as the
      tool), "mid" (60, 80, 40, 20, 10), "fast" (15, 10, 10, 10, 0); None or
      "none": unknown (steps of step_s, procedures without a timing).
      ValueError for values the radio does not allow.
    Attack: attack_phase (metres, 0): a manipulating reflector turns its
      tones so that the phase distance reads that much short, its round
      trip honest.
    Faults: fail_share (0.05), unavailable_share (0.02), abort_share (0).
    """
    options.setdefault("timing", "phone")
    options["timing"] = timing_tuple(options["timing"])
    return [Procedure._from_parts(p) for p in _tarn.simulate(**options)]


def timing_tuple(timing):
    """A step timing as the extension module takes it: None (unknown) or a
    7-tuple; from a :class:`StepTiming`, a tuple of 4 to 7 values (t_sw_us 0,
    phy 1 and rtt_type 0 when left out), "FCS,IP1,IP2,PM[,SW[,PHY[,RTT]]]"
    text or a name ("phone", "mid", "fast", "none")."""
    if timing is None:
        return None
    if isinstance(timing, str):
        return _tarn.parse_timing(timing)
    values = tuple(timing)
    if not 4 <= len(values) <= 7:
        raise ValueError("a step timing has 4 to 7 values, not %d" % len(values))
    return values + (0, 1, 0)[len(values) - 4:]


def write_procedures(path, procedures):
    """Writes procedures as JSON Lines ('-' for standard output)."""
    _tarn.write_procedures(str(path), list(procedures))


def write_capture(path, procedures, reflector_path=None, mtu=247, data_length=251,
                  on_demand=False):
    """Writes procedures as an initiator's HCI snoop capture (btsnoop), with
    the reflector's steps as Ranging Service data (ATT MTU ``mtu`` 23..517,
    ACL fragments of ``data_length`` 27..251 octets, real-time or
    ``on_demand`` delivery); ``reflector_path`` also writes the reflector's
    own capture."""
    _tarn.write_capture(str(path), list(procedures), "" if reflector_path is None else
                        str(reflector_path), int(mtu), int(data_length), bool(on_demand))
