"""Lists the gaps of a recording: frames without the marker, and places
where the position jumps.  Usage: python3 gaps.py RECORDING [END_BLOCK]"""

import sys

import numpy as np

import quendix

recording = quendix.read(sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 510)
frames = recording.frames
print("%s: %d frames, %d samples" % (sys.argv[1], len(frames), len(recording.samples)))

# Frames without the marker, in runs of consecutive frames.
missing = np.flatnonzero(~frames["valid"])
for run in np.split(missing, np.flatnonzero(np.diff(missing) != 1) + 1):
    if len(run) > 0:
        print("%d frame(s) without the marker from frame %d, byte %d"
              % (len(run), run[0], frames["offset"][run[0]]))

# Jumps: between two valid frames, the position moved by another number of
# pages than there are frames. Positions count pages from block 1, page 0,
# modulo the cycle of blocks, so the wrap after the end block is no jump.
valid = np.flatnonzero(frames["valid"])
page = frames["page_word"][valid] & 0x7FFF
position = (frames["block"][valid].astype(np.int64) - 1) * 512 + page
cycle = recording.end_block * 512
moved = (np.diff(position) - np.diff(valid)) % cycle
moved[moved > cycle // 2] -= cycle
for j in np.flatnonzero(moved):
    i = valid[j + 1]
    print("frame %d, byte %d: block %d, page %d, %+d pages from the frame before"
          % (i, frames["offset"][i], frames["block"][i], page[j + 1], moved[j]))
