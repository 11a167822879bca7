"""Reading a frame file: its samples with their magnitudes, its frames, and
its continuity report, at once or piece by piece."""

import collections
import errno
import io
import numbers
import operator
import os
import stat

import numpy as np

from .files import open_regular_file
from .continuity import Continuity, end_line
from .physical import TimeLine, physical_frame

FRAME_SIZE = 132
FRAME_WORDS = FRAME_SIZE // 2
HEADER_SIZE = 6
SAMPLES_PER_FRAME = 9
SAMPLE_WORDS = 7
FRAME_MAGIC = 0x4453
AXES = ("AX", "AY", "AZ", "GX", "GY", "GZ")
DEFAULT_END_BLOCK = 510
DEFAULT_PIECE_FRAMES = 65536

# One CSV row: the sample as the frame holds it, then its magnitudes.
SAMPLE_DTYPE = np.dtype([
    ("SEQNO", "<u2"), ("AX", "<i2"), ("AY", "<i2"), ("AZ", "<i2"),
    ("GX", "<i2"), ("GY", "<i2"), ("GZ", "<i2"), ("ASVM", "<i2"), ("GSVM", "<i2"),
])

# One sample as the frame holds it: SEQNO and the six axes (14 bytes).
ROW_DTYPE = np.dtype([(name, SAMPLE_DTYPE[name]) for name in SAMPLE_DTYPE.names[:7]])

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
    """A frame file as the converter sees it, or a piece of one.

    samples:      a numpy structured array, one element per CSV row, in file
                  order: the nine samples of every valid frame (SAMPLE_DTYPE).
    frames:       a numpy structured array, one element per whole frame of
                  the file, valid or not (FRAME_DTYPE).
    report:       a list of str: the log's lines, in order, without line ends.
    path:         the path read() was given (a file object's `name`, or None).
    end_block:    the end block the report was made with.
    first_sample: the index in the whole recording of the first row of
                  `samples` (0 but for the later pieces of read_chunks).
    before:       the time line's Carry of the rows before `samples` (None
                  but for the later pieces of read_chunks), which
                  to_physical carries on from.
    whole:        whether the samples are the whole recording's (False for
                  a piece of read_chunks, unless it is the only one).

    The fields of `samples` (18 bytes a row) are the CSV's columns, in the
    recording's 16-bit types, so that a recording takes little memory
    (widen them before arithmetic that can leave that range, as in
    samples["AX"].astype(np.int32) ** 2):
      SEQNO       uint16  the sequence number
      AX, AY, AZ  int16   raw accelerometer counts, 8192 to one unit
      GX, GY, GZ  int16   raw gyroscope counts, 65.536 to one unit
      ASVM        int16   acceleration magnitude in hundredths of a unit (0 to 692)
      GSVM        int16   angular-rate magnitude in units (0 to 866)
    The fields of `frames` (14 bytes a frame):
      offset      int64   the byte offset of the frame's first byte in the file
      block       uint16  the block number, as recorded
      page_word   uint16  the page word, as recorded: the page in bits 0 to 14
                          (& 0x7FFF), the R flag in bit 15 (& 0x8000)
      valid       bool    whether the frame carries the marker; only valid
                          frames have rows
      reported    bool    whether the report has a line for the frame
                          (start, different or missing)
    Row i of `samples` belongs to the frame np.flatnonzero(frames["valid"])[i // 9];
    the first row of each frame is 9 * (np.cumsum(frames["valid"]) - frames["valid"]),
    plus first_sample in the whole recording.
    """

    def __init__(self, path, end_block, samples, frames, report, first_sample=0, before=None,
                 whole=True):
        self.path = path
        self.end_block = end_block
        self.samples = samples
        self.frames = frames
        self.report = report
        self.first_sample = first_sample
        self.before = before
        self.whole = whole

    def __repr__(self):
        return "<quendix.Recording %r: %d frames, %d samples, %d report lines>" % (
            self.path, len(self.frames), len(self.samples), len(self.report))

    def to_dataframe(self):
        """The samples as a pandas.DataFrame with the CSV's columns and
        types. Imports pandas, which only this needs."""
        import pandas

        return pandas.DataFrame(self.samples)

    def to_physical(self, rate=None, calibration=None, fill=None, gyro_bias=False):
        """The samples in physical units on the recording's time line, as a
        pandas.DataFrame (imports pandas), one row per row of `samples`, in
        file order, with the columns:
          tick         int64    the sample's place on the time line (see
                                quendix.physical): tick[0] = 0, and a step
                                of the counter of d = 1 to 32767 advances d
                                ticks, any other step (a repeat, a step
                                back) one
          time         float64  tick / rate, in seconds; only with a `rate`
          AX, AY, AZ   float64  acceleration in g (counts / 8192)
          GX, GY, GZ   float64  angular rate in degrees per second
                                (counts / 65.536)
          lost_before  int32    the samples lost just before the row: d - 1
                                for a step forward d >= 2, else 0; their sum
                                is the quality column seq_lost
          seq_fault    bool     the counter repeated (d = 0) or stepped back
                                (d >= 32768) at the row
          filled       bool     whether the row was added by `fill`; only
                                with a fill policy
        On a piece of read_chunks the time line carries on from the pieces
        before it, so that the pieces' frames, one after the other, are the
        whole recording's.

        Parameters
        ----------
        rate : float, optional
            Samples per second, for the `time` column; never guessed.
        calibration : None, False, True or Calibration
            None or False: the raw scale. True: fit the recording's own calibration
            (see quendix.calibrate) and apply it; on a piece of read_chunks
            this raises ValueError, pass quendix.calibrate(path) instead.
            A Calibration: apply that one, say another recording's of the
            same sensor. One that is not applied (see its `applied`)
            changes nothing and warns with its reason (UserWarning).
        fill : None, "nan", "hold" or "linear"
            None, the default: the recorded rows only. Else a row for every
            lost tick too: NaN, the last recorded value, or linear in the
            tick between the recorded rows on either side; `lost_before`
            and `seq_fault` are 0 and False in the added rows.
        gyro_bias : bool
            Subtract the gyroscope's bias: the mean angular rate over the
            still windows, of `calibration` or else of the recording's own
            fit; warns and subtracts nothing without a still window.

        The frame's `attrs` hold "rate", "fill", "calibration" (the
        Calibration applied, or None) and "gyro_bias" (the bias subtracted,
        or None). Raises ValueError for a rate that is not above 0 and an
        unknown fill policy.
        """
        return physical_frame(self.samples, self.before, self.whole, rate, calibration, fill, gyro_bias)


def read(source, end_block=DEFAULT_END_BLOCK):
    """Reads the frame file `source` and returns its Recording.

    `source` is a path (str, bytes or os.PathLike), or a readable binary
    file object (opened with "rb", a pipe, an io.BytesIO...), which is read
    from where it stands to its end and left open; the offsets then count
    from there. `end_block` (1 to 511) is the highest block number before
    the expected position wraps to block 1, as the converter's -e option.

    Raises ValueError for another `end_block`, TypeError for one that is
    not an integer and for a source that is neither a path nor a binary
    file object (a list, a text file). Raises OSError (or a subclass, such
    as FileNotFoundError), with the path in its message and its
    `filename`, for a path that is missing, a directory, a FIFO, a socket
    or a device, a file that may not be read, and a read that fails (a file
    object's readinto() that gives anything but a count of bytes too): where
    the converter ends the file at a failed read, no part of a recording
    passes for the whole here. A FIFO never blocks the call: it is opened
    without waiting and turned away before a byte is read. Links are
    followed as the converter follows them: only those of the user or of
    root. The file is only read; nothing is written anywhere.

    The recording is held whole: 18 bytes a sample and 14 a frame, about
    1.3 times the file. For larger files use read_chunks() or summary().
    """
    end_block = check_end_block(end_block)
    with FrameFile(source) as source_file:
        frames = np.empty(source_file.size_hint // FRAME_SIZE, FRAME_DTYPE)
        samples = np.empty(len(frames) * SAMPLES_PER_FRAME, SAMPLE_DTYPE)
        frame_count = sample_count = 0
        for data, _ in source_file.pieces(CHUNK_FRAMES):
            whole = len(data) // FRAME_SIZE
            if frame_count + whole > len(frames):
                # The file grew since its size was taken, or had none.
                capacity = max(frame_count + whole, 2 * len(frames))
                frames.resize(capacity, refcheck=False)
                samples.resize(capacity * SAMPLES_PER_FRAME, refcheck=False)
            sample_count += convert_frames(data, frame_count, frames[frame_count:],
                                           samples[sample_count:])
            frame_count += whole
        # Frames without the marker have no rows, and the file may have shrunk.
        frames.resize(frame_count, refcheck=False)
        samples.resize(sample_count, refcheck=False)
        report = Continuity(end_block).lines(frames)
        report.append(end_line(source_file.end_header()))
        return Recording(source_file.name, end_block, samples, frames, report)


def read_chunks(source, end_block=DEFAULT_END_BLOCK, frames=DEFAULT_PIECE_FRAMES):
    """Reads the frame file `source` piece by piece: an iterator of
    Recordings of at most `frames` whole frames each (every piece but the
    last has exactly `frames`), in file order.

    `source` and `end_block` are those of read(). Their samples, frames and
    report lines, one piece after the other, are exactly those of
    read(source, end_block): the continuity check runs on from piece to
    piece, so that a jump or a run of frames without the marker across a
    piece boundary is reported as in the whole file, and the "end" line
    comes with the last piece. A file without a whole frame gives one
    piece, with no frames. Each piece's `first_sample` is the index of its
    first row in the whole recording.

    Memory stays bounded by the size of a piece whatever the file's size:
    two buffers of the file's bytes (the read ahead tells the last piece),
    8.6 MB each with the default 65536 frames, and the arrays of one piece.

    Raises ValueError for `frames` below 1 and TypeError for one that is
    not an integer, and for `end_block` as read() does. The file is opened
    at once, so that a path that cannot be read raises OSError here, as
    read() does; reading errors are raised by the iteration. The file is
    closed when the iteration ends or the iterator is closed.
    """
    end_block, piece_frames = _checked_pieces(end_block, frames)
    return _pieces(FrameFile(source), end_block, piece_frames)


def _checked_pieces(end_block, frames):
    """`end_block` and the piece size `frames` as read_chunks() takes them,
    or the errors it raises for them."""
    end_block = check_end_block(end_block)
    piece_frames = operator.index(frames)
    if piece_frames < 1:
        raise ValueError("frames must be at least 1, not %d" % piece_frames)
    return end_block, piece_frames


def _pieces(source_file, end_block, piece_frames):
    with source_file:
        continuity = Continuity(end_block)
        time_line = TimeLine()
        frame_count = sample_count = 0
        for data, last in source_file.pieces(piece_frames):
            whole = len(data) // FRAME_SIZE
            frames = np.empty(whole, FRAME_DTYPE)
            samples = np.empty(whole * SAMPLES_PER_FRAME, SAMPLE_DTYPE)
            rows = convert_frames(data, frame_count, frames, samples)
            samples.resize(rows, refcheck=False)
            report = continuity.lines(frames)
            if last:
                report.append(end_line(source_file.end_header()))
            before = time_line.carry()
            time_line.add(samples["SEQNO"], samples)
            yield Recording(source_file.name, end_block, samples, frames, report, sample_count, before,
                            whole=last and frame_count == 0)
            frame_count += whole
            sample_count += rows


class RowPiece(collections.namedtuple("RowPiece", "rows frames report before")):
    """A piece of row_pieces(): its rows as the frames hold them (ROW_DTYPE,
    one array the piece owns), its frames (FRAME_DTYPE) and report lines
    as read_chunks() gives them, and the time line's Carry of the rows
    before it (None for the first)."""


def row_pieces(source, end_block=DEFAULT_END_BLOCK, frames=DEFAULT_PIECE_FRAMES):
    """The pieces of read_chunks(source, end_block, frames), as RowPieces:
    the rows without their magnitudes, each piece's taken from the frame
    file's words in one copy, for the package's own passes over a
    recording that need neither the magnitudes nor a Recording. Raises as
    read_chunks() does."""
    end_block, piece_frames = _checked_pieces(end_block, frames)
    return _row_pieces(FrameFile(source), end_block, piece_frames)


def _row_pieces(source_file, end_block, piece_frames):
    with source_file:
        continuity = Continuity(end_block)
        time_line = TimeLine()
        frame_count = 0
        for data, last in source_file.pieces(piece_frames):
            words = data.view("<u2").reshape(-1, FRAME_WORDS)
            frames = np.empty(len(words), FRAME_DTYPE)
            valid = _frame_headers(words, frame_count, frames)
            sample_words = np.ascontiguousarray(words[:, 3:] if valid.all() else words[valid, 3:])
            rows = sample_words.reshape(-1).view(ROW_DTYPE)
            report = continuity.lines(frames)
            if last:
                report.append(end_line(source_file.end_header()))
            before = time_line.carry()
            time_line.add(rows["SEQNO"], rows)
            yield RowPiece(rows, frames, report, before)
            frame_count += len(words)


def check_end_block(end_block):
    """`end_block` as an int, when it is an integer from 1 to 511."""
    end_block = operator.index(end_block)
    if not 1 <= end_block <= 511:
        raise ValueError("end_block must be 1 to 511, not %d" % end_block)
    return end_block


def is_path(source):
    """Whether `source` names a file rather than being a file object."""
    return isinstance(source, (str, bytes, os.PathLike))


class FrameFile:
    """A frame file being read: a path opened here, or a file object given
    by the caller (read from where it stands, and left open).

    `pieces` reads its whole frames; `end_header` then gives the header of
    the frame buffer after the last read, as the converter's "end" line
    shows it: the last whole frame's header, with the first bytes of a
    trailing fragment copied over it, on a buffer that starts zeroed.
    """

    def __init__(self, source):
        if is_path(source):
            fd, self.size_hint = open_regular_file(source)
            self.stream = open(fd, "rb", buffering=0)
            self.name = source
            self.owned = True
        elif isinstance(source, io.TextIOBase):
            raise TypeError("a frame file is read in binary mode; open it with \"rb\"")
        elif hasattr(source, "readinto") or hasattr(source, "read"):
            self.stream = source
            self.name = getattr(source, "name", None)
            self.size_hint = _remaining_size(source)
            self.owned = False
        else:
            raise TypeError("source must be a path or a readable binary file object, not %s"
                            % type(source).__name__)
        self.header = np.zeros(HEADER_SIZE, np.uint8)
        self.bytes_read = 0

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.owned:
            self.stream.close()

    def end_header(self):
        words = self.header.view("<u2")
        return int(words[1]), int(words[2])

    def pieces(self, piece_frames):
        """The whole frames of the file, as pairs of a uint8 array of at
        most `piece_frames` frames and whether it is the last one, which may
        hold none. Each array is valid until the next is asked for: two
        buffers take turns."""
        size = piece_frames * FRAME_SIZE
        current, ahead = np.empty(size, np.uint8), np.empty(size, np.uint8)
        got = self._fill(current)
        while True:
            # A full piece may be the last: the read ahead tells.
            got_ahead = self._fill(ahead) if got == size else 0
            whole = got // FRAME_SIZE * FRAME_SIZE
            last = got < size or got_ahead < FRAME_SIZE
            if whole:
                self.header[:] = current[whole - FRAME_SIZE:whole - FRAME_SIZE + HEADER_SIZE]
            if last:
                fragment = (current[whole:got] if got < size else ahead[:got_ahead])[:HEADER_SIZE]
                self.header[:len(fragment)] = fragment
            yield current[:whole], last
            if last:
                return
            current, ahead, got = ahead, current, got_ahead

    def _fill(self, buffer):
        got = fill(self.stream, buffer, self.name)
        self.bytes_read += got
        return got


def fill(stream, buffer, name):
    """Reads from `stream` into `buffer` until it is full or the file ends;
    returns the number of bytes read. A failed read raises OSError naming
    the file `name`: where the converter ends the file at it, here no part
    of a recording passes for the whole."""
    try:
        return _fill(stream, buffer)
    except OSError as error:
        if error.filename is None and name is not None and error.errno is not None:
            raise OSError(error.errno, error.strerror, os.fspath(name)) from error
        raise


def _fill(stream, buffer):
    view = memoryview(buffer)
    got = 0
    readinto = getattr(stream, "readinto", None)
    while got < len(view):
        wanted = len(view) - got
        if readinto is not None:
            n = readinto(view[got:])
        else:
            data = stream.read(wanted)
            if data is not None and not isinstance(data, (bytes, bytearray, memoryview)):
                raise TypeError("a frame file is read in binary mode; its read() gave %s"
                                % type(data).__name__)
            n = None if data is None else len(data)
            if n and n <= wanted:
                view[got:got + n] = data
        if n is None:
            raise BlockingIOError(errno.EAGAIN, "the file object has no data ready (non-blocking)")
        # A count from 0 to what was asked for: anything else (a negative
        # number, more, not a whole number) would loop or read past the
        # buffer.
        if isinstance(n, bool) or not isinstance(n, numbers.Integral) or not 0 <= n <= wanted:
            given = "readinto() gave %r" % (n,) if readinto is not None else "read() gave %d bytes" % n
            raise OSError(errno.EIO, "the file object's %s, not a count of bytes from 0 to %d" % (given, wanted))
        if not n:
            break
        got += int(n)
    return got


def _remaining_size(stream):
    """The bytes left in a file object's regular file, or 0 when unknown:
    only sizes the first arrays."""
    try:
        st = os.fstat(stream.fileno())
        if stat.S_ISREG(st.st_mode):
            return max(0, st.st_size - stream.tell())
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        pass
    return 0


def convert_frames(data, first_frame, frames, samples):
    """Fills `frames` with the headers of the whole frames in `data` (bytes
    as a uint8 array), the first being frame `first_frame` of the file, and
    `samples` with the rows of the valid ones; returns the number of rows."""
    rows = 0
    for start in range(0, len(data) // FRAME_SIZE, CHUNK_FRAMES):
        block = data[start * FRAME_SIZE:(start + CHUNK_FRAMES) * FRAME_SIZE]
        rows += _convert_block(block, first_frame + start, frames[start:], samples[rows:])
    return rows


def _convert_block(data, first_frame, frames, samples):
    words = data.view("<u2").reshape(-1, FRAME_WORDS)
    valid = _frame_headers(words, first_frame, frames)
    sample_words = words[:, 3:] if valid.all() else words[valid, 3:]
    rows = len(sample_words) * SAMPLES_PER_FRAME
    raw = sample_words.reshape(rows, SAMPLE_WORDS)
    out = samples[:rows]
    # Field by field: numpy copies a long column faster than many short rows.
    out["SEQNO"] = raw[:, 0]
    for column, name in enumerate(AXES, start=1):
        out[name] = raw[:, column].view("<i2")
    magnitudes(out)
    return rows


def _frame_headers(words, first_frame, frames):
    """Fills `frames` with the headers of the frames whose words are the
    rows of `words`, the first being frame `first_frame` of the file;
    returns which are valid."""
    count = len(words)
    valid = words[:, 0] == FRAME_MAGIC
    out = frames[:count]
    out["offset"] = (first_frame + np.arange(count, dtype=np.int64)) * FRAME_SIZE
    out["block"] = words[:, 1]
    out["page_word"] = words[:, 2]
    out["valid"] = valid
    return valid


# ASVM is the root of the sum of the squared accelerometer counts times
# 2^-26, times 100; GSVM the root of the sum of the squared gyroscope counts
# times 1000^2 / 2^32 = 15625 * 2^-26. The root of x * 2^-26 is the root of
# x times 2^-13, exactly, so only these factors are left after the root.
ASVM_FACTOR = 100.0 * 2.0 ** -13  # exact
GSVM_FACTOR = 2.0 ** -13


def magnitudes(samples):
    """Sets ASVM and GSVM of `samples` from their axes, equal to the
    converter's for every sample.

    The converter takes the root of the integer sum of the three squared
    counts times 2^-26 (times 15625 * 2^-26 for the gyroscope), times 100
    for ASVM. Here the squares and their sums are whole numbers below 2^32,
    and the gyroscope sum times 15625 below 2^46, so they are exact in
    float64; the root of x * 2^-26 is the root of x times 2^-13 exactly,
    and a factor of a power of two rounds nothing, so the correctly rounded
    root times one exact factor is the converter's double, bit for bit.
    Storing the non-negative double into an integer field truncates it.
    """
    total = np.empty(len(samples))
    term = np.empty(len(samples))
    for axes, scale, factor, name in ((AXES[:3], None, ASVM_FACTOR, "ASVM"),
                                      (AXES[3:], 15625.0, GSVM_FACTOR, "GSVM")):
        np.copyto(total, samples[axes[0]])
        np.multiply(total, total, out=total)
        for axis in axes[1:]:
            np.copyto(term, samples[axis])
            np.multiply(term, term, out=term)
            np.add(total, term, out=total)
        if scale is not None:
            np.multiply(total, scale, out=total)
        np.sqrt(total, out=total)
        np.multiply(total, factor, out=total)
        samples[name] = total
