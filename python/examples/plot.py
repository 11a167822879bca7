"""Draws the magnitudes of a recording over the sample index, with every
frame that the report lists marked, to a PNG file.
Usage: python3 plot.py RECORDING [PICTURE.png]"""

import sys

import matplotlib
import numpy as np

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402 (after choosing the backend)

import quendix  # noqa: E402

recording = quendix.read(sys.argv[1])
samples, frames = recording.samples, recording.frames

# The sample index of each frame's first row. A frame without the marker has
# no rows: it is marked where its rows would have been.
first_row = 9 * (np.cumsum(frames["valid"]) - frames["valid"])
reported = frames["reported"]
kinds = {
    "start": reported & frames["valid"] & (np.arange(len(frames)) == 0),
    "different": reported & frames["valid"] & (np.arange(len(frames)) > 0),
    "missing": reported & ~frames["valid"],
}
colours = {"start": "tab:green", "different": "tab:purple", "missing": "tab:red"}

figure, (report, accel, rate) = plt.subplots(
    3, 1, sharex=True, figsize=(10, 7), gridspec_kw={"height_ratios": [1, 3, 3]})
for row, (kind, marked) in enumerate(kinds.items()):
    report.plot(first_row[marked], np.full(marked.sum(), row), "|", markersize=10,
                color=colours[kind])
report.set_yticks(range(len(kinds)))
report.set_yticklabels(["%s (%d)" % (kind, marked.sum()) for kind, marked in kinds.items()])
report.set_ylim(-0.7, len(kinds) - 0.3)
report.set_title("%s: %d samples, %d reported frames" % (sys.argv[1], len(samples), reported.sum()))
accel.plot(samples["ASVM"] / 100, linewidth=0.8)
accel.set_ylabel("acceleration\nASVM / 100")
rate.plot(samples["GSVM"], linewidth=0.8, color="tab:orange")
rate.set_ylabel("angular rate\nGSVM")
rate.set_xlabel("sample")
figure.tight_layout()
figure.savefig(sys.argv[2] if len(sys.argv) > 2 else "recording.png", dpi=100)
