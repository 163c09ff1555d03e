#!/usr/bin/python3
"""Replays a capture (HCI snoop log, or a .jsonl file) and draws the tones
and impulse response of its worst procedure into worst_procedure.png.

    python3 examples/worst_procedure.py [CAPTURE]

Without a capture it first writes one of a simulated session at 3 m with a
strong reflection (+2 m at 0.8)."""

import sys

import numpy as np

import tarn

if len(sys.argv) > 1:
    path = sys.argv[1]
else:
    path = "example.btsnoop"
    tarn.write_capture(path, tarn.simulate(distance=3.0, reflections=[(2.0, 0.8)],
                                           procedures=50, seed=7))
procs = tarn.read(path)
table = tarn.replay(procs)
err = np.abs(table["final_m"] - table["true_m"])
if np.isfinite(err).any():
    worst = int(np.nanargmax(err))  # farthest from the truth
else:
    worst = int(np.argmin(table["conf"]))  # no truth in the file: least confident
print("%d procedures; worst is #%d: delivered %.3f m +- %.3f m (true %.3f m, confidence %d %%)"
      % (len(table), worst, table["final_m"][worst], table["sigma_m"][worst],
         table["true_m"][worst], table["conf"][worst]))
print("integrity flags: %s" % (", ".join(sorted(tarn.flag_names(table["flags"][worst])))
                               or "none"))

# The library's own impulse response of that procedure, on a link that has
# seen the same procedures before it.
with tarn.Link(impulse=True) as link:
    for p in procs[:worst]:
        link.process(p)
    result = link.process(procs[worst])
fig = tarn.plot.procedure(procs[worst], result, title="%s #%d" % (path, worst))
fig.savefig("worst_procedure.png", dpi=100)
print("wrote worst_procedure.png")
