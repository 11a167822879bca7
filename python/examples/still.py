"""Writes two recordings of one sensor, whose accelerometer reads with a
known offset and scale, into the directory given:

    python still.py DIRECTORY

monday.qvx: the sensor laid still in 14 orientations (on each of its six
faces and eight corners), about 20 seconds each at 100 samples per second,
and moved between them. tuesday.qvx: the same sensor lying flat, then on
its side, with 5 samples lost in the middle and one counted twice. The
accelerometer reads raw = true / SCALE + OFFSET (g), so that
(raw - OFFSET) * SCALE is the true acceleration; the gyroscope reads a
bias of GYRO_BIAS counts."""

import sys
from pathlib import Path

import numpy as np

OFFSET = (0.04, -0.03, 0.02)    # g
SCALE = (1.02, 0.98, 1.01)
GYRO_BIAS = (66, -33, 13)       # counts: 1.007, -0.504, 0.198 degrees per second
SAMPLE = np.dtype([("SEQNO", "<u2"), ("AX", "<i2"), ("AY", "<i2"), ("AZ", "<i2"),
                   ("GX", "<i2"), ("GY", "<i2"), ("GZ", "<i2")])
FRAME = np.dtype([("magic", "<u2"), ("block", "<u2"), ("page", "<u2"), ("samples", SAMPLE, (9,))])
FACES = [v for axis in np.eye(3) for v in (axis, -axis)]
CORNERS = [np.array([x, y, z]) / 3 ** 0.5 for x in (-1, 1) for y in (-1, 1) for z in (-1, 1)]


def lying(rng, direction, count):
    """`count` rows of the sensor lying still with gravity along `direction`."""
    rows = np.zeros(count, SAMPLE)
    raw = np.asarray(direction) / SCALE + OFFSET
    for axis, name in enumerate(("AX", "AY", "AZ")):
        rows[name] = np.rint(raw[axis] * 8192 + rng.normal(0, 15, count))
    for axis, name in enumerate(("GX", "GY", "GZ")):
        rows[name] = GYRO_BIAS[axis] + rng.integers(-4, 5, count)
    return rows


def moving(rng, count):
    """`count` rows of the sensor being turned over."""
    rows = np.zeros(count, SAMPLE)
    for name in ("AX", "AY", "AZ", "GX", "GY", "GZ"):
        rows[name] = rng.integers(-12000, 12000, count)
    return rows


def frame_file(rows):
    """The bytes of a recording of `rows`, whole frames of them, its
    positions in step from block 1."""
    frames = np.zeros(len(rows) // 9, FRAME)
    frames["magic"] = 0x4453
    frames["block"] = 1 + np.arange(len(frames)) // 512
    frames["page"] = np.arange(len(frames)) % 512
    frames["samples"] = rows[:len(frames) * 9].reshape(-1, 9)
    return frames.tobytes()


def monday(rng):
    parts = []
    for direction in FACES + CORNERS:
        parts += [moving(rng, 500), lying(rng, direction, 2000)]
    rows = np.concatenate(parts)
    rows["SEQNO"] = np.arange(len(rows))
    return rows


def tuesday(rng):
    rows = np.concatenate([lying(rng, (0, 0, 1), 1800), moving(rng, 300), lying(rng, (1, 0, 0), 1800)])
    seqno = np.arange(len(rows)) + 65000   # the counter wraps past 65535
    seqno[1000:] += 5                      # 5 samples lost before row 1000
    seqno[2000:] -= 1                      # row 2000 repeats the SEQNO before it
    rows["SEQNO"] = seqno & 0xFFFF
    return rows


def main():
    directory = Path(sys.argv[1])
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(2014)
    (directory / "monday.qvx").write_bytes(frame_file(monday(rng)))
    (directory / "tuesday.qvx").write_bytes(frame_file(tuesday(rng)))


if __name__ == "__main__":
    main()
