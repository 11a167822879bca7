"""Many recordings at once: a table of what each one holds and lost, and
their samples as one Dask data frame. The recordings are those that walk
finds below the directories given."""

import functools
import operator
import os
import warnings

import numpy as np

from .calibrating import calibrate
from .calibration import CALIBRATION_COLUMN_TYPES, calibration_columns, fit
from .epochs import Settings, fractions
from .files import open_regular_file
from .quality import QUALITY_COLUMN_TYPES, Quality, figures, thresholds_of
from .recording import (DEFAULT_END_BLOCK, FRAME_DTYPE, FRAME_MAGIC, FRAME_SIZE, FRAME_WORDS,
                        SAMPLE_DTYPE, SAMPLES_PER_FRAME, FrameFile, check_end_block,
                        convert_frames, fill)
from .continuity import Continuity, Jumps
from .physical import carry_on, physical_frame, steps_of
from .walk import DEFAULT_SELECTOR, recordings

# The columns of summary(), in order, with their types in its table: the
# counts as pandas' nullable Int64, the path and the error as text.
SUMMARY_COLUMN_TYPES = {"path": "object", "bytes": "Int64", "frames": "Int64", "valid": "Int64",
                        "missing": "Int64", "different": "Int64", "jumps": "Int64", "samples": "Int64",
                        "start_block": "Int64", "start_page_word": "Int64", "last_block": "Int64",
                        "last_page_word": "Int64", "fragment": "Int64", "error": "object"}
SUMMARY_COLUMNS = tuple(SUMMARY_COLUMN_TYPES)
QUALITY_COLUMNS = tuple(QUALITY_COLUMN_TYPES)
CALIBRATION_COLUMNS = tuple(CALIBRATION_COLUMN_TYPES)
# The summary's columns of the epochs' flags, with a rate.
FRACTION_COLUMN_TYPES = {"still_fraction": "float64", "nonwear_fraction": "float64"}
FRACTION_COLUMNS = tuple(FRACTION_COLUMN_TYPES)

# Frames whose headers the summary reads at a time: two buffers of 1 MiB,
# which stay in the processor's caches while their headers are looked at.
SUMMARY_PIECE_FRAMES = 8192

# Frames of one partition of to_dask: about 1.2 million rows.
DASK_PIECE_FRAMES = 131072


def summarise(path, end_block=DEFAULT_END_BLOCK, each_piece=None):
    """The summary row of one recording, as a dict of SUMMARY_COLUMNS: its
    counts, or its error. Reads the frame headers only, a piece at a time;
    `each_piece`, when given, is called with every piece (see frame_counts)."""
    row = dict.fromkeys(SUMMARY_COLUMNS)
    row["path"] = os.fsdecode(os.fspath(path))
    row["error"] = ""
    try:
        source_file = FrameFile(path)
        with source_file:
            counts = frame_counts(source_file, check_end_block(end_block), each_piece)
    except OSError as error:
        row["error"] = error.strerror or str(error)
        return row
    row.update(counts)
    return row


def frame_counts(source_file, end_block, each_piece=None):
    """The counts of a summary row (every column but path and error) of the
    open recording `source_file` (a FrameFile), read headers only.
    `each_piece`, when given, is called with the words of every piece of
    whole frames (uint16, one row of FRAME_WORDS per frame) and whether each
    frame carries the marker, so that one pass over the file serves both."""
    continuity = Continuity(end_block)
    jumps = Jumps(end_block)
    frames = valid_frames = different = jumped = 0
    start = (None, None)
    for data, _ in source_file.pieces(SUMMARY_PIECE_FRAMES):
        words = data.view("<u2").reshape(-1, FRAME_WORDS)
        if len(words) == 0:
            continue
        block, page_word = words[:, 1], words[:, 2]
        valid = words[:, 0] == FRAME_MAGIC
        if each_piece is not None:
            each_piece(words, valid)
        if frames == 0 and valid[0]:
            start = int(block[0]), int(page_word[0])
        reported = continuity.check(block, page_word, valid)
        reported &= valid
        different += int(np.count_nonzero(reported))
        jumped += int(np.count_nonzero(jumps.check(block, page_word, valid)))
        valid_frames += int(np.count_nonzero(valid))
        frames += len(words)
    if start[0] is not None:
        different -= 1  # the "start" line
    total = source_file.bytes_read
    last = source_file.end_header()
    return {
        "bytes": total, "frames": frames, "valid": valid_frames,
        "missing": frames - valid_frames, "different": different, "jumps": jumped,
        "samples": valid_frames * SAMPLES_PER_FRAME,
        "start_block": start[0], "start_page_word": start[1],
        "last_block": last[0], "last_page_word": last[1],
        "fragment": total - frames * FRAME_SIZE,
    }


def summarise_quality(path, end_block=DEFAULT_END_BLOCK, thresholds=None, calibration=False, quality=True):
    """The summary row of one recording with its quality columns, and with
    `calibration` its calibration columns (missing when it cannot be
    read): what summary(quality=True) runs per file. The file is read
    once, the counts, the quality and the calibration from the same pieces."""
    limits = thresholds_of(thresholds)
    accumulator = Quality(keep_still_sums=calibration)
    row = summarise(path, end_block, accumulator.add_frames)
    names = (QUALITY_COLUMNS if quality else ()) + (CALIBRATION_COLUMNS if calibration else ())
    row.update(dict.fromkeys(names))
    if not row["error"]:
        more = calibration_columns(fit(*accumulator.still_window_sums())) if calibration else None
        found = figures(accumulator, limits, more)
        row.update((name, found[name]) for name in names)
    return row


def summary(sources, end_block=DEFAULT_END_BLOCK, executor=None, selector=DEFAULT_SELECTOR, quality=False,
            thresholds=None, progress=None, calibration=False, rate=None):
    """A pandas.DataFrame with one row per recording of `sources` (a path,
    a directory, or an iterable of these: see recordings(), with
    `selector`), in that order, with the columns SUMMARY_COLUMNS.

    The counts are those of the converter's CSV and log, as pandas'
    nullable Int64 (missing as <NA>):
      path             the path as given, or as found below a directory given
      bytes            the bytes read
      frames           whole frames
      valid            frames with the marker
      missing          frames without it: the log's "missing" lines
      different        the log's "different" lines
      jumps            the valid frames whose position is not the one that
                       follows the valid frame before them (advanced by a
                       page for each frame from there): each jump once,
                       however long the "different" lines go on after it
      samples          the CSV's rows, 9 a valid frame
      start_block, start_page_word
                       the "start" line's values; missing when the first
                       frame is not valid
      last_block, last_page_word
                       the "end" line's values
      fragment         the bytes after the last whole frame, not converted
      error            "", or why the file could not be read (the counts
                       are then missing)
    A missing path, a file that may not be read or whose read fails, a
    FIFO, a device or another file that is not regular, and a directory
    that cannot be listed are rows with their error: nothing else stops
    the summary. Each file is read in bounded memory, headers only, about
    1 MiB at a time, whatever its size. Raises ValueError or TypeError for an
    `end_block` that read() refuses. Imports pandas.

    `executor` (a concurrent.futures.Executor: a ProcessPoolExecutor on one
    machine, or a Dask cluster's distributed.Client(address).get_executor())
    reads the files side by side; the rows come back in the same order. It
    is given absolute paths, so workers need not share the caller's
    directory, but they must reach the same files by those paths.

    With `quality` true every row of each file is read too, a piece at a
    time, and the table gains the columns QUALITY_COLUMNS, as the guide
    (docs/python.md) defines them; the table is the same serially, with
    an executor and whatever the pieces. `thresholds`, a mapping of some
    names of quendix.THRESHOLDS to other limits (None turns a check off),
    changes the checks behind the `quality` column; a name that is not a
    check raises KeyError. An unreadable file has them missing.

    With `calibration` true every row is read too (in the same single
    pass as the quality's) and the table gains the columns
    CALIBRATION_COLUMNS, those of quendix.calibrate() of each file:
      calibration_points        the still windows the fit rests on
      calibration_error_before  mean | |point| - 1 g |, in mg (NaN without a point)
      calibration_error_after   the same of the calibrated points, in mg
      calibrated                whether the calibration is applied (boolean)
      calibration_reason        why not, in words; "" when it is
    With `quality` too, the `quality` column also checks
    "calibration_error_after" (limit 10 mg, in THRESHOLDS): "calibration
    error after above 10 mg".

    With a `rate` (samples per second) the table gains the columns
    FRACTION_COLUMNS, from quendix.epochs() of each file (epochs of 5
    seconds, the flags' defaults, each recording's own calibration with
    `calibration`; the file is read once more for them):
      still_fraction    the share of the epochs that are still
      nonwear_fraction  the share of the epochs that are non-wear
    (NaN without an epoch).

    `progress`, when given, is called
    with no argument as each row is done.
    """
    import pandas

    end_block = check_end_block(end_block)
    names = SUMMARY_COLUMNS + (QUALITY_COLUMNS if quality else ()) + (CALIBRATION_COLUMNS if calibration else ())
    work, extra = (summarise_quality, [thresholds_of(thresholds)]) if quality else (summarise, [])
    if calibration:
        work, extra = summarise_quality, [thresholds_of(thresholds), True, bool(quality)]
    if rate is not None:
        work = functools.partial(with_fractions, work, Settings(rate=rate).rate, bool(calibration))
        names += FRACTION_COLUMNS
    found = list(recordings(sources, selector))
    rows = [None] * len(found)
    wanted = []
    for i, (path, error) in enumerate(found):
        if error is None:
            wanted.append(i)
        else:
            rows[i] = dict.fromkeys(names)
            rows[i].update(path=os.fsdecode(os.fspath(path)), error=error)
            if progress is not None:
                progress()
    if executor is None:
        results = (work(found[i][0], end_block, *extra) for i in wanted)
    else:
        results = executor.map(work, [os.path.abspath(found[i][0]) for i in wanted],
                               [end_block] * len(wanted), *[[e] * len(wanted) for e in extra])
    for i, row in zip(wanted, results):
        # The path as the caller gave it, not as the workers were given it.
        row["path"] = os.fsdecode(os.fspath(found[i][0]))
        rows[i] = row
        if progress is not None:
            progress()
    return _summary_frame(rows, pandas, names)


def with_fractions(work, rate, calibration, path, end_block, *extra):
    """The row of `work` for the recording `path`, with its FRACTION_COLUMNS."""
    row = work(path, end_block, *extra)
    row.update(dict.fromkeys(FRACTION_COLUMNS))
    if not row["error"]:
        try:
            # A calibration not applied: the calibration columns say why.
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", UserWarning)
                row["still_fraction"], row["nonwear_fraction"] = fractions(path, rate, calibration or None,
                                                                           end_block)
        except OSError as error:
            row["error"] = error.strerror or str(error)
    return row


def _summary_frame(rows, pandas, names=SUMMARY_COLUMNS):
    types = dict(SUMMARY_COLUMN_TYPES, **QUALITY_COLUMN_TYPES, **CALIBRATION_COLUMN_TYPES,
                 **FRACTION_COLUMN_TYPES)
    columns = {}
    for name in names:
        values = [row[name] for row in rows]
        if types[name] == "object":
            columns[name] = pandas.Series(values, dtype=object)
        elif types[name] == "float64":
            columns[name] = pandas.Series([float("nan") if v is None else v for v in values],
                                          dtype="float64")
        else:
            columns[name] = pandas.array(values, dtype=types[name])
    return pandas.DataFrame(columns, columns=list(names))


def to_dask(sources, end_block=DEFAULT_END_BLOCK, frames=DASK_PIECE_FRAMES, selector=DEFAULT_SELECTOR,
            rate=None, calibration=None):
    """The samples of the recordings of `sources` (see recordings(), with
    `selector`) as a
    dask.dataframe.DataFrame: the CSV's columns, after a `path` column
    (categorical, its categories in the recordings' order) and a `frame`
    column (the index in its file of the sample's
    frame), one partition per recording, or per `frames` whole frames of a
    larger one.

    The columns keep the types of Recording.samples; `frame` is int64, so
    frame * 132 is the frame's offset. A partition holds about 1.2 million
    rows with the default `frames`.

    The files are looked at here (their sizes set the partitions), so one
    that cannot be read raises OSError naming it; summary() shows them all
    first. They are read when the partitions are computed, wherever that
    is: give paths that the workers can open. `end_block` is checked as
    read() checks it; the samples do not depend on it. Raises ValueError
    when `sources` names no recording or `frames` is below 1. Imports Dask,
    which only this needs.

    With a `rate` (samples per second) or a `calibration` (True: each
    recording's own, fitted by calibrate() on the workers; a Calibration:
    that one for every recording; False: none), the columns after `path`
    and `frame` are those of Recording.to_physical instead, without fill:
    tick, time (with a rate), AX to GZ in g and degrees per second,
    lost_before and seq_fault, each recording's time line from its first
    row across its partitions. A partition's time line then waits for a
    pass over the SEQNO of the partitions before it in its recording.
    """
    import dask.dataframe
    import pandas

    check_end_block(end_block)
    piece_frames = operator.index(frames)
    if piece_frames < 1:
        raise ValueError("frames must be at least 1, not %d" % piece_frames)
    pieces = []
    paths = []
    for path, error in recordings(sources, selector):
        name = os.fsdecode(os.fspath(path))
        if error is not None:
            raise OSError("%s: %s" % (name, error))
        fd, size = open_regular_file(path)
        os.close(fd)
        paths.append(name)
        whole = size // FRAME_SIZE
        for first in range(0, max(whole, 1), piece_frames):
            pieces.append((name, os.path.abspath(path), first, min(piece_frames, whole - first)))
    if not pieces:
        raise ValueError("no recordings in %r" % (sources,))
    # The categories in the order of the recordings, so that sorting by path
    # puts them in that order.
    categories = pandas.CategoricalDtype(list(dict.fromkeys(paths)))
    if rate is not None or calibration is not None:
        return _physical_dask(pieces, categories, end_block, rate, calibration)
    meta = _sample_frame(pandas, categories, "", np.empty(0, SAMPLE_DTYPE), np.empty(0, np.int64))
    return dask.dataframe.from_map(_SamplePartition(categories), pieces, meta=meta,
                                   label="quendix-samples", enforce_metadata=False)


def _sample_frame(pandas, categories, name, samples, frame):
    columns = {"path": pandas.Categorical([name] * len(samples), dtype=categories),
               "frame": frame}
    for field in SAMPLE_DTYPE.names:
        columns[field] = samples[field]
    return pandas.DataFrame(columns)


class _SamplePartition:
    """Reads one partition of to_dask: (name, path, first frame, frames)."""

    def __init__(self, categories):
        self.categories = categories

    def __call__(self, piece):
        import pandas

        name, path, first, count = piece
        samples, frame = _read_partition(path, first, count)
        return _sample_frame(pandas, self.categories, name, samples, frame)


def _read_partition(path, first, count):
    """The samples of the `count` frames from frame `first` of the file
    `path`, and the index of each one's frame."""
    buffer = np.empty(count * FRAME_SIZE, np.uint8)
    fd, _ = open_regular_file(path)
    with open(fd, "rb", buffering=0) as stream:
        stream.seek(first * FRAME_SIZE)
        got = fill(stream, buffer, path) // FRAME_SIZE * FRAME_SIZE
    data = buffer[:got]
    frames = np.empty(got // FRAME_SIZE, FRAME_DTYPE)
    samples = np.empty(len(frames) * SAMPLES_PER_FRAME, SAMPLE_DTYPE)
    rows = convert_frames(data, first, frames, samples)
    frame = np.repeat(first + np.flatnonzero(frames["valid"]), SAMPLES_PER_FRAME)
    return samples[:rows], frame


def _physical_dask(pieces, categories, end_block, rate, calibration):
    """to_dask's physical frame of the partitions `pieces`: a task per
    partition for its SEQNO steps, a chain of small tasks that carries each
    recording's time line from partition to partition, and a task per
    partition for its frame."""
    import dask
    import dask.dataframe

    meta = _physical_partition(("", "", 0, 0), None, rate, None, categories)
    parts = []
    fitted = {}
    carry = previous = None
    for piece in pieces:
        name, path, first, count = piece
        if previous != path:
            carry, previous = None, path
            if calibration is True:
                fitted[path] = dask.delayed(calibrate, pure=True)(path, end_block)
        used = fitted[path] if calibration is True else calibration
        parts.append(dask.delayed(_physical_partition, pure=True)(piece, carry, rate, used, categories))
        steps = dask.delayed(_partition_steps, pure=True)(piece)
        carry = dask.delayed(_carry_after, pure=True)(carry, steps)
    return dask.dataframe.from_delayed(parts, meta=meta, verify_meta=False)


def _partition_steps(piece):
    """steps_of() of the partition `piece`, or None when it has no row."""
    _, path, first, count = piece
    seqno = _read_partition(path, first, count)[0]["SEQNO"]
    return steps_of(seqno) if len(seqno) else None


def _carry_after(before, steps):
    """The time line's Carry after a partition of which _partition_steps
    gave `steps`."""
    return before if steps is None else carry_on(before, steps)


def _physical_partition(piece, before, rate, calibration, categories):
    """One partition of to_dask's physical frame; `calibration` a
    Calibration, None, or True for the meta."""
    import pandas

    name, path, first, count = piece
    if path:
        samples, frame = _read_partition(path, first, count)
    else:
        samples, frame = np.empty(0, SAMPLE_DTYPE), np.empty(0, np.int64)
    frame_ = physical_frame(samples, before, False, rate, calibration)
    frame_.insert(0, "frame", frame)
    frame_.insert(0, "path", pandas.Categorical([name] * len(samples), dtype=categories))
    return frame_
