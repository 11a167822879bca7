"""Writes a small campaign whose recordings each hold one kind of fault that
the quality table finds, beside a clean one, into the directory given:

    python faults.py DIRECTORY

Each recording is 200 frames (1,800 rows, two windows of 900) of a sensor
lying still and level: gravity on AZ, the other axes near zero; but one,
dead.qvx, of a sensor that recorded nothing: an empty file."""

import sys
from pathlib import Path

import numpy as np

FRAMES = 200
ROWS = 9 * FRAMES
SAMPLE = np.dtype([("SEQNO", "<u2"), ("AX", "<i2"), ("AY", "<i2"), ("AZ", "<i2"),
                   ("GX", "<i2"), ("GY", "<i2"), ("GZ", "<i2")])
FRAME = np.dtype([("magic", "<u2"), ("block", "<u2"), ("page", "<u2"), ("samples", SAMPLE, (9,))])


def still_rows(seed, gravity=(0, 0, 8192)):
    """Rows of a sensor at rest: `gravity` in counts plus a little noise."""
    rng = np.random.default_rng(seed)
    rows = np.zeros(ROWS, SAMPLE)
    rows["SEQNO"] = np.arange(ROWS)
    for axis, value in zip(("AX", "AY", "AZ"), gravity):
        rows[axis] = value + rng.integers(-20, 21, ROWS)
    for axis in ("GX", "GY", "GZ"):
        rows[axis] = rng.integers(-30, 31, ROWS)
    return rows


def frame_file(rows):
    """The bytes of a recording of `rows`, its positions in step from block 1."""
    frames = np.zeros(len(rows) // 9, FRAME)
    frames["magic"] = 0x4453
    frames["block"] = 1 + np.arange(len(frames)) // 512
    frames["page"] = np.arange(len(frames)) % 512
    frames["samples"] = rows.reshape(-1, 9)
    return frames.tobytes()


def campaign():
    clean = still_rows(1)
    clipped = still_rows(2)
    clipped["AZ"][300:330] = 32767               # 30 rows at the top of the range
    stuck = still_rows(3)
    stuck["GY"][900:1800] = 7                    # one axis holds a value for 900 rows
    sequence = still_rows(4)
    sequence["SEQNO"][500:] += 5                 # 5 samples lost,
    sequence["SEQNO"][1000:] -= 1                # one sample counted twice,
    sequence["SEQNO"][1500:] -= 10               # and a step back
    duplicated = still_rows(5)
    duplicated[90:99] = duplicated[81:90]        # frame 10 repeats frame 9, SEQNOs too
    scaled = still_rows(6, gravity=(0, 0, 8602))  # gravity read 5% high
    dead = clean[:0]                             # no frame at all
    return {"clean": clean, "clipped": clipped, "stuck": stuck, "sequence": sequence,
            "duplicated": duplicated, "scaled": scaled, "dead": dead}


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    for name, rows in campaign().items():
        (directory / (name + ".qvx")).write_bytes(frame_file(rows))


if __name__ == "__main__":
    main()
