"""Draws the quick look of a recording to a PNG file: every axis and both
magnitudes against the sample index, as a minimum/maximum envelope per
pixel column, with the frames that the report lists marked above them.
Usage: python plot.py RECORDING [PICTURE.png]"""

import sys

import quendix

counts = quendix.plot(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "recording.png")
print("%s: %d samples, %d frames without the marker, %d different"
      % (sys.argv[1], counts["samples"], counts["missing"], counts["different"]))
