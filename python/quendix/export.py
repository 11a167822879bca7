"""A campaign in one HDF5 file: every recording's raw counts, its time
line, its frames and report lines, and on request its epochs, with the
settings and the source's size and SHA-256 as attributes, in plain
datasets that any HDF5 reader takes (R's hdf5r, MATLAB's h5read).

The file is written a piece of each recording at a time, in bounded
memory, under a temporary name beside the output, renamed into place once
whole (quendix.files): an export that fails or is killed leaves the file
that was there before as it was. h5py is imported only by export().
"""

import hashlib
import json
import math
import os
import stat

import numpy as np

from .calibration import ACCELEROMETER_COUNTS, GYROSCOPE_COUNTS
from .calibrating import calibrate
from .epochs import Epochs, Settings
from .files import check_output, open_regular_file, write_whole
from .physical import AXIS_NAMES, resolve_calibration, time_line
from .recording import DEFAULT_END_BLOCK, DEFAULT_PIECE_FRAMES, check_end_block, read_chunks
from .walk import DEFAULT_SELECTOR, recordings

# Rows (or frames, or lines) of one chunk of a dataset.
CHUNK_ROWS = 65536
COMPRESSION_LEVEL = 4


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


def _append(dataset, values):
    if len(values) == 0:
        return
    start = dataset.shape[0]
    dataset.resize(start + len(values), axis=0)
    dataset[start:] = values


def _private_mode(paths):
    """The permissions of a new file that is as private as every one of
    the recordings at `paths`: no bit that one of them lacks."""
    mode = 0o666
    for path in paths:
        try:
            mode &= stat.S_IMODE(os.stat(path).st_mode)
        except OSError:
            pass
    return mode | stat.S_IRUSR | stat.S_IWUSR


def _write_recording(h5py, group, path, end_block, frames, rate, calibration, settings, parameters):
    """Writes the recording `path` into `group`."""
    fitted = None
    if calibration is True:
        fitted = calibrate(path, end_block)
    elif calibration not in (None, False):
        fitted = calibration
    applied = resolve_calibration(fitted, False, None)[0] if fitted is not None else None
    counts = _growing(group, "counts", np.int16, 6)
    counts.attrs["columns"] = np.array(AXIS_NAMES, dtype=h5py.string_dtype("utf-8"))
    seqno = _growing(group, "SEQNO", np.uint16)
    tick = _growing(group, "tick", np.int64)
    lost = _growing(group, "lost_before", np.int32)
    frame_group = group.create_group("frames")
    frame_sets = {name: _growing(frame_group, name, dtype) for name, dtype in
                  (("offset", np.int64), ("block", np.uint16), ("page_word", np.uint16), ("valid", np.uint8))}
    report = _growing(group, "report", h5py.string_dtype("utf-8"))
    table = Epochs(settings, applied) if settings is not None else None
    reader = _HashingReader(path)
    try:
        for piece in read_chunks(reader, end_block, frames):
            samples = piece.samples
            _append(counts, np.stack([samples[name] for name in AXIS_NAMES], axis=1))
            _append(seqno, samples["SEQNO"])
            ticks, lost_before, _ = time_line(samples["SEQNO"], piece.before)
            _append(tick, ticks)
            _append(lost, lost_before)
            for name, dataset in frame_sets.items():
                _append(dataset, piece.frames[name].astype(dataset.dtype, copy=False))
            _append(report, np.array(piece.report, dtype=object))
            if table is not None:
                table.add(samples, piece.before)
            _written_piece()
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
    mode = _private_mode(paths)
    parameters = {"quendix_version": __version__, "end_block": end_block, "rate": rate,
                  "calibration": "own" if calibration is True else "given" if calibration not in (None, False)
                  else "none", "epochs": settings.as_dict() if settings is not None else None,
                  "compression": "gzip %d, shuffle" % COMPRESSION_LEVEL}

    def write(stream):
        fd = stream.fileno()
        if stat.S_ISREG(os.fstat(fd).st_mode):
            os.fchmod(fd, mode)
        with h5py.File("/proc/self/fd/%d" % fd, "w") as out:
            out.attrs["quendix_version"] = __version__
            out.attrs["recordings"] = np.array([name for _, name in found], dtype=h5py.string_dtype("utf-8"))
            for path, name in found:
                _write_recording(h5py, out.create_group(name), path, end_block, frames, rate, calibration,
                                 settings, parameters)

    write_whole(output, write, avoid=paths)
    return [name for _, name in found]


__all__ = ["export", "recording_names", "CHUNK_ROWS"]
