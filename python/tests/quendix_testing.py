"""Helpers of the tests: the built converter and generator, frame files made
byte by byte, and the converter's outputs read back."""

import os
import subprocess
from pathlib import Path

import numpy as np
import pytest

import quendix

REPO = Path(__file__).resolve().parents[2]
CSV_HEADER = b"SEQNO,AX,AY,AZ,GX,GY,GZ,ASVM,GSVM\r\n"

# A frame as it is recorded: the header, then nine samples.
RAW_SAMPLE = np.dtype([(name, quendix.SAMPLE_DTYPE[name]) for name in quendix.SAMPLE_DTYPE.names[:7]])
RAW_FRAME = np.dtype([("magic", "<u2"), ("block", "<u2"), ("page_word", "<u2"),
                      ("samples", RAW_SAMPLE, (9,))])


def program(variable, name):
    """The built program named by the environment variable `variable`, by
    default build/default/`name` of this repository; skips the test when it
    is not there."""
    path = Path(os.environ.get(variable) or REPO / "build" / "default" / name)
    if not (path.is_file() and os.access(path, os.X_OK)):
        pytest.skip("%s not found at %s: build it with `cmake --workflow --preset default` "
                    "or set %s" % (name, path, variable))
    return path


def frames(positions, samples=None):
    """The bytes of valid frames at the (block, page_word) `positions`, with
    zero samples or the rows of `samples` (a RAW_SAMPLE array, nine a frame)."""
    out = np.zeros(len(positions), RAW_FRAME)
    out["magic"] = 0x4453
    if len(positions):
        out["block"], out["page_word"] = np.array(positions, dtype=np.uint16).T
    if samples is not None:
        out["samples"] = samples.reshape(-1, 9)
    return out.tobytes()


def erased_frame():
    """A frame without the marker: every byte 0xFF, as erased storage reads."""
    return b"\xff" * 132


def recording_of(samples):
    """A frame file holding the rows of `samples` (padded with zero rows to
    whole frames), its frames in step from (1, 0)."""
    padded = np.zeros(-(-len(samples) // 9) * 9, RAW_SAMPLE)
    padded[:len(samples)] = samples
    padded["SEQNO"] = np.arange(len(padded)) & 0xFFFF
    count = len(padded) // 9
    positions = [(1 + i // 512 % 510, i % 512) for i in range(count)]
    return frames(positions, padded)


def convert(quendix_program, directory, end_block=510):
    """Runs the converter on every .qvx file of `directory`."""
    subprocess.run([str(quendix_program), "-e", str(end_block), "*.qvx"], cwd=directory,
                   check=True, stdout=subprocess.DEVNULL, timeout=120)


def csv_rows(path):
    """The rows of the converter's CSV file: an int64 array of nine columns.
    Checks the header, the CR LF line ends and that every field is a plain
    decimal integer."""
    text = Path(path).read_bytes()
    assert text.startswith(CSV_HEADER)
    body = text[len(CSV_HEADER):]
    lines = body.count(b"\n")
    assert body.count(b"\r\n") == lines and body.endswith(b"\r\n") == (lines > 0)
    assert body.translate(None, b"0123456789-,\r\n") == b""
    values = np.fromstring(body.replace(b"\r\n", b","), dtype=np.int64, sep=",")
    assert len(values) == 9 * lines
    return values.reshape(lines, 9)


def log_lines(path):
    """The lines of the converter's log file, without their CR LF."""
    text = Path(path).read_bytes().decode("ascii")
    assert text.endswith("\r\n")
    return text[:-2].split("\r\n")


def assert_same_as_converter(path, end_block=510):
    """Reads `path` with the package and checks every row and report line
    against the converter's CSV and log files beside it."""
    path = Path(path)
    recording = quendix.read(path, end_block)
    assert recording.report == log_lines(path.with_suffix(".log")), path
    rows = np.stack([recording.samples[name].astype(np.int64)
                     for name in quendix.SAMPLE_DTYPE.names], axis=1)
    expected = csv_rows(path.with_suffix(".csv"))
    assert rows.shape == expected.shape, path
    mismatch = np.flatnonzero((rows != expected).any(axis=1))
    assert len(mismatch) == 0, "%s: row %d is %s, the converter wrote %s" % (
        path, mismatch[0], rows[mismatch[0]].tolist(), expected[mismatch[0]].tolist())
    # Every whole frame is listed, and every line but "end" reports one.
    frames_ = recording.frames
    size = path.stat().st_size
    assert np.array_equal(frames_["offset"], np.arange(size // 132) * 132)
    headers = np.fromfile(path, "<u2", count=size // 132 * 66).reshape(-1, 66)[:, :3]
    assert np.array_equal(frames_["valid"], headers[:, 0] == 0x4453)
    assert np.array_equal(frames_["block"], headers[:, 1])
    assert np.array_equal(frames_["page_word"], headers[:, 2])
    assert frames_["reported"].sum() == len(recording.report) - 1
    assert 9 * frames_["valid"].sum() == len(rows)
    return recording


# The report of whole files: (what, bytes, end_block, lines).
REPORT_CASES = [
    ("the whole five-frame file",
     frames([(1, 0), (1, 1), (1, 5)]) + erased_frame() + frames([(1, 7)]), 510,
     ["    start :   1,   0", "different :   1,   2 ->   1,   5",
      "  missing :   1,   3 -> 65535, 65535 (396)", "different :   1,   4 ->   1,   7",
      "      end :   1,   7"]),
    ("in step across a block", frames([(1, 510), (1, 511), (2, 0), (2, 1)]), 510,
     ["    start :   1, 510", "      end :   2,   1"]),
    ("end block 510 wraps to block 1", frames([(510, 511), (1, 0)]), 510,
     ["    start : 510, 511", "      end :   1,   0"]),
    ("block 509 goes on to 510", frames([(509, 511), (510, 0)]), 510,
     ["    start : 509, 511", "      end : 510,   0"]),
    ("end block 1 keeps block 1", frames([(1, 511), (1, 0)]), 1,
     ["    start :   1, 511", "      end :   1,   0"]),
    ("end block 511 goes on to 511", frames([(510, 511)] + [(511, p) for p in range(512)] + [(1, 0)]), 511,
     ["    start : 510, 511", "      end :   1,   0"]),
    ("end block 1, a higher first block is kept until the page wraps",
     frames([(5, 0), (5, 1)]), 1, ["    start :   5,   0", "      end :   5,   1"]),
    ("a first block above end block", frames([(600, 0), (600, 1), (600, 511), (1, 0)]), 510,
     ["    start : 600,   0", "different : 600,   2 -> 600, 511",
      "different : 600,   3 ->   1,   0", "      end :   1,   0"]),
    ("a first block above end block, in step", frames([(600, 510), (600, 511), (1, 0)]), 510,
     ["    start : 600, 510", "      end :   1,   0"]),
    ("the prediction stays behind after a gap", frames([(1, 0), (1, 1), (1, 5), (1, 6)]), 510,
     ["    start :   1,   0", "different :   1,   2 ->   1,   5",
      "different :   1,   3 ->   1,   6", "      end :   1,   6"]),
    ("the R flag at the expected position is silent, elsewhere it is shown",
     frames([(1, 0), (1, 0x8001), (1, 0x8005)]), 510,
     ["    start :   1,   0", "different :   1,   2 ->   1,   5(R)", "      end :   1, 32773"]),
    ("a first page word with the R flag", frames([(3, 0x8005), (4, 0)]), 510,
     ["    start :   3, 32773", "      end :   4,   0"]),
    ("a first page word with the R flag at the end block", frames([(510, 0x8005), (1, 0)]), 510,
     ["    start : 510, 32773", "      end :   1,   0"]),
    ("a first page word above 511", frames([(510, 600), (1, 0)]), 510,
     ["    start : 510, 600", "      end :   1,   0"]),
    ("a first page word of 0xFFFF", frames([(7, 0xFFFF), (7, 0)]), 510,
     ["    start :   7, 65535", "      end :   7,   0"]),
    ("expected block 65535 wraps to 0", frames([(65535, 511), (0, 0), (0, 1)]), 510,
     ["    start : 65535, 511", "      end :   0,   1"]),
    ("block 0 goes on to 1", frames([(65535, 511), (0, 0)] + [(0, p) for p in range(1, 512)] + [(1, 0)]), 510,
     ["    start : 65535, 511", "      end :   1,   0"]),
    ("a frame without the marker between valid ones",
     frames([(1, 0)]) + erased_frame() + frames([(1, 2)]), 510,
     ["    start :   1,   0", "  missing :   1,   1 -> 65535, 65535 (132)", "      end :   1,   2"]),
    ("a first frame without the marker predicts from (0, 0)",
     erased_frame() + frames([(0, 1), (1, 0)]), 510,
     ["  missing :   0,   0 -> 65535, 65535 (0)", "different :   0,   2 ->   1,   0",
      "      end :   1,   0"]),
    ("a frame without the marker keeps its own header",
     frames([(1, 0)]) + b"\x00\x00\x07\x00\x09\x80" + bytes(126), 510,
     ["    start :   1,   0", "  missing :   1,   1 ->   7, 32777 (132)", "      end :   7, 32777"]),
    ("an empty file ends at zeros", b"", 510, ["      end :   0,   0"]),
    ("a fragment alone shows its own bytes over zeros", b"\x53\x44\x05", 510,
     ["      end :   5,   0"]),
    ("a 3-byte fragment overwrites the low byte of the block",
     frames([(1, 0), (1, 1)]) + b"\x00\x00\x09", 510,
     ["    start :   1,   0", "      end :   9,   1"]),
    ("a 5-byte fragment overwrites the low byte of the page word",
     frames([(1, 0), (1, 0x0102)]) + b"\x00\x00\x02\x00\x03", 510,
     ["    start :   1,   0", "different :   1,   1 ->   1, 258", "      end :   2, 259"]),
    ("a 6-byte fragment supplies both values",
     frames([(1, 0)]) + b"\x53\x44\x02\x00\x03\x00", 510,
     ["    start :   1,   0", "      end :   2,   3"]),
]
