#!/usr/bin/python3
"""Still or moving? Runs one simulated walk (0.5 m -> 8 m -> 0.5 m at 1 m/s,
one reflection) through the library in both tracking modes and draws the
delivered distances against the truth into walk_modes.png."""

import numpy as np
from matplotlib.figure import Figure

import tarn

procs = tarn.simulate(trajectory=[(0, 0.5), (7.5, 8.0), (15, 0.5)], reflections=[(3.0, 0.5)],
                      seed=1)
fig = Figure(figsize=(9, 4.5))
ax = fig.add_subplot(1, 1, 1)
for tracking, colour in (("still", "tab:orange"), ("moving", "tab:green")):
    table = tarn.replay(procs, tracking=tracking)
    n, median, p90 = tarn.error_stats(table)
    print("%-6s  median error %.3f m, 90 %% within %.3f m" % (tracking, median, p90))
    ax.plot(table["time_s"], table["final_m"], color=colour, label="%s (median %.2f m)" % (
        tracking, median))
ax.plot(table["time_s"], table["true_m"], "k:", label="true")
ax.set_xlabel("time (s)")
ax.set_ylabel("distance (m)")
ax.legend()
ax.grid(True, alpha=0.3)
fig.savefig("walk_modes.png", dpi=100)
print("wrote walk_modes.png")
