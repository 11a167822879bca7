"""Reading a frame file: its samples with their magnitudes, its frames, and
its continuity report."""

import errno
import operator
import os
import stat

import numpy as np

from .report import report_lines

FRAME_SIZE = 132
FRAME_WORDS = FRAME_SIZE // 2
SAMPLES_PER_FRAME = 9
SAMPLE_WORDS = 7
FRAME_MAGIC = 0x4453
ACCEL_UNIT = 1.0 / 8192.0  # exactly 2 to the power -13
GYRO_SCALE = 65.536
AXES = ("AX", "AY", "AZ", "GX", "GY", "GZ")
DEFAULT_END_BLOCK = 510

# One CSV row: the sample as the frame holds it, then its magnitudes.
SAMPLE_DTYPE = np.dtype([
    ("SEQNO", "<u2"), ("AX", "<i2"), ("AY", "<i2"), ("AZ", "<i2"),
    ("GX", "<i2"), ("GY", "<i2"), ("GZ", "<i2"), ("ASVM", "<i2"), ("GSVM", "<i2"),
])

# One whole frame: its byte offset in the file, its header, whether it
# carries the marker, and whether the report has a line for it.
FRAME_DTYPE = np.dtype([
    ("offset", "<i8"), ("block", "<u2"), ("page_word", "<u2"),
    ("valid", "?"), ("reported", "?"),
])

# Frames read and converted at a time: large enough that numpy's per-call
# cost vanishes, small enough that the float64 intermediates of the
# magnitudes stay a few hundred KiB.
CHUNK_FRAMES = 4096


class Recording:
    """A frame file as the converter sees it.

    samples: one element per CSV row, in file order (SAMPLE_DTYPE).
    frames:  one element per whole frame, valid or not (FRAME_DTYPE).
    report:  the log's lines, without line ends.
    """

    def __init__(self, path, end_block, samples, frames, report):
        self.path = path
        self.end_block = end_block
        self.samples = samples
        self.frames = frames
        self.report = report

    def __repr__(self):
        return "<quendix.Recording %r: %d frames, %d samples, %d report lines>" % (
            self.path, len(self.frames), len(self.samples), len(self.report))

    def to_dataframe(self):
        """The samples as a pandas.DataFrame with the CSV's columns."""
        import pandas

        return pandas.DataFrame(self.samples)


def read(path, end_block=DEFAULT_END_BLOCK):
    """Reads the frame file at `path` and returns its Recording.

    `end_block` (1 to 511) is the highest block number before the expected
    position wraps to block 1, as the converter's -e option. Raises
    ValueError for another `end_block`, and OSError naming the path when it
    cannot be opened or read or is not a regular file. The file is only read.
    """
    end_block = operator.index(end_block)
    if not 1 <= end_block <= 511:
        raise ValueError("end_block must be 1 to 511, not %d" % end_block)
    fd, size = _open_regular_file(path)
    with open(fd, "rb", buffering=0) as stream:
        try:
            samples, frames, end_header = _read_frames(stream, size)
        except OSError as error:
            # A failed read is an error here, where the converter ends the
            # file at it: no part of a recording passes for the whole.
            raise OSError(error.errno, error.strerror, os.fspath(path)) from error
    report, frames["reported"] = report_lines(frames, end_header, end_block)
    return Recording(path, end_block, samples, frames, report)


def _open_regular_file(path):
    """Opens `path` for reading and returns its descriptor and size.

    O_NONBLOCK keeps the open from waiting for a FIFO's writer; the type
    check then turns away everything that is not a regular file, before a
    byte is read.
    """
    flags = os.O_RDONLY
    for name in ("O_BINARY", "O_NONBLOCK", "O_NOCTTY", "O_CLOEXEC"):
        flags |= getattr(os, name, 0)
    fd = os.open(path, flags)
    name = os.fspath(path)
    try:
        st = os.fstat(fd)
        if stat.S_ISDIR(st.st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        if not stat.S_ISREG(st.st_mode):
            raise OSError(errno.EINVAL, "not a regular file (%s)" % _file_kind(st.st_mode), name)
    except BaseException:
        os.close(fd)
        raise
    return fd, st.st_size


def _file_kind(mode):
    """What a file of `mode` is, for a message."""
    if stat.S_ISFIFO(mode):
        return "a FIFO"
    if stat.S_ISCHR(mode):
        return "a character device"
    if stat.S_ISBLK(mode):
        return "a block device"
    if stat.S_ISSOCK(mode):
        return "a socket"
    return "mode %o" % stat.S_IFMT(mode)


def _fill(stream, buffer):
    """Reads into `buffer` until it is full or the file ends; returns the
    number of bytes read."""
    view = memoryview(buffer)
    got = 0
    while got < len(view):
        n = stream.readinto(view[got:])
        if not n:
            break
        got += n
    return got


def _read_frames(stream, size):
    """Reads every whole frame of `stream`.

    Returns the samples of the valid frames, the frames, and the (block,
    page_word) of the frame buffer at the end: the last whole frame's
    header, with a trailing fragment's bytes copied over it, on a buffer
    that starts zeroed.
    """
    samples = np.empty(size // FRAME_SIZE * SAMPLES_PER_FRAME, SAMPLE_DTYPE)
    frames = np.empty(size // FRAME_SIZE, FRAME_DTYPE)
    chunk = np.empty(CHUNK_FRAMES * FRAME_SIZE, np.uint8)
    header = np.zeros(6, np.uint8)
    frame_count = sample_count = 0
    while True:
        got = _fill(stream, chunk)
        whole = got // FRAME_SIZE
        if whole > 0:
            if frame_count + whole > len(frames):
                # The file grew since its size was taken.
                capacity = max(frame_count + whole, 2 * len(frames))
                frames.resize(capacity, refcheck=False)
                samples.resize(capacity * SAMPLES_PER_FRAME, refcheck=False)
            sample_count += _convert_frames(chunk[:whole * FRAME_SIZE], frame_count,
                                            frames[frame_count:], samples[sample_count:])
            frame_count += whole
            header[:] = chunk[(whole - 1) * FRAME_SIZE:(whole - 1) * FRAME_SIZE + 6]
        if got < len(chunk):
            fragment = chunk[whole * FRAME_SIZE:got][:6]
            header[:len(fragment)] = fragment
            break
    # Frames without the marker have no rows, and the file may have shrunk.
    frames.resize(frame_count, refcheck=False)
    samples.resize(sample_count, refcheck=False)
    words = header.view("<u2")
    return samples, frames, (int(words[1]), int(words[2]))


def _convert_frames(data, first_frame, frames, samples):
    """Fills `frames` with the headers of the whole frames in `data` and
    `samples` with the rows of the valid ones; returns the number of rows."""
    words = data.view("<u2").reshape(-1, FRAME_WORDS)
    count = len(words)
    valid = words[:, 0] == FRAME_MAGIC
    out = frames[:count]
    out["offset"] = (first_frame + np.arange(count, dtype=np.int64)) * FRAME_SIZE
    out["block"] = words[:, 1]
    out["page_word"] = words[:, 2]
    out["valid"] = valid
    sample_words = words[:, 3:] if valid.all() else words[valid, 3:]
    rows = len(sample_words) * SAMPLES_PER_FRAME
    raw = sample_words.reshape(rows, SAMPLE_WORDS)
    out = samples[:rows]
    # Field by field: numpy copies a long column faster than many short rows.
    out["SEQNO"] = raw[:, 0]
    for column, name in enumerate(AXES, start=1):
        out[name] = raw[:, column].view("<i2")
    _magnitudes(out)
    return rows


def _magnitudes(samples):
    """Sets ASVM and GSVM of `samples` from their axes.

    In double precision, the converter's definition step by step: ASVM is
    each acceleration axis times 2^-13, squared, summed in the order X, Y,
    Z, its square root times 100; GSVM each angular-rate axis divided by
    65.536, squared, summed, its square root. Storing the non-negative
    double into an integer field truncates it.
    """
    total = np.empty(len(samples))
    term = np.empty(len(samples))
    _sum_of_squares(samples, ("AX", "AY", "AZ"), np.multiply, ACCEL_UNIT, total, term)
    np.sqrt(total, out=total)
    np.multiply(total, 100.0, out=total)
    samples["ASVM"] = total
    _sum_of_squares(samples, ("GX", "GY", "GZ"), np.divide, GYRO_SCALE, total, term)
    np.sqrt(total, out=total)
    samples["GSVM"] = total


def _sum_of_squares(samples, axes, scale, factor, total, term):
    """Sets `total` to the sum of the squares of the three `axes` fields of
    `samples`, each first scaled by `scale` (np.multiply or np.divide) with
    `factor`, added in the order given."""
    scale(samples[axes[0]], factor, out=total, dtype=np.float64)
    np.multiply(total, total, out=total)
    for axis in axes[1:]:
        scale(samples[axis], factor, out=term, dtype=np.float64)
        np.multiply(term, term, out=term)
        np.add(total, term, out=total)
