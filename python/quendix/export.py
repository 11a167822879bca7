"""A campaign in one HDF5 file: every recording's raw counts, its time
line, its frames and report lines, and on request its epochs, with the
settings and the source's size and SHA-256 as attributes, in plain
datasets that any HDF5 reader takes (R's hdf5r, MATLAB's h5read).

The file is written a piece of each recording at a time, in bounded
memory, under a temporary name beside the output, renamed into place once
whole (quendix.files): an export that fails or is killed leaves the file
that was there before as it was. h5py is imported only by export().
"""

import concurrent.futures
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
from .recording import DEFAULT_END_BLOCK, DEFAULT_PIECE_FRAMES, check_end_block, read_chunks
from .walk import DEFAULT_SELECTOR, recordings

# Rows (or frames, or lines) of one chunk of a dataset.
CHUNK_ROWS = 65536
COMPRESSION_LEVEL = 1
COMPRESSING_THREADS = 2
# The filters of every dataset, in order: shuffle (bit 0 of a chunk's
# filter mask), deflate (bit 1); a chunk whose bit is set skipped it.
SKIP_DEFLATE = 0b10
SAMPLE_BYTES = 32768


class _HashingReader:
    """A recording's file, read through as read_chunks reads a file object,
    every byte going into a SHA-256 on the way."""

    def __init__(self, path):
        fd, self.size = open_regular_file(path)
        self.stream = open(fd, "rb", buffering=0)
        self.name = path
        self.hash = hashlib.sha256()

    def readinto(self, buffer):
        got = self.stream.readinto(buffer)
        if got:
            self.hash.update(memoryview(buffer)[:got])
        return got

    def fileno(self):
        return self.stream.fileno()

    def tell(self):
        return self.stream.tell()

    def close(self):
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


def _compressed(chunk):
    """A whole chunk (a numpy array) as HDF5's shuffle and deflate filters
    store it, and the chunk's filter mask: the bytes of its elements
    regrouped by their place in the element, then zlib's stream; or, when
    a sample of them does not shrink by a tenth (noise compresses little
    and slowly), the regrouped bytes alone with the deflate filter marked
    as skipped, as HDF5 itself skips an optional filter that fails."""
    size = chunk.dtype.itemsize
    data = chunk.view(np.uint8).reshape(-1, size).T.tobytes() if size > 1 else chunk.tobytes()
    half = len(data) // 2
    sample = data[:SAMPLE_BYTES] + data[half:half + SAMPLE_BYTES]
    if len(zlib.compress(sample, COMPRESSION_LEVEL)) > 0.9 * len(sample):
        return SKIP_DEFLATE, data
    return 0, zlib.compress(data, COMPRESSION_LEVEL)


class _ChunkWriter:
    """Writes a growing dataset of numbers a whole chunk at a time, each
    chunk filtered here (see _compressed) so that the pool `pool` can
    compress chunks side by side; the rows of a chunk not yet whole wait
    in a buffer."""

    def __init__(self, dataset):
        self.dataset = dataset
        self.buffer = np.zeros((CHUNK_ROWS,) + dataset.shape[1:], dataset.dtype)
        self.held = 0
        self.chunks = 0

    def add(self, values, ready):
        """Takes `values`, appending each chunk they complete to `ready`."""
        used = 0
        while used < len(values):
            take = min(len(values) - used, CHUNK_ROWS - self.held)
            self.buffer[self.held:self.held + take] = values[used:used + take]
            self.held += take
            used += take
            if self.held == CHUNK_ROWS:
                ready.append((self, self.chunks, self.buffer))
                self.buffer = np.zeros_like(self.buffer)
                self.chunks += 1
                self.held = 0

    def finish(self, ready):
        """Appends the last chunk, padded with zeros as HDF5 stores an edge
        chunk whole, to `ready`."""
        if self.held:
            ready.append((self, self.chunks, self.buffer))

    def rows(self):
        return self.chunks * CHUNK_ROWS + self.held


def _write_chunks(pool, ready):
    """Compresses the chunks `ready` (writer, index, array) side by side
    and writes each in place."""
    for (writer, index, _), (mask, data) in zip(ready, pool.map(_compressed, [chunk for _, _, chunk in ready])):
        dataset = writer.dataset
        if dataset.shape[0] < (index + 1) * CHUNK_ROWS:
            dataset.resize((index + 1) * CHUNK_ROWS, axis=0)
        dataset.id.write_direct_chunk((index * CHUNK_ROWS,) + (0,) * (dataset.ndim - 1), data, mask)
    ready.clear()


def _append(dataset, values):
    if len(values) == 0:
        return
    start = dataset.shape[0]
    dataset.resize(start + len(values), axis=0)
    dataset[start:] = values


def _write_recording(h5py, pool, group, path, end_block, frames, rate, calibration, settings, parameters):
    """Writes the recording `path` into `group`."""
    fitted = None
    if calibration is True:
        fitted = calibrate(path, end_block)
    elif calibration not in (None, False):
        fitted = calibration
    applied = resolve_calibration(fitted, False, None)[0] if fitted is not None else None
    counts = _growing(group, "counts", np.int16, 6)
    counts.attrs["columns"] = np.array(AXIS_NAMES, dtype=h5py.string_dtype("utf-8"))
    writers = {"counts": _ChunkWriter(counts)}
    for name, dtype in (("SEQNO", np.uint16), ("tick", np.int64), ("lost_before", np.int32)):
        writers[name] = _ChunkWriter(_growing(group, name, dtype))
    frame_group = group.create_group("frames")
    frame_fields = (("offset", np.int64), ("block", np.uint16), ("page_word", np.uint16), ("valid", np.uint8))
    for name, dtype in frame_fields:
        writers[name] = _ChunkWriter(_growing(frame_group, name, dtype))
    report = _growing(group, "report", h5py.string_dtype("utf-8"))
    table = Epochs(settings, applied) if settings is not None else None
    reader = _HashingReader(path)
    ready = []
    try:
        for piece in read_chunks(reader, end_block, frames):
            samples = piece.samples
            # AX to GZ lie side by side in each row: one strided view.
            axes = np.ndarray((len(samples), 6), np.int16, samples, samples.dtype.fields["AX"][1],
                              (samples.dtype.itemsize, 2))
            writers["counts"].add(axes, ready)
            writers["SEQNO"].add(samples["SEQNO"], ready)
            ticks, lost_before, _ = time_line(samples["SEQNO"], piece.before)
            writers["tick"].add(ticks, ready)
            writers["lost_before"].add(lost_before, ready)
            for name, _ in frame_fields:
                writers[name].add(piece.frames[name], ready)
            _append(report, np.array(piece.report, dtype=object))
            if table is not None:
                table.add(samples, piece.before)
            _write_chunks(pool, ready)
            _written_piece()
        for writer in writers.values():
            writer.finish(ready)
        _write_chunks(pool, ready)
        for writer in writers.values():
            writer.dataset.resize(writer.rows(), axis=0)
        size = reader.stream.tell()
        digest = reader.hash.hexdigest()
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
    check_output(output, avoid=paths)
    parameters = {"quendix_version": __version__, "end_block": end_block, "rate": rate,
                  "calibration": "own" if calibration is True else "given" if calibration not in (None, False)
                  else "none", "epochs": settings.as_dict() if settings is not None else None,
                  "compression": "gzip %d, shuffle" % COMPRESSION_LEVEL}

    def write(stream):
        # h5py opens the file by a name: that of the stream's descriptor.
        with h5py.File("/proc/self/fd/%d" % stream.fileno(), "w") as out:
            out.attrs["quendix_version"] = __version__
            out.attrs["recordings"] = np.array([name for _, name in found], dtype=h5py.string_dtype("utf-8"))
            # zlib lets go of the interpreter while it compresses: two
            # threads compress side by side.
            with concurrent.futures.ThreadPoolExecutor(COMPRESSING_THREADS) as pool:
                for path, name in found:
                    _write_recording(h5py, pool, out.create_group(name), path, end_block, frames, rate,
                                     calibration, settings, parameters)

    write_whole(output, write, avoid=paths, access=access_of(paths))
    return [name for _, name in found]


__all__ = ["export", "recording_names", "CHUNK_ROWS"]
