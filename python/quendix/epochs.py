"""Epochs of a recording on its time line: per-epoch figures of the
acceleration and the angular rate, and the flags of the epochs when the
sensor lay still or was not worn. Flags are columns: no sample is ever
altered or dropped.

Epoch k covers the ticks [k * E, (k + 1) * E) of the time line (see
quendix.physical), E the epoch's length in ticks; every epoch from the
first row's to the last row's is a row of the table, one without a sample
with NaN figures.

Exactness: the counts of an epoch (its samples, the sums of its raw counts
and of their squares, the extremes of a non-wear window) are whole
numbers, exact whatever pieces the file was read in; the float figures
(ENMO, MAD, the angular rate) are summed over all the rows of one epoch
at once, in file order, the rows of an epoch that a piece leaves
unfinished being carried over to the next piece. So the table is the
same bit for bit serially, on a pool, on a Dask cluster and for every
piece size. This module needs numpy alone (pandas for the data frame).
"""

import math
import operator
import os

import numpy as np

from .calibrating import calibrate
from .calibration import ACCELEROMETER_COUNTS, GYROSCOPE_COUNTS, Calibration
from .physical import ACCELEROMETER_AXES, AXIS_NAMES, resolve_calibration, time_line
from .recording import DEFAULT_END_BLOCK, DEFAULT_PIECE_FRAMES, check_end_block, read_chunks
from .walk import DEFAULT_SELECTOR, recordings

# The defaults of the flags, each named once here and in the guide.
STILL_STD = 13.0          # mg: every accelerometer axis's standard deviation below it
NONWEAR_WINDOW = 60.0     # minutes: the length of a non-wear window
NONWEAR_STEP = 15.0       # minutes: the step from one window to the next
NONWEAR_STD = 13.0        # mg: an axis is quiet with its standard deviation below it
NONWEAR_RANGE = 150.0     # mg: ... and its range below it
NONWEAR_AXES = 2          # quiet axes that make a window non-wear
# The epoch's length when only a rate is given.
EPOCH_SECONDS = 5.0
# Rows of counts whose sums (of squares too, at most 2^30 each) stay
# below 2^53, exact in float64.
EXACT_ROWS = 1 << 22

EPOCH_COLUMNS = ("epoch", "start_tick", "time", "samples", "valid_fraction", "mean_AX", "mean_AY",
                 "mean_AZ", "enmo", "mad", "gyro", "still", "nonwear")


class Settings:
    """The epoch's length and the flags' parameters, checked: what an
    epoch table was made with (`as_dict()` lists them for an export)."""

    def __init__(self, epoch=None, epoch_seconds=None, rate=None, still_std=STILL_STD, gyro_still=None,
                 nonwear_window=NONWEAR_WINDOW, nonwear_step=NONWEAR_STEP, nonwear_std=NONWEAR_STD,
                 nonwear_range=NONWEAR_RANGE, nonwear_axes=NONWEAR_AXES):
        if rate is not None:
            rate = float(rate)
            if not (math.isfinite(rate) and rate > 0):
                raise ValueError("the rate is a number of samples per second above 0, not %r" % (rate,))
        if epoch is not None and epoch_seconds is not None:
            raise ValueError("give epoch (ticks) or epoch_seconds, not both")
        if epoch is None:
            if rate is None:
                raise ValueError("an epoch's length needs epoch (ticks), or epoch_seconds and a rate")
            seconds = EPOCH_SECONDS if epoch_seconds is None else float(epoch_seconds)
            ticks = seconds * rate
            epoch = int(round(ticks))
            if not (math.isfinite(ticks) and epoch >= 1 and abs(ticks - epoch) <= 1e-9 * ticks):
                raise ValueError("epoch_seconds x rate must be a whole number of ticks, 1 or more, not %r"
                                 % (ticks,))
        epoch = operator.index(epoch)
        if epoch < 1:
            raise ValueError("an epoch is 1 tick or more, not %d" % epoch)
        for name, value in (("still_std", still_std), ("nonwear_std", nonwear_std),
                            ("nonwear_range", nonwear_range), ("nonwear_window", nonwear_window),
                            ("nonwear_step", nonwear_step)):
            if not (isinstance(value, (int, float)) and math.isfinite(value) and value > 0):
                raise ValueError("%s must be a number above 0, not %r" % (name, value))
        if gyro_still is not None and not (math.isfinite(gyro_still) and gyro_still > 0):
            raise ValueError("gyro_still must be None or a number above 0, not %r" % (gyro_still,))
        nonwear_axes = operator.index(nonwear_axes)
        if not 1 <= nonwear_axes <= 3:
            raise ValueError("nonwear_axes must be 1, 2 or 3, not %d" % nonwear_axes)
        self.epoch = epoch
        self.rate = rate
        self.still_std = float(still_std)
        self.gyro_still = None if gyro_still is None else float(gyro_still)
        self.nonwear_window = float(nonwear_window)
        self.nonwear_step = float(nonwear_step)
        self.nonwear_std = float(nonwear_std)
        self.nonwear_range = float(nonwear_range)
        self.nonwear_axes = nonwear_axes
        # A window's length and step in ticks, to the nearest tick.
        self.window_ticks = self.step_ticks = None
        if rate is not None:
            self.window_ticks = max(1, int(round(self.nonwear_window * 60.0 * rate)))
            self.step_ticks = max(1, int(round(self.nonwear_step * 60.0 * rate)))

    def as_dict(self):
        return {"epoch_ticks": self.epoch, "rate": self.rate, "still_std_mg": self.still_std,
                "gyro_still_dps": self.gyro_still, "nonwear_window_minutes": self.nonwear_window,
                "nonwear_step_minutes": self.nonwear_step, "nonwear_window_ticks": self.window_ticks,
                "nonwear_step_ticks": self.step_ticks, "nonwear_std_mg": self.nonwear_std,
                "nonwear_range_mg": self.nonwear_range, "nonwear_axes": self.nonwear_axes}


def _spread_g(numerator, n, scale):
    """The standard deviation in g of an axis whose raw counts have n *
    sum(x^2) - sum(x)^2 = `numerator` over `n` rows, times |scale|."""
    return abs(scale) * np.sqrt(np.asarray(numerator, np.float64)) / (n * float(ACCELEROMETER_COUNTS))


class Windows:
    """The non-wear windows, followed piece by piece: the whole-number sums
    of the rows of every stretch between two windows' borders, kept until
    the windows over them are decided."""

    def __init__(self, settings, scale):
        self.settings = settings
        self.scale = scale
        self.cells = {}       # start tick -> [n, sums, squares, minima, maxima] (Python ints)
        self.next = 0         # the first window not yet decided
        self.nonwear = []     # (first tick, end tick) of each non-wear window

    def add(self, tick, axes):
        """Adds the rows at the ticks `tick` (int64, increasing) whose raw
        accelerometer counts are `axes` (three float64 arrays of whole
        numbers)."""
        if len(tick) == 0:
            return
        last = int(tick[-1])
        cell = self._border_at_or_before(tick)
        begins = np.concatenate(([0], np.flatnonzero(np.diff(cell)) + 1, [len(tick)]))
        for first, end in zip(begins[:-1].tolist(), begins[1:].tolist()):
            here = [end - first, [0] * 3, [0] * 3, [None] * 3, [None] * 3]
            for a, values in enumerate(axes):
                # Whole numbers: exact in float64 while below 2^53, which
                # stretches of EXACT_ROWS rows keep them.
                for part in range(first, end, EXACT_ROWS):
                    x = values[part:min(end, part + EXACT_ROWS)]
                    here[1][a] += int(np.add.reduce(x))
                    here[2][a] += int(np.dot(x, x))
                    low, high = int(x.min()), int(x.max())
                    here[3][a] = low if here[3][a] is None else min(here[3][a], low)
                    here[4][a] = high if here[4][a] is None else max(here[4][a], high)
            # A stretch that two pieces share merges by its border.
            start = int(cell[first])
            held = self.cells.get(start)
            if held is None:
                self.cells[start] = here
            else:
                held[0] += here[0]
                for a in range(3):
                    held[1][a] += here[1][a]
                    held[2][a] += here[2][a]
                    held[3][a] = min(held[3][a], here[3][a])
                    held[4][a] = max(held[4][a], here[4][a])
        self._decide(last + 1)

    def _border_at_or_before(self, tick):
        """The greatest border of a window (a start or an end) at or
        before each tick of `tick` (int64)."""
        step, window = self.settings.step_ticks, self.settings.window_ticks
        border = tick // step * step
        after_end = tick >= window
        np.maximum(border, np.where(after_end, (tick - window) // step * step + window, 0), out=border)
        return border

    def _decide(self, done):
        """Decides every window that ends at or before the tick `done`."""
        step, window = self.settings.step_ticks, self.settings.window_ticks
        while self.next * step + window <= done:
            first = self.next * step
            end = first + window
            parts = [v for k, v in self.cells.items() if first <= k < end]
            if self._quiet(parts):
                self.nonwear.append((first, end))
            self.next += 1
            following = self.next * step
            for k in [k for k in self.cells if k < following]:
                del self.cells[k]

    def _quiet(self, parts):
        n = sum(p[0] for p in parts)
        if n == 0:
            return False
        quiet = 0
        settings = self.settings
        for a in range(3):
            total = sum(p[1][a] for p in parts)
            squares = sum(p[2][a] for p in parts)
            spread = float(_spread_g(n * squares - total * total, n, self.scale[a]))
            extent = abs(self.scale[a]) * (max(p[4][a] for p in parts if p[0]) - min(p[3][a] for p in parts if p[0]))
            extent /= float(ACCELEROMETER_COUNTS)
            if spread * 1000.0 < settings.nonwear_std and extent * 1000.0 < settings.nonwear_range:
                quiet += 1
        return quiet >= settings.nonwear_axes


class Epochs:
    """The epoch table of one recording, followed piece by piece: add()
    each piece's samples with the Carry of the rows before them, then
    columns()."""

    def __init__(self, settings, calibration=None):
        self.settings = settings
        self.calibration = calibration
        scale = calibration.scale if calibration is not None else (1.0, 1.0, 1.0)
        self.windows = Windows(settings, scale) if settings.rate is not None else None
        self.pending = None     # (samples, tick) of the epoch not yet finished
        self.parts = []         # per-epoch figures of the finished epochs, in order
        self.last_tick = None

    def add(self, samples, before):
        """Adds the rows `samples` (SAMPLE_DTYPE, in file order) that
        follow the Carry `before` (None at the recording's start)."""
        if len(samples) == 0:
            return
        tick = time_line(samples["SEQNO"], before)[0]
        self.last_tick = int(tick[-1])
        # Each axis once, contiguous: counts are exact in float64.
        columns = [samples[name].astype(np.float64) for name in AXIS_NAMES]
        if self.windows is not None:
            self.windows.add(tick, columns[:3])
        if self.pending is not None:
            columns = [np.concatenate((held, new)) for held, new in zip(self.pending[0], columns)]
            tick = np.concatenate((self.pending[1], tick))
        epoch = self.settings.epoch
        # The rows of the last epoch may go on in the next piece.
        end = int(np.searchsorted(tick, tick[-1] // epoch * epoch))
        self.pending = ([c[end:].copy() for c in columns], tick[end:].copy())
        if end:
            self._finish([c[:end] for c in columns], tick[:end])

    def _finish(self, columns, tick):
        """The figures of the epochs whose rows are all in `columns` (the
        counts of AX to GZ, float64) at the ticks `tick`."""
        epoch_of = tick // self.settings.epoch
        begins = np.concatenate(([0], np.flatnonzero(np.diff(epoch_of)) + 1))
        n = np.diff(np.append(begins, len(tick)))
        part = {"epoch": epoch_of[begins], "samples": n}
        calibration = self.calibration
        squared = np.zeros(len(tick))
        square = np.empty(len(tick))
        for a, name in enumerate(ACCELEROMETER_AXES):
            counts = columns[a]
            total, squares = self._whole_sums(counts, square, begins)
            mean = total / (n * float(ACCELEROMETER_COUNTS))
            scale = 1.0
            if calibration is not None:
                mean = calibration.apply_accelerometer(a, mean)
                scale = calibration.scale[a]
                value = calibration.apply_accelerometer(a, counts / float(ACCELEROMETER_COUNTS))
                np.multiply(value, value, out=square)
            # Uncalibrated, the sum of the squared counts is a whole
            # number below 2^53: exact.
            squared += square
            part["mean_" + name] = mean
            part["std_" + name] = _spread_g(self._numerator(n, squares, total), n, scale)
        magnitude = np.sqrt(squared, out=squared)
        if calibration is None:
            magnitude /= float(ACCELEROMETER_COUNTS)
        excess = np.subtract(magnitude, 1.0, out=square)
        np.maximum(excess, 0.0, out=excess)
        part["enmo"] = 1000.0 * np.add.reduceat(excess, begins) / n
        mean_magnitude = np.add.reduceat(magnitude, begins) / n
        deviation = np.subtract(magnitude, np.repeat(mean_magnitude, n), out=square)
        np.abs(deviation, out=deviation)
        part["mad"] = 1000.0 * np.add.reduceat(deviation, begins) / n
        gyro = np.zeros(len(tick))
        still_gyro = np.ones(len(n), bool)
        for a in range(3, 6):
            counts = columns[a]
            if self.settings.gyro_still is not None:
                total, squares = self._whole_sums(counts, square, begins)
                spread = np.sqrt(self._numerator(n, squares, total).astype(np.float64)) / (n * GYROSCOPE_COUNTS)
                still_gyro &= spread < self.settings.gyro_still
            else:
                np.multiply(counts, counts, out=square)
            gyro += square
        np.sqrt(gyro, out=gyro)
        part["gyro"] = np.add.reduceat(gyro, begins) / n / GYROSCOPE_COUNTS
        limit = self.settings.still_std / 1000.0
        part["still"] = ((part.pop("std_AX") < limit) & (part.pop("std_AY") < limit)
                         & (part.pop("std_AZ") < limit) & still_gyro)
        self.parts.append(part)

    def _whole_sums(self, counts, square, begins):
        """The sums per epoch of `counts` (float64 of whole numbers) and of
        their squares (left in `square`), as int64: exact, since an epoch
        of at most EXACT_ROWS rows keeps them below 2^53."""
        np.multiply(counts, counts, out=square)
        if self.settings.epoch <= EXACT_ROWS:
            return (np.add.reduceat(counts, begins).astype(np.int64),
                    np.add.reduceat(square, begins).astype(np.int64))
        whole = counts.astype(np.int64)
        return np.add.reduceat(whole, begins), np.add.reduceat(whole * whole, begins)

    @staticmethod
    def _numerator(n, squares, total):
        """n * squares - total^2, exact: in int64 while it cannot overflow,
        else in Python's integers."""
        if int(n.max()) <= 1 << 16:
            return n * squares - total * total
        exact = [int(a) * int(b) - int(c) * int(c) for a, b, c in zip(n, squares, total)]
        return np.array([float(v) for v in exact])

    def columns(self):
        """The table's columns, as a dict of numpy arrays, in EPOCH_COLUMNS'
        order (`time` and `nonwear` only with a rate)."""
        if self.pending is not None and len(self.pending[1]):
            self._finish(*self.pending)
            self.pending = None
        settings = self.settings
        count = 0 if self.last_tick is None else self.last_tick // settings.epoch + 1
        epoch = np.arange(count, dtype=np.int64)
        out = {"epoch": epoch, "start_tick": epoch * settings.epoch}
        if settings.rate is not None:
            out["time"] = out["start_tick"] / settings.rate
        where = np.concatenate([p["epoch"] for p in self.parts]) if self.parts else np.empty(0, np.int64)
        samples = np.zeros(count, np.int64)
        samples[where] = np.concatenate([p["samples"] for p in self.parts]) if self.parts else []
        out["samples"] = samples
        out["valid_fraction"] = samples / float(settings.epoch)
        for name in ("mean_AX", "mean_AY", "mean_AZ", "enmo", "mad", "gyro"):
            values = np.full(count, np.nan)
            if self.parts:
                values[where] = np.concatenate([p[name] for p in self.parts])
            out[name] = values
        still = np.zeros(count, bool)
        if self.parts:
            still[where] = np.concatenate([p["still"] for p in self.parts])
        out["still"] = still
        if settings.rate is not None:
            nonwear = np.zeros(count, bool)
            if self.last_tick is not None:
                self.windows._decide(self.last_tick + 1)
            for first, end in self.windows.nonwear:
                # The epochs wholly inside [first, end).
                nonwear[-(-first // settings.epoch):end // settings.epoch] = True
            out["nonwear"] = nonwear
        return out


def _calibration_of(path, calibration, end_block):
    """The Calibration to apply (or None) for epochs()'s `calibration`."""
    return resolve_calibration(calibration, False, lambda: calibrate(path, end_block))[0]


def recording_epochs(path, settings, calibration=None, end_block=DEFAULT_END_BLOCK,
                     frames=DEFAULT_PIECE_FRAMES):
    """The epoch table's columns (a dict of numpy arrays) of the recording
    `path`, read a piece of `frames` frames at a time, and the Calibration
    applied (or None)."""
    applied = _calibration_of(path, calibration, end_block)
    table = Epochs(settings, applied)
    for piece in read_chunks(path, end_block, frames):
        table.add(piece.samples, piece.before)
    return table.columns(), applied


def _frame(pandas, name, columns):
    frame = pandas.DataFrame(columns, copy=False)
    frame.insert(0, "path", name)
    return frame


def _one(path, settings, calibration, end_block, frames):
    """What a worker returns for one recording: its columns."""
    return recording_epochs(path, settings, calibration, end_block, frames)[0]


def epochs(sources, epoch=None, epoch_seconds=None, rate=None, calibration=None, executor=None,
           end_block=DEFAULT_END_BLOCK, selector=DEFAULT_SELECTOR, frames=DEFAULT_PIECE_FRAMES, **flags):
    """The epochs of the recordings of `sources` (a path, a directory, or
    an iterable of these: see recordings(), with `selector`) as one
    pandas.DataFrame, the recordings in order, each a row per epoch of its
    time line:
      path            the recording, as given or found below a directory
      epoch           k, from 0: the epoch covers ticks [k * E, (k + 1) * E)
      start_tick      k * E
      time            start_tick / rate, in seconds (only with a rate)
      samples         rows recorded in the epoch
      valid_fraction  samples / E
      mean_AX, mean_AY, mean_AZ
                      the mean acceleration, in g
      enmo            1000 x the mean over its rows of max(|a| - 1, 0), mg
      mad             1000 x the mean of | |a| - mean |a| |, mg
      gyro            the mean of |g|, in degrees per second
      still           every accelerometer axis's standard deviation below
                      `still_std` mg (and with `gyro_still`, every
                      gyroscope axis's below that many degrees per second)
      nonwear         the epoch lies wholly inside a non-wear window (only
                      with a rate)
    An epoch without a row has NaN figures and is neither still nor
    (unless a non-wear window covers it) non-wear. The acceleration is
    that of Recording.to_physical, calibrated with `calibration` (True:
    each recording's own, fitted by calibrate(); a Calibration: that one;
    None or False: none; one that is not applied warns and changes
    nothing); the angular rate is not corrected for a bias.

    E is `epoch` ticks, or `epoch_seconds` x `rate` (a whole number of
    ticks; 5 seconds when only a rate is given). The flags' parameters
    (`flags`): still_std (mg), gyro_still (degrees per second, None: not
    checked), nonwear_window and nonwear_step (minutes), nonwear_std and
    nonwear_range (mg), nonwear_axes; see the guide for their defaults
    and meaning.

    Each recording is read once (twice with calibration=True), a piece of
    `frames` frames at a time, in bounded memory; the table is the same
    bit for bit whatever `frames`, serially and with an `executor` (a
    concurrent.futures.Executor, or a Dask client's get_executor()), which
    is given absolute paths. Raises OSError for a recording that cannot be
    read, ValueError for wrong parameters. Imports pandas.
    """
    import pandas

    check_end_block(end_block)
    settings = Settings(epoch, epoch_seconds, rate, **flags)
    if calibration not in (None, True, False) and not isinstance(calibration, Calibration):
        raise TypeError("calibration must be None, True, False or a quendix.Calibration, not %s"
                        % type(calibration).__name__)
    found = []
    for path, error in recordings(sources, selector):
        if error is not None:
            raise OSError("%s: %s" % (os.fsdecode(os.fspath(path)), error))
        found.append(path)
    count = len(found)
    if executor is None:
        results = (_one(path, settings, calibration, end_block, frames) for path in found)
    else:
        results = executor.map(_one, [os.path.abspath(p) for p in found], [settings] * count,
                               [calibration] * count, [end_block] * count, [frames] * count)
    parts = [_frame(pandas, os.fsdecode(os.fspath(path)), columns) for path, columns in zip(found, results)]
    if not parts:
        return _frame(pandas, "", Epochs(settings).columns())
    return pandas.concat(parts, ignore_index=True)


def epochs_dask(sources, epoch=None, epoch_seconds=None, rate=None, calibration=None,
                end_block=DEFAULT_END_BLOCK, selector=DEFAULT_SELECTOR, frames=DEFAULT_PIECE_FRAMES, **flags):
    """epochs() of the recordings of `sources` as one
    dask.dataframe.DataFrame, a partition per recording, each computed
    where Dask runs it (give paths that the workers can open). Raises
    ValueError when `sources` names no recording. Imports Dask."""
    import dask
    import dask.dataframe
    import pandas

    check_end_block(end_block)
    settings = Settings(epoch, epoch_seconds, rate, **flags)
    parts = []
    for path, error in recordings(sources, selector):
        name = os.fsdecode(os.fspath(path))
        if error is not None:
            raise OSError("%s: %s" % (name, error))
        parts.append(dask.delayed(_partition, pure=True)(name, os.path.abspath(path), settings, calibration,
                                                         end_block, frames))
    if not parts:
        raise ValueError("no recordings in %r" % (sources,))
    meta = _frame(pandas, "", Epochs(settings).columns())
    return dask.dataframe.from_delayed(parts, meta=meta, verify_meta=False)


def _partition(name, path, settings, calibration, end_block, frames):
    import pandas

    return _frame(pandas, name, _one(path, settings, calibration, end_block, frames))


def fractions(path, rate, calibration=None, end_block=DEFAULT_END_BLOCK):
    """The summary's still_fraction and nonwear_fraction of the recording
    `path`: the shares of its epochs (of EPOCH_SECONDS) that are still and
    non-wear, NaN without an epoch."""
    columns = recording_epochs(path, Settings(rate=rate), calibration, end_block)[0]
    count = len(columns["epoch"])
    if count == 0:
        return math.nan, math.nan
    return (int(np.count_nonzero(columns["still"])) / count,
            int(np.count_nonzero(columns["nonwear"])) / count)


__all__ = ["epochs", "epochs_dask", "Epochs", "Settings", "EPOCH_COLUMNS", "recording_epochs", "fractions"]
