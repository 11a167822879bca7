"""What the rows of a recording hold: saturated axes, stuck sensors, steps
of the sample counter, repeated frames, and the calibration seen in still
stretches, computed piece by piece over the rows of read_chunks.

Every figure is over the rows in file order, as read() gives them: frames
without the marker carry no rows, so the rows on either side of them are
neighbours here. Runs, counter steps, windows and the last frame carry over
from one piece to the next, so that the figures do not depend on where the
pieces are cut.
"""

import math
import os

import numpy as np

from .recording import AXES, DEFAULT_END_BLOCK, SAMPLES_PER_FRAME, check_end_block, read_chunks

# The columns the quality adds to the summary, in order.
QUALITY_COLUMNS = ("clipped", "stuck", "seq_breaks", "seq_lost", "seq_repeats", "seq_backward",
                   "duplicate_frames", "still_windows", "gravity_error", "gyro_offset", "quality")

# The limits of the checks: a recording fails a check when its figure is
# above the limit ("clipped" is a share of the rows, the others are the
# columns' own values). Give summary() a mapping of some of these names to
# change them; a limit of None turns its check off.
THRESHOLDS = {"clipped": 0.01, "stuck": 0, "seq_lost": 0, "seq_repeats": 0, "seq_backward": 0,
              "duplicate_frames": 0, "gravity_error": 20.0}

LIMITS = (-32768, 32767)
STUCK_ROWS = 900
BLOCK_ROWS = STUCK_ROWS // 2
WINDOW_ROWS = 900
ACCELEROMETER_UNIT = 8192.0
GYROSCOPE_UNIT = 65.536
# A window is still when each accelerometer axis has a population standard
# deviation below 0.013 units: sqrt(n * sum(x^2) - sum(x)^2) / n < 0.013 * 8192,
# that is 100 * (n * sum(x^2) - sum(x)^2) < (0.013 * 8192 * 900 * 10)^2, in
# whole numbers (958464 = 0.013 * 8192 * 900 * 10 exactly).
STILL_BOUND = 958464 ** 2

# Rows of a piece whose quality is computed at a time.
QUALITY_PIECE_FRAMES = 8192


class Quality:
    """The quality figures of one recording, folded in piece by piece.

    add(piece) takes the next piece of read_chunks and returns where its
    events lie (see add); finish() closes the last runs and windows and
    returns the events that closing finds; counts() gives the columns.
    """

    def __init__(self):
        self.rows = 0
        self.clipped = 0
        self.stuck = 0
        self.seq_breaks = self.seq_lost = self.seq_repeats = self.seq_backward = 0
        self.duplicate_frames = 0
        self.last_seqno = None
        self.last_frame = None  # the words of the last converted frame
        # Per axis: the value of the run that is still open and its first row.
        self.run_value = np.zeros(len(AXES), np.int64)
        self.run_start = np.zeros(len(AXES), np.int64)
        # Stuck runs already closed that may still overlap runs of other
        # axes, as [start, end) rows; every row before `settled` is counted.
        self.pending = np.empty((0, 2), np.int64)
        self.settled = 0
        # The window being filled: its rows, the sums of the six axes and of
        # the squares of the accelerometer's.
        self.window_rows = 0
        self.window_sums = np.zeros(len(AXES), np.int64)
        self.window_squares = np.zeros(3, np.int64)
        self.still_windows = 0
        self.gravity_parts = []
        self.gyro_parts = []

    def add(self, piece):
        """Folds in the next piece of read_chunks. Returns the events of
        its rows, as row indices in the whole recording: "clipped" and
        "seq_breaks" (the rows), "duplicate_frames" (the first row of each
        such frame) and "stuck" (the [start, end) rows of the stuck runs
        that ended in this piece, one pair per row of an (n, 2) array)."""
        samples = piece.samples
        count = len(samples)
        first = self.rows
        if count == 0:
            return _no_events()
        events = {}
        # Each axis once as a contiguous copy: the fields of the rows lie
        # apart, and every check reads every axis.
        columns = [np.ascontiguousarray(samples[axis]) for axis in AXES]

        # -32768 and 32767 are the two values that 32767 subtracted from, in
        # 16 bits, leaves 1 or 0.
        clipped = np.zeros(count, bool)
        distance = np.empty(count, np.uint16)
        for values in columns:
            np.subtract(values.view(np.uint16), LIMITS[1], out=distance)
            clipped |= distance <= 1
        events["clipped"] = first + np.flatnonzero(clipped)
        self.clipped += len(events["clipped"])

        events["seq_breaks"] = first + self._steps(samples["SEQNO"])
        events["duplicate_frames"] = first + SAMPLES_PER_FRAME * self._duplicates(samples)
        events["stuck"] = self._runs(columns, first)
        self._windows(columns)
        self.rows += count
        return events

    def finish(self):
        """Closes the open runs: returns the stuck runs they end, as add
        does, and settles the count of stuck rows."""
        if self.rows == 0:
            return _no_events()
        end = np.full(len(AXES), self.rows, np.int64)
        closed = self._close(self.run_start, end)
        self.run_start[:] = self.rows
        self._settle(self.rows)
        return {"clipped": np.empty(0, np.int64), "seq_breaks": np.empty(0, np.int64),
                "duplicate_frames": np.empty(0, np.int64), "stuck": closed}

    def counts(self):
        """The figures as a dict of QUALITY_COLUMNS, without "quality";
        call finish() first."""
        gravity = gyro = math.nan
        if self.still_windows:
            gravity = 1000.0 * math.fsum(np.concatenate(self.gravity_parts)) / self.still_windows
            gyro = math.fsum(np.concatenate(self.gyro_parts)) / self.still_windows
        return {"clipped": self.clipped, "stuck": self.stuck, "seq_breaks": self.seq_breaks,
                "seq_lost": self.seq_lost, "seq_repeats": self.seq_repeats,
                "seq_backward": self.seq_backward, "duplicate_frames": self.duplicate_frames,
                "still_windows": self.still_windows, "gravity_error": gravity, "gyro_offset": gyro}

    def _steps(self, seqno):
        """Counts the steps of the counter; returns the local rows that break it."""
        values = np.ascontiguousarray(seqno)
        # Steps modulo 65536, as 16-bit subtraction wraps.
        step = np.empty(len(values), np.uint16)
        np.subtract(values[1:], values[:-1], out=step[1:])
        step[0] = 1 if self.last_seqno is None else (int(values[0]) - self.last_seqno) & 0xFFFF
        self.last_seqno = int(values[-1])
        breaks = np.flatnonzero(step != 1)
        step = step[breaks].astype(np.int64)
        self.seq_breaks += len(breaks)
        self.seq_repeats += int(np.count_nonzero(step == 0))
        self.seq_backward += int(np.count_nonzero(step >= 32768))
        lost = step[(step >= 2) & (step <= 32767)]
        self.seq_lost += int(lost.sum() - len(lost))
        return breaks

    def _duplicates(self, samples):
        """Counts the frames equal to the one before; returns their local
        indices. ASVM and GSVM follow from the axes, so comparing whole rows
        compares the stored fields."""
        words = samples.view(np.uint16).reshape(-1, SAMPLES_PER_FRAME * len(samples.dtype))
        same = np.empty(len(words), bool)
        same[1:] = (words[1:] == words[:-1]).all(axis=1)
        same[0] = self.last_frame is not None and bool((words[0] == self.last_frame).all())
        self.last_frame = words[-1].copy()
        found = np.flatnonzero(same)
        self.duplicate_frames += len(found)
        return found

    def _runs(self, columns, first):
        """Follows every axis's runs of one value through the piece; returns
        the stuck runs that ended in it."""
        count = len(columns[0])
        blocks = count // BLOCK_ROWS
        starts, ends = [], []
        for a, values in enumerate(columns):
            change = np.empty(count, bool)
            np.not_equal(values[1:], values[:-1], out=change[1:])
            change[0] = self.rows == 0 or values[0] != self.run_value[a]
            self.run_value[a] = values[-1]
            # A run of STUCK_ROWS = 2 * BLOCK_ROWS rows or more within the
            # piece holds a whole block of one value. Without such a block,
            # only the runs through the piece's ends can be stuck: the one
            # open before it, ending at its first change, and the one left
            # open after its last.
            held = blocks and _holds_a_block(values[:blocks * BLOCK_ROWS])
            if held:
                begins = first + np.flatnonzero(change)
            else:
                head = int(change.argmax())
                if not change[head]:
                    continue  # one value throughout: the open run goes on
                tail = count - 1 - int(change[::-1].argmax())
                begins = first + np.array([head, tail] if tail != head else [head], np.int64)
            # The run open before the piece ends where its first new run
            # begins, and every run begun in the piece but the last ends here.
            run_begins = begins if self.rows == 0 else np.concatenate(([self.run_start[a]], begins))
            closed_starts, closed_ends = run_begins[:-1], run_begins[1:]
            if not held and len(begins) == 2:
                # Between the first and the last change no run is stuck.
                closed_starts, closed_ends = closed_starts[:-1], closed_ends[:-1]
            starts.append(closed_starts)
            ends.append(closed_ends)
            self.run_start[a] = run_begins[-1]
        closed = self._close(np.concatenate(starts) if starts else np.empty(0, np.int64),
                             np.concatenate(ends) if ends else np.empty(0, np.int64))
        self._settle(int(self.run_start.min()))
        return closed

    def _close(self, starts, ends):
        """Keeps the stuck ones of the closed runs [starts, ends); returns them."""
        stuck = ends - starts >= STUCK_ROWS
        closed = np.stack([starts[stuck], ends[stuck]], axis=1)
        if len(closed):
            self.pending = np.concatenate([self.pending, closed])
        return closed

    def _settle(self, frontier):
        """Counts the stuck rows before `frontier`, where every run still to
        close begins: no run can cover them later."""
        if frontier <= self.settled or len(self.pending) == 0:
            self.settled = max(self.settled, frontier)
            return
        spans = self.pending.copy()
        np.clip(spans, self.settled, frontier, out=spans)
        order = np.argsort(spans[:, 0], kind="stable")
        starts, ends = spans[order, 0], spans[order, 1]
        # The union of the spans: each one adds what it reaches beyond the
        # furthest end of those that start before it.
        reached = np.maximum.accumulate(ends)
        before = np.concatenate(([self.settled], reached[:-1]))
        self.stuck += int(np.maximum(ends - np.maximum(starts, before), 0).sum())
        self.pending = self.pending[self.pending[:, 1] > frontier]
        self.settled = frontier

    def _windows(self, columns):
        """Adds the rows to the windows of WINDOW_ROWS rows, judging each
        one as it fills."""
        count = len(columns[0])
        # Cuts where a window fills, the first one topping up the open window.
        head = min(count, WINDOW_ROWS - self.window_rows)
        cuts = np.arange(head, count, WINDOW_ROWS)
        bounds = np.concatenate(([0], cuts))
        sums = np.empty((len(AXES), len(bounds)), np.int64)
        squares = np.empty((3, len(bounds)), np.int64)
        for a, values in enumerate(columns):
            sums[a] = np.add.reduceat(values, bounds, dtype=np.int64)
            if a < 3:
                wide = values.astype(np.int32)  # squares below 2^30
                np.multiply(wide, wide, out=wide)
                squares[a] = np.add.reduceat(wide, bounds, dtype=np.int64)
        sums[:, 0] += self.window_sums
        squares[:, 0] += self.window_squares
        sizes = np.diff(np.concatenate((bounds, [count])))
        sizes[0] += self.window_rows
        full = sizes == WINDOW_ROWS
        # The last part stays open unless it is full, in which case the
        # next window starts empty.
        if full[-1]:
            self.window_rows = 0
            self.window_sums[:] = 0
            self.window_squares[:] = 0
        else:
            self.window_rows = int(sizes[-1])
            self.window_sums[:] = sums[:, -1]
            self.window_squares[:] = squares[:, -1]
        sums, squares = sums[:, full], squares[:, full]
        if sums.shape[1] == 0:
            return
        spread = WINDOW_ROWS * squares - sums[:3] * sums[:3]
        still = (100 * spread < STILL_BOUND).all(axis=0)
        if not still.any():
            return
        self.still_windows += int(np.count_nonzero(still))
        # The window's sums are whole numbers below 2^25, their squares'
        # sum below 2^53: the norms are exact up to the root's rounding.
        accelerometer = sums[:3, still].astype(np.float64)
        gyroscope = sums[3:, still].astype(np.float64)
        norm = np.sqrt((accelerometer * accelerometer).sum(axis=0)) / WINDOW_ROWS
        self.gravity_parts.append(np.abs(norm / ACCELEROMETER_UNIT - 1.0))
        gyro = np.sqrt((gyroscope * gyroscope).sum(axis=0)) / WINDOW_ROWS
        self.gyro_parts.append(gyro / GYROSCOPE_UNIT)


def _holds_a_block(values):
    """Whether one of the consecutive blocks of BLOCK_ROWS of `values` holds
    one value throughout."""
    blocks = values.reshape(-1, BLOCK_ROWS)
    return bool((blocks.min(axis=1) == blocks.max(axis=1)).any())


def _no_events():
    empty = np.empty(0, np.int64)
    return {"clipped": empty, "seq_breaks": empty, "duplicate_frames": empty,
            "stuck": np.empty((0, 2), np.int64)}


def thresholds_of(changes=None):
    """THRESHOLDS with the limits of the mapping `changes` put in; raises
    KeyError for a name that is not a check."""
    limits = dict(THRESHOLDS)
    for name, value in (changes or {}).items():
        if name not in THRESHOLDS:
            raise KeyError("%r is not a quality check; the checks are %s" % (name, ", ".join(THRESHOLDS)))
        limits[name] = None if value is None else float(value)
    return limits


def verdict(counts, samples, limits):
    """The failed checks of the figures `counts` over `samples` rows under
    `limits` (see thresholds_of), joined by "; ", or "" when all pass."""
    failed = []
    for name, limit in limits.items():
        if limit is None:
            continue
        value = counts[name]
        if name == "clipped":
            share = value / samples if samples else 0.0
            if share > limit:
                failed.append("clipped %.3g%% > %.3g%%" % (100.0 * share, 100.0 * limit))
        elif value > limit:  # NaN, no still window, passes
            shown = "%.1f" % value if isinstance(value, float) else "%d" % value
            failed.append("%s %s > %s" % (name, shown, "%g" % limit))
    return "; ".join(failed)


def quality(source, end_block=DEFAULT_END_BLOCK, thresholds=None, frames=QUALITY_PIECE_FRAMES):
    """The quality of the recording `source` (a path or a binary file
    object, as read_chunks takes) as a dict of QUALITY_COLUMNS, read a piece
    of `frames` frames at a time. Raises OSError as read_chunks does."""
    end_block = check_end_block(end_block)
    limits = thresholds_of(thresholds)
    accumulator = Quality()
    for piece in read_chunks(source, end_block, frames):
        accumulator.add(piece)
    accumulator.finish()
    counts = accumulator.counts()
    counts["quality"] = verdict(counts, accumulator.rows, limits)
    return counts


def summarise_quality(path, end_block=DEFAULT_END_BLOCK, thresholds=None):
    """The summary row of one recording with its quality columns (missing
    when it cannot be read): what summary(quality=True) runs per file."""
    from .campaign import summarise

    row = summarise(path, end_block)
    row.update(dict.fromkeys(QUALITY_COLUMNS))
    if row["error"]:
        return row
    try:
        row.update(quality(path, end_block, thresholds))
    except OSError as error:
        # Read once but not twice: no count stands for the file.
        row.update(dict.fromkeys(row))
        row["path"] = os.fsdecode(os.fspath(path))
        row["error"] = error.strerror or str(error)
    return row


__all__ = ["QUALITY_COLUMNS", "THRESHOLDS", "Quality", "quality", "thresholds_of", "verdict",
           "summarise_quality"]
