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
from .calibration import ACCELEROMETER_COUNTS, ACCELEROMETER_UNIT, GYROSCOPE_COUNTS, Calibration
from .physical import ACCELEROMETER_AXES, GYROSCOPE_AXES, resolve_calibration, time_line
from .recording import DEFAULT_END_BLOCK, DEFAULT_PIECE_FRAMES, check_end_block, row_pieces
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
# Rows whose figures are computed at a time: the few float64 arrays of a
# block stay in the processor's cache.
BLOCK_ROWS = 1 << 15

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


def _per_epoch(sums, at):
    """The sums of stretches (int64, stretches along the last axis) added
    up per epoch, `at` the first stretch of each (None: one each)."""
    return sums if at is None else np.add.reduceat(sums, at, axis=-1)


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

    def cuts(self, tick):
        """The rows of `tick` (int64, increasing) after the first at which a
        window starts or ends (a border passed), increasing."""
        step, window = self.settings.step_ticks, self.settings.window_ticks
        first, last = int(tick[0]), int(tick[-1])
        # The borders above the first tick and at or before the last: the
        # windows' starts j * step and ends j * step + window.
        starts = (first // step + 1, last // step + 1)
        ends = (max(0, (first - window) // step + 1), (last - window) // step + 1)
        if (starts[1] - starts[0]) + (ends[1] - ends[0]) > len(tick):
            # More borders than rows (long gaps, short steps): row by row.
            return np.flatnonzero(np.diff(self._border_at_or_before(tick))) + 1
        borders = np.concatenate((np.arange(*starts, dtype=np.int64) * step,
                                  np.arange(*ends, dtype=np.int64) * step + window))
        return np.searchsorted(tick, borders)

    def add(self, first_tick, n, sums, squares, lows, highs):
        """Adds stretches of rows, each between two borders of the windows:
        their first ticks `first_tick` (int64, increasing), their numbers of
        rows `n`, and the sums, sums of squares, minima and maxima of their
        raw accelerometer counts (int64, 3 x stretches)."""
        cell = self._border_at_or_before(first_tick)
        begins = np.concatenate(([0], np.flatnonzero(np.diff(cell)) + 1))
        n = np.add.reduceat(n, begins).tolist()
        sums = np.add.reduceat(sums, begins, axis=1).T.tolist()
        squares = np.add.reduceat(squares, begins, axis=1).T.tolist()
        lows = np.minimum.reduceat(lows, begins, axis=1).T.tolist()
        highs = np.maximum.reduceat(highs, begins, axis=1).T.tolist()
        for j, start in enumerate(cell[begins].tolist()):
            here = [n[j], sums[j], squares[j], lows[j], highs[j]]
            # A stretch that two pieces share merges by its border.
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


def _epoch_starts(tick, epoch):
    """The rows of `tick` (int64, increasing) that begin an epoch, and the
    epochs they begin."""
    first, last = int(tick[0]) // epoch, int(tick[-1]) // epoch
    if last - first >= len(tick):
        # More epochs than rows (long gaps, short epochs): row by row.
        epoch_of = tick // epoch
        begins = np.concatenate(([0], np.flatnonzero(np.diff(epoch_of)) + 1))
        return begins, epoch_of[begins]
    begins = np.searchsorted(tick, np.arange(first, last + 1, dtype=np.int64) * epoch)
    # An epoch without a row begins where the next does.
    kept = np.flatnonzero(np.diff(np.append(begins, len(tick))))
    return begins[kept], first + kept


class Epochs:
    """The epoch table of one recording, followed piece by piece: add()
    each piece's samples with the Carry of the rows before them, then
    columns().

    The figures of the finished epochs are computed a block of whole
    epochs at a time (BLOCK_ROWS rows or so, or one longer epoch), so that
    the few float64 arrays of a block stay in the processor's cache. The
    sums of an epoch's floats (ENMO, MAD, the angular rate) are each taken
    over all its rows at once, in file order; the sums of the raw counts
    are taken in float64 over stretches of at most EXACT_ROWS rows, where
    they are whole numbers (times a power of two) below 2^53, exact, and
    added up as integers."""

    def __init__(self, settings, calibration=None):
        self.settings = settings
        self.calibration = calibration
        scale = calibration.scale if calibration is not None else (1.0, 1.0, 1.0)
        self.windows = Windows(settings, scale) if settings.rate is not None else None
        self.pending = []       # (samples, tick) pieces of the epoch not yet finished
        self.parts = []         # per-epoch figures of the finished epochs, in order
        self.last_tick = None
        self.scratch = np.empty((4, 0))

    def add(self, samples, before):
        """Adds the rows `samples` (with the fields SEQNO and AX to GZ of
        SAMPLE_DTYPE, in file order) that follow the Carry `before` (None
        at the recording's start)."""
        if len(samples) == 0:
            return
        tick = time_line(samples["SEQNO"], before)[0]
        self.last_tick = int(tick[-1])
        epoch = self.settings.epoch
        if self.pending:
            # The rows that finish the epoch held from the pieces before.
            split = int(np.searchsorted(tick, (int(self.pending[0][1][0]) // epoch + 1) * epoch))
            self.pending.append((samples[:split], tick[:split]))
            if split == len(tick):
                return
            self._finish(*self._held())
            samples, tick = samples[split:], tick[split:]
        # The rows of the last epoch may go on in the next piece.
        end = int(np.searchsorted(tick, tick[-1] // epoch * epoch))
        if end:
            self._finish(samples[:end], tick[:end])
        self.pending = [(samples[end:].copy(), tick[end:].copy())]
        if self.windows is not None:
            # Every row before the held epoch's is in the windows' sums.
            self.windows._decide(int(tick[end]))

    def _held(self):
        """The rows of the held epoch, as one (samples, tick); none held after."""
        held, self.pending = self.pending, []
        if len(held) == 1:
            return held[0]
        return np.concatenate([s for s, _ in held]), np.concatenate([t for _, t in held])

    def _finish(self, samples, tick):
        """The figures of the epochs whose rows are all in `samples` at the
        ticks `tick`, a block of whole epochs at a time."""
        epoch = self.settings.epoch
        count = len(tick)
        start = 0
        while start < count:
            stop = start + BLOCK_ROWS
            if stop >= count:
                stop = count
            else:
                # Back to the start of the epoch of row `stop`; on to the
                # end of the first epoch when it is longer than a block.
                stop = int(np.searchsorted(tick, tick[stop] // epoch * epoch))
                if stop <= start:
                    stop = int(np.searchsorted(tick, (tick[start] // epoch + 1) * epoch))
            self._block(samples[start:stop], tick[start:stop])
            start = stop

    def _block(self, samples, tick):
        """The figures of the whole epochs of `samples` at the ticks `tick`."""
        settings, calibration, windows = self.settings, self.calibration, self.windows
        count = len(tick)
        begins, epochs = _epoch_starts(tick, settings.epoch)
        n = np.diff(np.append(begins, count))
        # The stretches over which counts are summed: the epochs, cut at
        # the windows' borders and every EXACT_ROWS rows.
        cuts = begins
        if windows is not None:
            cuts = np.union1d(cuts, windows.cuts(tick))
        if count > EXACT_ROWS:
            cuts = np.union1d(cuts, np.arange(0, count, EXACT_ROWS))
        # Where each epoch's stretches begin, when some epoch has several.
        at = None if len(cuts) == len(begins) else np.searchsorted(cuts, begins)
        if len(self.scratch[0]) < count:
            self.scratch = np.empty((4, max(count, BLOCK_ROWS)))
        scratch = self.scratch[:, :count]
        part = {"epoch": epochs, "samples": n}
        sums = np.empty((3, len(cuts)), np.int64)
        squares = np.empty((3, len(cuts)), np.int64)
        lows = np.empty((3, len(cuts)), np.int64) if windows is not None else None
        highs = np.empty((3, len(cuts)), np.int64) if windows is not None else None
        for a, name in enumerate(ACCELEROMETER_AXES):
            # In g: counts x 2^-13, exactly counts / 8192, and so each
            # stretch's sums of them and of their squares.
            value = np.multiply(samples[name], ACCELEROMETER_UNIT, out=scratch[a], dtype=np.float64)
            sums[a] = np.add.reduceat(value, cuts) * float(ACCELEROMETER_COUNTS)
            if windows is not None:
                lows[a] = np.minimum.reduceat(value, cuts) * float(ACCELEROMETER_COUNTS)
                highs[a] = np.maximum.reduceat(value, cuts) * float(ACCELEROMETER_COUNTS)
            np.multiply(value, value, out=value)
            squares[a] = np.add.reduceat(value, cuts) * float(ACCELEROMETER_COUNTS) ** 2
            if calibration is not None:
                np.multiply(samples[name], ACCELEROMETER_UNIT, out=value, dtype=np.float64)
                calibration.apply_accelerometer(a, value, out=value)
                np.multiply(value, value, out=value)
        if windows is not None:
            windows.add(tick[cuts], np.diff(np.append(cuts, count)), sums, squares, lows, highs)
        total, square_sums = _per_epoch(sums, at), _per_epoch(squares, at)
        for a, name in enumerate(ACCELEROMETER_AXES):
            mean = total[a] / (n * float(ACCELEROMETER_COUNTS))
            scale = 1.0
            if calibration is not None:
                mean = calibration.apply_accelerometer(a, mean)
                scale = calibration.scale[a]
            part["mean_" + name] = mean
            part["std_" + name] = _spread_g(self._numerator(n, square_sums[a], total[a]), n, scale)
        # |a|: the root of the sum of the squares, x, y then z.
        magnitude = np.add(scratch[0], scratch[1], out=scratch[3])
        np.add(magnitude, scratch[2], out=magnitude)
        np.sqrt(magnitude, out=magnitude)
        excess = np.subtract(magnitude, 1.0, out=scratch[0])
        np.maximum(excess, 0.0, out=excess)
        part["enmo"] = 1000.0 * np.add.reduceat(excess, begins) / n
        mean_magnitude = np.add.reduceat(magnitude, begins) / n
        deviation = scratch[1]
        if n.min() == n.max():
            # Epochs of one length: each its row of a matrix.
            np.subtract(magnitude.reshape(len(n), -1), mean_magnitude[:, None], out=deviation.reshape(len(n), -1))
        else:
            np.subtract(magnitude, np.repeat(mean_magnitude, n), out=deviation)
        np.abs(deviation, out=deviation)
        part["mad"] = 1000.0 * np.add.reduceat(deviation, begins) / n
        still_gyro = np.ones(len(n), bool)
        for a, name in enumerate(GYROSCOPE_AXES):
            value = scratch[a]
            np.copyto(value, samples[name])
            if settings.gyro_still is not None:
                gyro_sums = _per_epoch(np.add.reduceat(value, cuts).astype(np.int64), at)
                np.multiply(value, value, out=value)
                gyro_squares = _per_epoch(np.add.reduceat(value, cuts).astype(np.int64), at)
                spread = (np.sqrt(self._numerator(n, gyro_squares, gyro_sums).astype(np.float64))
                          / (n * GYROSCOPE_COUNTS))
                still_gyro &= spread < settings.gyro_still
            else:
                np.multiply(value, value, out=value)
        gyro = np.add(scratch[0], scratch[1], out=scratch[0])
        np.add(gyro, scratch[2], out=gyro)
        np.sqrt(gyro, out=gyro)
        part["gyro"] = np.add.reduceat(gyro, begins) / n / GYROSCOPE_COUNTS
        limit = settings.still_std / 1000.0
        part["still"] = ((part.pop("std_AX") < limit) & (part.pop("std_AY") < limit)
                         & (part.pop("std_AZ") < limit) & still_gyro)
        self.parts.append(part)

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
        if self.pending:
            self._finish(*self._held())
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
    for piece in row_pieces(path, end_block, frames):
        table.add(piece.rows, piece.before)
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
