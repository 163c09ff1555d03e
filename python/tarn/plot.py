"""Charts with matplotlib, returned as figures (``fig.savefig("x.png")``).

The figures are made without pyplot, so nothing needs a display: on a
headless machine they render through Agg.
"""

import os

import matplotlib

if not os.environ.get("DISPLAY") and not os.environ.get("MPLBACKEND"):
    matplotlib.use("Agg")

import numpy as np  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402

from . import _tarn  # noqa: E402

FIRST_CHANNEL_MHZ = 2402
_IFFT_POINTS = 4096


def session(table, title=None, figsize=(9, 4.5)):
    """True, round-trip, phase and final distance (metres) over time
    (seconds) of a session table (:func:`tarn.replay`). Returns a Figure."""
    fig = Figure(figsize=figsize)
    ax = fig.add_subplot(1, 1, 1)
    t = table["time_s"]
    if np.isfinite(table["true_m"]).any():
        ax.plot(t, table["true_m"], "k-", lw=1.5, label="true")
    ax.plot(t, table["rtt_m"], ".", ms=3, color="tab:orange", label="round trip")
    ax.plot(t, table["phase_m"], ".", ms=3, color="tab:blue", label="phase")
    ax.plot(t, table["final_m"], "-", lw=1, color="tab:green", label="final")
    ax.set_xlabel("time (s)")
    ax.set_ylabel("distance (m)")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="best")
    if title:
        ax.set_title(title)
    fig.tight_layout()
    return fig


def impulse_profile(procedure, propagation_mps=299700000.0, max_m=40.0):
    """The procedure's impulse response as the tool computes it: the
    zero-padded (4096-point) inverse FFT of the tone product over the 1 MHz
    channel raster, summed in power over the antenna paths, peak 1.
    Returns (one-way distance in metres, magnitude) from -5 m to max_m."""
    products, nap = _tarn.tone_products(procedure)
    power = np.zeros(_IFFT_POINTS)
    for p in range(nap):
        x = np.zeros(_IFFT_POINTS, complex)
        v = products[:, p]
        x[:len(v)] = np.where(np.isfinite(v), v, 0)
        power += np.abs(np.fft.ifft(x)) ** 2
    k = np.arange(_IFFT_POINTS)
    k = np.where(k < _IFFT_POINTS // 2, k, k - _IFFT_POINTS)
    dist = k * propagation_mps / (2.0 * _IFFT_POINTS * 1e6)
    order = np.argsort(dist)
    dist, mag = dist[order], np.sqrt(power[order])
    keep = (dist >= -5.0) & (dist <= max_m)
    dist, mag = dist[keep], mag[keep]
    if mag.size and mag.max() > 0:
        mag = mag / mag.max()
    return dist, mag


def procedure(procedure, result=None, title=None, figsize=(9, 8)):
    """One procedure: per channel and antenna path the round-trip phase
    (radians) and magnitude of the tone product, and the impulse response
    against one-way distance (metres; the tool's inverse FFT, and the
    library's own when ``result`` came from a link made with
    ``impulse=True``), with the true and the delivered distance marked.
    Returns a Figure."""
    products, nap = _tarn.tone_products(procedure)
    freq = FIRST_CHANNEL_MHZ + np.arange(products.shape[0])
    fig = Figure(figsize=figsize)
    ax_phase, ax_mag, ax_ir = (fig.add_subplot(3, 1, i) for i in (1, 2, 3))
    for p in range(nap):
        v = products[:, p]
        ok = np.isfinite(v)
        ax_phase.plot(freq[ok], np.angle(v[ok]), ".", label="path %d" % p)
        ax_mag.plot(freq[ok], np.abs(v[ok]), ".-", lw=0.5, label="path %d" % p)
    ax_phase.set_ylabel("round-trip phase (rad)")
    ax_mag.set_ylabel("|tone product|")
    ax_mag.set_xlabel("frequency (MHz)")
    if nap:
        ax_phase.legend(loc="best", fontsize="small")
    dist, mag = impulse_profile(procedure)
    ax_ir.plot(dist, mag, "-", lw=1, label="inverse FFT of the tones")
    if result is not None:
        ir = result.impulse_response()
        if ir.size:
            lib = np.sqrt(np.nansum(ir ** 2, axis=0))
            if lib.max() > 0:
                lib = lib / lib.max()
            d = result.first_m + np.arange(lib.size) * result.tap_m
            keep = (d >= dist.min()) & (d <= dist.max())
            ax_ir.plot(d[keep], lib[keep], "-", lw=1, label="library")
        if np.isfinite(result.distance_m):
            ax_ir.axvline(result.distance_m, color="tab:green", ls="--", label="delivered")
    if np.isfinite(procedure.true_m):
        ax_ir.axvline(procedure.true_m, color="k", ls=":", label="true")
    ax_ir.set_xlabel("one-way distance (m)")
    ax_ir.set_ylabel("impulse response")
    ax_ir.legend(loc="best", fontsize="small")
    for ax in (ax_phase, ax_mag, ax_ir):
        ax.grid(True, alpha=0.3)
    if title:
        fig.suptitle(title)
    fig.tight_layout()
    return fig
