"""A campaign in one HDF5 file: every recording's raw counts, its time
line, its frames and report lines, and on request its epochs, with the
settings and the source's size and SHA-256 as attributes, in plain
datasets that any HDF5 reader takes (R's hdf5r, MATLAB's h5read).

The file is written a piece of each recording at a time, in bounded
memory, under a temporary name beside the output, renamed into place once
whole (quendix.files): an export that fails or is killed leaves the file
that was there before as it was. h5py is imported only by export().
"""

import collections
import concurrent.futures
import functools
import hashlib
import json
import math
import os
import zlib

import numpy as np

from .calibration import ACCELEROMETER_COUNTS, GYROSCOPE_COUNTS
from .calibrating import calibrate
from .epochs import Epochs, Settings
from .files import access_of, check_output, open_regular_file, write_whole
from .physical import AXIS_NAMES, resolve_calibration, time_line
from .recording import (DEFAULT_END_BLOCK, DEFAULT_PIECE_FRAMES, FRAME_SIZE, SAMPLES_PER_FRAME, check_end_block,
                        row_pieces)
from .walk import DEFAULT_SELECTOR, recordings

# Rows (or frames, or lines) of one chunk of a dataset.
CHUNK_ROWS = 65536
COMPRESSION_LEVEL = 1
COMPRESSING_THREADS = 2
# Chunks compressed or waiting to be written at most at once: they bound
# the memory the export holds beside a piece.
CHUNKS_IN_FLIGHT = 16
# The filters of every dataset, in order: shuffle (bit 0 of a chunk's
# filter mask), deflate (bit 1); a chunk whose bit is set skipped it.
SKIP_DEFLATE = 0b10
# Bytes of a byte plane deflated on trial, twice: at its start and middle.
TRIAL_BYTES = 4096
# A plane is deflated when its trial keeps at most this share of its
# bytes: runs, counters, bytes of few values, which deflate shrinks fast.
# Noisier planes are stored as they are: deflate takes several times as
# long over them for less, and the counts, noise in their low bytes, stay
# within the size of the recording stored.
DEFLATE_BELOW = 1.0 / 3.0
# The zlib stream's header (deflate, a 32 KiB window, the fastest level)
# and the last, empty block of deflate's fixed codes.
ZLIB_HEADER = b"\x78\x01"
FINAL_BLOCK = zlib.compressobj(COMPRESSION_LEVEL, zlib.DEFLATED, -15).flush()


class _HashingReader:
    """A recording's file, read through as row_pieces reads a file object,
    every byte going into a SHA-256 on a thread of its own while the bytes
    read are converted; each read first waits for the hashing of the one
    before, whose buffer it may fill again."""

    def __init__(self, path):
        fd, self.size = open_regular_file(path)
        self.stream = open(fd, "rb", buffering=0)
        self.name = path
        self.hash = hashlib.sha256()
        self.hashing = concurrent.futures.ThreadPoolExecutor(1)
        self.pending = None

    def readinto(self, buffer):
        self._hashed()
        got = self.stream.readinto(buffer)
        if got:
            self.pending = self.hashing.submit(self.hash.update, memoryview(buffer)[:got])
        return got

    def _hashed(self):
        if self.pending is not None:
            pending, self.pending = self.pending, None
            pending.result()

    def hexdigest(self):
        self._hashed()
        return self.hash.hexdigest()

    def fileno(self):
        return self.stream.fileno()

    def tell(self):
        return self.stream.tell()

    def close(self):
        self.hashing.shutdown()
        self.stream.close()


def recording_names(sources, selector=DEFAULT_SELECTOR):
    """The recordings of `sources` as (path, name) pairs: the name of one
    found below a directory is its path below it, that of a file given
    itself its file name. Raises OSError for a directory that cannot be
    listed and ValueError when two recordings would have one name."""
    if isinstance(sources, (str, bytes, os.PathLike)):
        sources = [sources]
    found, names = [], {}
    for source in sources:
        for path, error in recordings(source, selector):
            shown = os.fsdecode(os.fspath(path))
            if error is not None:
                raise OSError("%s: %s" % (shown, error))
            if os.path.isdir(source):
                name = os.path.relpath(shown, os.fsdecode(os.fspath(source)))
            else:
                name = os.path.basename(shown)
            name = name.replace(os.sep, "/")
            if name in names:
                raise ValueError("two recordings would be the group %r: %s and %s" % (name, names[name], shown))
            names[name] = shown
            found.append((path, name))
    return found


def _growing(group, name, dtype, columns=None):
    """A dataset of `dtype` that grows by rows, chunked and compressed."""
    shape = (0,) if columns is None else (0, columns)
    chunks = (CHUNK_ROWS,) if columns is None else (CHUNK_ROWS, columns)
    return group.create_dataset(name, shape=shape, maxshape=(None,) + shape[1:], dtype=dtype, chunks=chunks,
                                compression="gzip", compression_opts=COMPRESSION_LEVEL, shuffle=True)


def _shuffled(parts, itemsize, columns):
    """The whole chunk that the arrays `parts` make, one after the other,
    padded with zeros as HDF5 stores an edge chunk whole, as HDF5's
    shuffle filter leaves it: the bytes of its elements regrouped by their
    place in the element, a plane of first bytes, one of second bytes...
    (uint8, `itemsize` x CHUNK_ROWS * `columns`)."""
    planes = np.empty((itemsize, CHUNK_ROWS, columns), np.uint8)
    start = 0
    for part in parts:
        count = len(part)
        elements = part.reshape(count, columns).view(np.uint8).reshape(count, columns, itemsize)
        planes[:, start:start + count] = elements.transpose(2, 0, 1)
        start += count
    planes[:, start:] = 0
    return planes.reshape(itemsize, -1)


@functools.lru_cache(maxsize=64)
def _constant_plane(value, size):
    """The deflate blocks of a plane of `size` bytes that are all `value`."""
    part = zlib.compressobj(COMPRESSION_LEVEL, zlib.DEFLATED, -15)
    return part.compress(bytes([value]) * size) + part.flush(zlib.Z_SYNC_FLUSH)


def _compressed(parts, itemsize, columns):
    """The chunk that the arrays `parts` make (see _shuffled) as HDF5's
    shuffle and deflate filters store it, and the chunk's filter mask.

    Each plane of the shuffled bytes is coded on its own, as a trial of it
    shows best (see DEFLATE_BELOW): deflated, or stored as it is in
    deflate's stored blocks; the planes' parts, each ended on a byte's
    border, make one zlib stream, which every inflater reads as any other.
    When every plane is stored, so is the chunk, with the deflate filter
    marked as skipped, as HDF5 itself skips an optional filter that
    fails."""
    planes = _shuffled(parts, itemsize, columns)
    stream = [ZLIB_HEADER]
    deflated = False
    for plane in planes:
        if plane.min() == plane.max():
            stream.append(_constant_plane(int(plane[0]), len(plane)))
            deflated = True
            continue
        half = len(plane) // 2
        trial = bytes(plane[:TRIAL_BYTES]) + bytes(plane[half:half + TRIAL_BYTES])
        level = COMPRESSION_LEVEL if len(zlib.compress(trial, COMPRESSION_LEVEL)) <= DEFLATE_BELOW * len(trial) else 0
        deflated |= level > 0
        part = zlib.compressobj(level, zlib.DEFLATED, -15)
        stream += [part.compress(plane), part.flush(zlib.Z_SYNC_FLUSH)]
    if not deflated:
        return SKIP_DEFLATE, planes.reshape(-1)
    stream += [FINAL_BLOCK, zlib.adler32(planes).to_bytes(4, "big")]
    return 0, b"".join(stream)


class _Chunks:
    """Compresses whole chunks on the pool `pool`, side by side, while the
    next ones are read, and writes each in place as its turn comes, at
    most CHUNKS_IN_FLIGHT of them under way."""

    def __init__(self, pool):
        self.pool = pool
        self.queue = collections.deque()

    def put(self, writer, index, parts, rows):
        """Compresses the chunk `index` of the _ChunkWriter `writer` that
        the arrays `parts` make, after which its dataset has `rows` rows,
        and writes the chunks whose turn has come."""
        compressing = self.pool.submit(_compressed, parts, writer.itemsize, writer.columns)
        self.queue.append((writer, index, rows, compressing))
        while len(self.queue) > CHUNKS_IN_FLIGHT or (self.queue and self.queue[0][3].done()):
            self._write_first()

    def drain(self):
        while self.queue:
            self._write_first()

    def _write_first(self):
        writer, index, rows, compressing = self.queue.popleft()
        mask, data = compressing.result()
        if writer.extent < rows:
            writer.resize(max(rows, writer.expected))
        writer.dataset.id.write_direct_chunk(writer.origin(index), data, mask)


class _ChunkWriter:
    """Writes a growing dataset of numbers a whole chunk at a time through
    `chunks` (a _Chunks), each chunk made of the parts of the arrays added
    that fall in it. The dataset grows at once to the `expected` rows (as
    many as the file's size allows), further if the file grew, and is cut
    to its rows before its last chunk is written: cut after, HDF5 would
    read that chunk back."""

    def __init__(self, dataset, chunks, expected):
        self.dataset = dataset
        self.expected = expected
        self.chunks = chunks
        self.dtype = dataset.dtype
        self.itemsize = dataset.dtype.itemsize
        self.columns = dataset.shape[1] if len(dataset.shape) > 1 else 1
        self.extent = dataset.shape[0]
        self.parts = []
        self.held = 0
        self.written = 0

    def resize(self, rows):
        self.dataset.resize(rows, axis=0)
        self.extent = rows

    def origin(self, index):
        """The offset of chunk `index` in the dataset."""
        return (index * CHUNK_ROWS,) + (0,) * (len(self.dataset.shape) - 1)

    def add(self, values):
        """Takes `values` (rows of the dataset), which stay as they are
        until they are written."""
        if values.dtype != self.dtype:
            values = values.astype(self.dtype)
        used = 0
        while used < len(values):
            take = min(len(values) - used, CHUNK_ROWS - self.held)
            self.parts.append(values[used:used + take])
            self.held += take
            used += take
            if self.held == CHUNK_ROWS:
                self.chunks.put(self, self.written, self.parts, (self.written + 1) * CHUNK_ROWS)
                self.parts = []
                self.written += 1
                self.held = 0

    def finish(self):
        """Writes the last chunk, which the padding makes whole."""
        rows = self.written * CHUNK_ROWS + self.held
        if self.extent != rows:
            self.resize(rows)
        if self.held:
            self.chunks.put(self, self.written, self.parts, rows)
            self.parts = []


def _append(dataset, values):
    if len(values) == 0:
        return
    start = dataset.shape[0]
    dataset.resize(start + len(values), axis=0)
    dataset[start:] = values


def _write_recording(h5py, chunks, group, path, end_block, frames, rate, calibration, settings, parameters):
    """Writes the recording `path` into `group`."""
    fitted = None
    if calibration is True:
        fitted = calibrate(path, end_block)
    elif calibration not in (None, False):
        fitted = calibration
    applied = resolve_calibration(fitted, False, None)[0] if fitted is not None else None
    reader = _HashingReader(path)
    try:
        frame_count = reader.size // FRAME_SIZE
        counts = _growing(group, "counts", np.int16, 6)
        counts.attrs["columns"] = np.array(AXIS_NAMES, dtype=h5py.string_dtype("utf-8"))
        writers = {"counts": _ChunkWriter(counts, chunks, frame_count * SAMPLES_PER_FRAME)}
        for name, dtype in (("SEQNO", np.uint16), ("tick", np.int64), ("lost_before", np.int32)):
            writers[name] = _ChunkWriter(_growing(group, name, dtype), chunks, frame_count * SAMPLES_PER_FRAME)
        frame_group = group.create_group("frames")
        frame_fields = (("offset", np.int64), ("block", np.uint16), ("page_word", np.uint16), ("valid", np.uint8))
        for name, dtype in frame_fields:
            writers[name] = _ChunkWriter(_growing(frame_group, name, dtype), chunks, frame_count)
        report = _growing(group, "report", h5py.string_dtype("utf-8"))
        table = Epochs(settings, applied) if settings is not None else None
        for piece in row_pieces(reader, end_block, frames):
            rows = piece.rows
            # AX to GZ lie side by side in each row: one strided view (a
            # piece of frames without the marker has no rows).
            axes = (np.ndarray((len(rows), 6), np.int16, rows, rows.dtype.fields["AX"][1], (rows.dtype.itemsize, 2))
                    if len(rows) else np.empty((0, 6), np.int16))
            writers["counts"].add(axes)
            writers["SEQNO"].add(rows["SEQNO"])
            ticks, lost_before, _ = time_line(rows["SEQNO"], piece.before)
            writers["tick"].add(ticks)
            writers["lost_before"].add(lost_before)
            for name, _ in frame_fields:
                writers[name].add(piece.frames[name])
            _append(report, np.array(piece.report, dtype=object))
            if table is not None:
                table.add(rows, piece.before)
            _written_piece()
        for writer in writers.values():
            writer.finish()
        chunks.drain()
        size = reader.stream.tell()
        digest = reader.hexdigest()
    finally:
        reader.close()
    attrs = group.attrs
    attrs["recording_path"] = os.fsdecode(os.fspath(path))
    attrs["recording_bytes"] = np.int64(size)
    attrs["recording_sha256"] = digest
    attrs["acceleration_unit"] = "g"
    attrs["angular_rate_unit"] = "degrees per second"
    attrs["acceleration_counts_per_unit"] = float(ACCELEROMETER_COUNTS)
    attrs["angular_rate_counts_per_unit"] = GYROSCOPE_COUNTS
    attrs["rate"] = math.nan if rate is None else float(rate)
    attrs["calibrated"] = np.uint8(applied is not None)
    if fitted is not None:
        attrs["calibration_offset"] = np.array(fitted.offset)
        attrs["calibration_scale"] = np.array(fitted.scale)
        attrs["calibration_gyro_bias"] = np.array(fitted.gyro_bias)
        attrs["calibration_points"] = np.int64(fitted.points)
        attrs["calibration_error_before"] = fitted.error_before
        attrs["calibration_error_after"] = fitted.error_after
        attrs["calibration_reason"] = fitted.reason
    attrs["quendix_version"] = parameters["quendix_version"]
    attrs["parameters"] = json.dumps(parameters, sort_keys=True)
    if table is not None:
        epochs = group.create_group("epochs")
        for name, values in table.columns().items():
            if values.dtype == bool:
                values = values.astype(np.uint8)
            epochs.create_dataset(name, data=values, chunks=(min(CHUNK_ROWS, max(len(values), 1)),),
                                  maxshape=(None,), compression="gzip", compression_opts=COMPRESSION_LEVEL,
                                  shuffle=True)


def _written_piece():
    """Called after each piece is written; a test stops an export here."""


def export(sources, output, rate=None, calibration=False, epoch_seconds=None, epoch=None,
           end_block=DEFAULT_END_BLOCK, selector=DEFAULT_SELECTOR, frames=DEFAULT_PIECE_FRAMES, **flags):
    """Writes the recordings of `sources` (a path, a directory, or an
    iterable of these: see recordings(), with `selector`) to the HDF5 file
    `output`, and returns the list of their group names.

    A group per recording, named by its path below the directory it was
    found in (or its file name), holds the datasets:
      counts        int16, N x 6: AX, AY, AZ, GX, GY, GZ as recorded (lossless)
      SEQNO         uint16, N
      tick          int64, N: the time line (see quendix.physical)
      lost_before   int32, N
      frames/offset, frames/block, frames/page_word, frames/valid
                    int64, uint16, uint16, uint8: one per whole frame
      report        strings: the report's lines
      epochs/...    with `epoch` or `epoch_seconds`: a dataset per column
                    of quendix.epochs() (still, nonwear as uint8)
    and the attributes recording_path, recording_bytes, recording_sha256,
    acceleration_unit, angular_rate_unit, acceleration_counts_per_unit,
    angular_rate_counts_per_unit, rate (NaN without one), calibrated (1
    when a calibration was applied to the epochs) and, when `calibration`
    is asked for, calibration_offset, _scale, _gyro_bias, _points,
    _error_before, _error_after, _reason; quendix_version, and parameters
    (JSON: every setting used). `calibration` (True: each recording's own,
    fitted by calibrate(); a Calibration) is recorded, and applied to the
    epochs when it is applied at all; the counts stay raw. Flags' parameters as quendix.epochs() takes them.

    Every dataset is chunked and compressed (gzip, shuffle). Each
    recording is read a piece of `frames` frames at a time. The file is
    written under a temporary name beside `output`, as private as the most
    private recording, and renamed into place once whole: on an error, or
    when the export is killed, a file already at `output` stays as it was.
    Raises OSError for a recording that cannot be read and quendix.files'
    OutputRefused for an output that may not be written (a directory, one
    of the recordings); ValueError for wrong parameters and for two
    recordings that would have one group name. Imports h5py.
    """
    import h5py

    from . import __version__

    check_end_block(end_block)
    settings = None
    if epoch is not None or epoch_seconds is not None:
        settings = Settings(epoch, epoch_seconds, rate, **flags)
    elif flags:
        raise ValueError("the flags' parameters need epochs: give epoch or epoch_seconds")
    elif rate is not None:
        Settings(1, None, rate)  # checks the rate
    found = recording_names(sources, selector)
    paths = [path for path, _ in found]
    check_output(output, avoid=paths, seekable=True)
    parameters = {"quendix_version": __version__, "end_block": end_block, "rate": rate,
                  "calibration": "own" if calibration is True else "given" if calibration not in (None, False)
                  else "none", "epochs": settings.as_dict() if settings is not None else None,
                  "compression": "gzip %d, shuffle" % COMPRESSION_LEVEL}

    def write(stream):
        # h5py writes through the stream itself, which it reads back and
        # seeks in.
        with h5py.File(stream, "w") as out:
            out.attrs["quendix_version"] = __version__
            out.attrs["recordings"] = np.array([name for _, name in found], dtype=h5py.string_dtype("utf-8"))
            # zlib lets go of the interpreter while it compresses: the
            # threads compress side by side while this one reads on.
            with concurrent.futures.ThreadPoolExecutor(COMPRESSING_THREADS) as pool:
                chunks = _Chunks(pool)
                for path, name in found:
                    _write_recording(h5py, chunks, out.create_group(name), path, end_block, frames, rate,
                                     calibration, settings, parameters)

    write_whole(output, write, avoid=paths, access=access_of(paths), seekable=True)
    return [name for _, name in found]


__all__ = ["export", "recording_names", "CHUNK_ROWS"]
