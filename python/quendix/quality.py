"""What the rows of a recording hold: saturated axes, stuck sensors, steps
of the sample counter, repeated frames, and the calibration seen in still
stretches, computed piece by piece: over the frames as the file holds
them, or over the rows of read_chunks.

Every figure is over the rows in file order, as read() gives them: frames
without the marker carry no rows, so the rows on either side of them are
neighbours here. Runs, counter steps, windows and the last frame carry over
from one piece to the next, so that the figures do not depend on where the
pieces are cut.
"""

import math
import operator

import numpy as np

from .recording import (AXES, DEFAULT_END_BLOCK, FRAME_MAGIC, FRAME_WORDS, HEADER_SIZE,
                        SAMPLES_PER_FRAME, FrameFile, check_end_block)

# The columns the quality adds to the summary, in order, with their types in
# its table: the counts as pandas' nullable Int64, the calibration figures as
# float64 (NaN when missing), the verdict as text.
QUALITY_COLUMN_TYPES = {"clipped": "Int64", "stuck": "Int64", "seq_breaks": "Int64",
                        "seq_lost": "Int64", "seq_repeats": "Int64", "seq_backward": "Int64",
                        "duplicate_frames": "Int64", "still_windows": "Int64",
                        "gravity_error": "float64", "gyro_offset": "float64", "quality": "object"}
QUALITY_COLUMNS = tuple(QUALITY_COLUMN_TYPES)

# The limits of the checks: a recording fails a check when its figure is
# above the limit ("clipped" is a share of the rows, the others are the
# columns' own values), and "no_samples" when it holds no more rows than its
# limit. Give summary() a mapping of some of these names to change them; a
# limit of None turns its check off. "calibration_error_after" (mg) is
# checked only where the calibration columns are asked for.
THRESHOLDS = {"no_samples": 0, "clipped": 0.01, "stuck": 0, "seq_lost": 0, "seq_repeats": 0,
              "seq_backward": 0, "duplicate_frames": 0, "gravity_error": 20.0,
              "calibration_error_after": 10.0}

# The fields each row of a frame stores, in the frame's order.
STORED = ("SEQNO",) + AXES
LIMITS = (-32768, 32767)
STUCK_ROWS = 900
# Blocks of rows in which a stuck run is looked for: any 900 rows of one
# value hold 899 rows that repeat the row before, and so a whole aligned
# block of 448 of them (2 * 448 - 1 <= 899). 448 flags are 56 whole words
# of 64 bits.
BLOCK_ROWS = 448
WINDOW_ROWS = 900
ACCELEROMETER_UNIT = 8192.0
GYROSCOPE_UNIT = 65.536
# A window is still when each accelerometer axis has a population standard
# deviation below 0.013 units: sqrt(n * sum(x^2) - sum(x)^2) / n < 0.013 * 8192,
# that is 100 * (n * sum(x^2) - sum(x)^2) < (0.013 * 8192 * 900 * 10)^2, in
# whole numbers (958464 = 0.013 * 8192 * 900 * 10 exactly).
STILL_BOUND = 958464 ** 2

# Frames read at a time by quality(), and the most that add() folds in at
# once: 1 MiB buffers, about 74000 rows, enough that numpy's cost per call
# is small, while the working arrays of a piece stay below 8 MiB.
QUALITY_PIECE_FRAMES = 8192


class Quality:
    """The quality figures of one recording, folded in piece by piece.

    add(piece) takes the next piece of read_chunks and returns where its
    events lie (see add); add_frames(words, valid) takes the next frames
    as the file holds them, for the figures alone. finish() closes the last
    runs and windows and returns the events that closing finds; counts()
    gives the columns. One Quality takes its rows one way or the other.
    """

    def __init__(self, keep_still_sums=False):
        self.rows = 0
        self.clipped = 0
        self.stuck = 0
        self.seq_breaks = self.seq_lost = self.seq_repeats = self.seq_backward = 0
        self.duplicate_frames = 0
        self.last_seqno = None
        self.last_frame = None  # the fields of the last converted frame, (7, 9)
        # Per axis: the value of the run that is still open (the bits of the
        # count) and its first row.
        self.run_value = np.zeros(len(AXES), np.uint16)
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
        # The sums over the still windows, exact: lists of floats that add
        # up to them (see _add_exactly), a few whatever the recording.
        self.gravity_parts = []
        self.gyro_parts = []
        # With keep_still_sums: each still window's accelerometer and
        # gyroscope sums (int64, three a window), in file order.
        self.still_sums = ([], []) if keep_still_sums else None
        # The working arrays of a piece, kept for the next (see _scratch).
        self.scratch = {}

    def add(self, piece):
        """Folds in the next piece of read_chunks. Returns the events of
        its rows, as row indices in the whole recording: "clipped" and
        "seq_breaks" (the rows), "duplicate_frames" (the first row of each
        such frame) and "stuck" (the [start, end) rows of the stuck runs
        that ended in this piece, one pair per row of an (n, 2) array)."""
        samples = piece.samples
        if len(samples) == 0:
            return _no_events()
        # A large piece a part of QUALITY_PIECE_FRAMES frames at a time, so
        # that the working arrays stay as small as those of quality().
        parts = []
        step = QUALITY_PIECE_FRAMES * SAMPLES_PER_FRAME
        for start in range(0, len(samples), step):
            part = samples[start:start + step]
            fields = self._scratch("fields", (len(STORED), len(part)), np.uint16)
            for row, name in zip(fields, STORED):
                row[:] = part[name].view(np.uint16)
            parts.append(self._fold(fields, True))
        return {kind: np.concatenate([events[kind] for events in parts]) for kind in parts[0]}

    def add_frames(self, words, valid):
        """Folds in the next whole frames of the file: `words` their 16-bit
        words (one row of FRAME_WORDS per frame, as FrameFile.pieces reads
        them), `valid` whether each carries the marker. Only the frames
        with the marker have rows, as in read()."""
        # The valid frames' samples, then each field's column, contiguous:
        # two copies, each a long stretch of memory at a time.
        kept = int(np.count_nonzero(valid))
        count = kept * SAMPLES_PER_FRAME
        if count == 0:
            return
        stored = self._scratch("stored", (kept, FRAME_WORDS - HEADER_SIZE // 2), np.uint16)
        # take() of the indices rather than compress(): with mode "raise",
        # both fill a fresh copy of `out` before its own; the indices are
        # in range anyway.
        np.take(words[:, HEADER_SIZE // 2:], np.flatnonzero(valid), axis=0, out=stored, mode="clip")
        fields = self._scratch("fields", (len(STORED), count), np.uint16)
        np.copyto(fields, stored.reshape(count, len(STORED)).T)
        self._fold(fields, False)

    def _fold(self, fields, events):
        """Folds in the rows `fields`, one row per stored field (uint16, the
        axes' counts as their bits); returns their events when `events`."""
        first = self.rows
        axes = fields[1:]
        clipped = self._clipped(axes, events)
        breaks = self._steps(fields[0])
        duplicates = self._duplicates(fields)
        stuck = self._runs(axes, first)
        self._windows(axes.view(np.int16))
        self.rows += fields.shape[1]
        if not events:
            return None
        return {"clipped": first + clipped, "seq_breaks": first + breaks,
                "duplicate_frames": first + SAMPLES_PER_FRAME * duplicates, "stuck": stuck}

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
            gravity = 1000.0 * math.fsum(self.gravity_parts) / self.still_windows
            gyro = math.fsum(self.gyro_parts) / self.still_windows
        return {"clipped": self.clipped, "stuck": self.stuck, "seq_breaks": self.seq_breaks,
                "seq_lost": self.seq_lost, "seq_repeats": self.seq_repeats,
                "seq_backward": self.seq_backward, "duplicate_frames": self.duplicate_frames,
                "still_windows": self.still_windows, "gravity_error": gravity, "gyro_offset": gyro}

    def still_window_sums(self):
        """With keep_still_sums: the accelerometer's and the gyroscope's
        sums of every still window so far, two int64 arrays of a row of
        three per window, in file order."""
        return tuple(np.concatenate(parts) if parts else np.empty((0, 3), np.int64)
                     for parts in self.still_sums)

    def _scratch(self, name, shape, dtype):
        """An array of `shape` and `dtype` for the working values `name` of
        a piece, its contents undefined. Each is kept for the next pieces:
        fresh memory for every piece's arrays costs the kernel a page fault
        per 4 KiB, more than the checks themselves."""
        size = int(np.prod(shape)) * np.dtype(dtype).itemsize
        held = self.scratch.get(name)
        if held is None or len(held) < size:
            # With room to spare: the rows of a piece vary a little with
            # its frames without the marker, the whole windows with its cuts.
            held = self.scratch[name] = np.empty(size + size // 8, np.uint8)
        return held[:size].view(dtype).reshape(shape)

    def _clipped(self, axes, events):
        """Counts the clipped rows; returns their local indices when
        `events`. -32768 and 32767 are the two values that 32767 subtracted
        from, in 16 bits, leaves 1 or 0: a row clips where the least of its
        axes' distances is at most 1."""
        distance = np.subtract(axes, np.uint16(LIMITS[1]), out=self._scratch("distance", axes.shape, np.uint16))
        nearest = np.minimum.reduce(distance, axis=0, out=self._scratch("nearest", axes.shape[1:], np.uint16))
        clipped = np.less_equal(nearest, 1, out=self._scratch("clipped", axes.shape[1:], bool))
        self.clipped += int(np.count_nonzero(clipped))
        return np.flatnonzero(clipped) if events else None

    def _steps(self, values):
        """Counts the steps of the counter; returns the local rows that break it."""
        # Steps modulo 65536, as 16-bit subtraction wraps.
        step = self._scratch("step", values.shape, np.uint16)
        np.subtract(values[1:], values[:-1], out=step[1:])
        step[0] = 1 if self.last_seqno is None else (int(values[0]) - self.last_seqno) & 0xFFFF
        self.last_seqno = int(values[-1])
        breaks = np.flatnonzero(np.not_equal(step, 1, out=self._scratch("breaks", values.shape, bool)))
        step = step[breaks].astype(np.int64)
        self.seq_breaks += len(breaks)
        self.seq_repeats += int(np.count_nonzero(step == 0))
        self.seq_backward += int(np.count_nonzero(step >= 32768))
        lost = step[(step >= 2) & (step <= 32767)]
        self.seq_lost += int(lost.sum() - len(lost))
        return breaks

    def _duplicates(self, fields):
        """Counts the frames equal to the one before; returns their local
        indices. ASVM and GSVM follow from the axes, so comparing the stored
        fields compares the rows. Only the frames whose first SEQNO is that
        of the frame before can be equal to it: the others are not compared."""
        frames = fields.reshape(len(STORED), -1, SAMPLES_PER_FRAME)
        firsts = frames[0, :, 0]
        same = np.empty(len(firsts), bool)
        np.equal(firsts[1:], firsts[:-1], out=same[1:])
        same[0] = self.last_frame is not None and firsts[0] == self.last_frame[0, 0]
        found = np.flatnonzero(same)
        if len(found):
            before = frames[:, found - 1]
            if found[0] == 0:
                before[:, 0] = self.last_frame
            found = found[(frames[:, found] == before).all(axis=(0, 2))]
        self.last_frame = frames[:, -1].copy()
        self.duplicate_frames += len(found)
        return found

    def _runs(self, axes, first):
        """Follows every axis's runs of one value through the piece; returns
        the stuck runs that ended in it."""
        count = axes.shape[1]
        # change[a, i]: row i of axis a begins a run. The flags past the
        # piece, up to whole blocks, are changes: no block there holds.
        change = self._scratch("change", (len(AXES), -(-count // BLOCK_ROWS) * BLOCK_ROWS), bool)
        change[:, count:] = True
        np.not_equal(axes[:, 1:], axes[:, :-1], out=change[:, 1:count])
        if self.rows:
            np.not_equal(axes[:, 0], self.run_value, out=change[:, 0])
        else:
            change[:, 0] = True
        self.run_value[:] = axes[:, -1]
        # A run of STUCK_ROWS rows or more within the piece leaves a whole
        # block without a change: its flags, 64 to a word, are all zero.
        # Without such a block, only the runs through the piece's ends can
        # be stuck: the one open before it, ending at its first change, and
        # the one left open after its last.
        words = change.view(np.uint64).reshape(len(AXES), -1, BLOCK_ROWS // 8)
        held = (words.max(axis=2) == 0).any(axis=1)
        starts, ends = [], []
        for a in range(len(AXES)):
            flags = change[a, :count]
            if held[a]:
                begins = first + np.flatnonzero(flags)
            else:
                head = int(flags.argmax())
                if not flags[head]:
                    continue  # one value throughout: the open run goes on
                tail = _last_set(flags)
                begins = first + np.array([head, tail] if tail != head else [head], np.int64)
            # The run open before the piece ends where its first new run
            # begins, and every run begun in the piece but the last ends here.
            run_begins = begins if self.rows == 0 else np.concatenate(([self.run_start[a]], begins))
            closed_starts, closed_ends = run_begins[:-1], run_begins[1:]
            if not held[a] and len(begins) == 2:
                # Between the first and the last change no run is stuck.
                closed_starts, closed_ends = closed_starts[:-1], closed_ends[:-1]
            starts.append(closed_starts)
            ends.append(closed_ends)
            self.run_start[a] = run_begins[-1]
        closed = self._close(np.concatenate(starts) if starts else np.empty(0, np.int64),
                             np.concatenate(ends) if ends else np.empty(0, np.int64))
        self._settle(int(self.run_start.min()), first + count)
        return closed

    def _close(self, starts, ends):
        """Keeps the stuck ones of the closed runs [starts, ends); returns them."""
        stuck = ends - starts >= STUCK_ROWS
        closed = np.stack([starts[stuck], ends[stuck]], axis=1)
        if len(closed):
            self.pending = np.concatenate([self.pending, closed])
        return closed

    def _settle(self, frontier, end=None):
        """Counts the stuck rows before `frontier`, where every run still to
        close begins: no run can cover them later. `end`, the rows folded in
        so far, lets go of the closed runs that an open one covers."""
        if end is not None and end - frontier >= STUCK_ROWS:
            # The run open since `frontier` is stuck already: whatever it
            # ends, it covers every row from there to `end`, and so the rows
            # of the closed runs after `frontier`, which end by `end`. Only
            # their rows before `frontier` are left to count. So the closed
            # runs kept stay few (at most one per axis, within STUCK_ROWS
            # rows of `frontier`), however long an axis holds one value.
            self._settle(frontier)
            self.pending = self.pending[:0]
            return
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

    def _windows(self, axes):
        """Adds the rows `axes` (int16, one row per axis) to the windows of
        WINDOW_ROWS rows, judging each one as it fills: the open window
        topped up first, then the whole windows within the piece, then the
        rest opens the next window."""
        count = axes.shape[1]
        head = min(count, WINDOW_ROWS - self.window_rows)
        self._fill_window(axes[:, :head])
        if self.window_rows == WINDOW_ROWS:
            self._judge(self.window_sums[:3, None], self.window_squares[:, None],
                        lambda still: self.window_sums[3:, None])
            self.window_rows = 0
            self.window_sums[:] = 0
            self.window_squares[:] = 0
        whole = (count - head) // WINDOW_ROWS
        if whole:
            windows = axes[:, head:head + whole * WINDOW_ROWS].reshape(len(AXES), whole, WINDOW_ROWS)
            # In float64 the sums of a window's counts (below 2^25) and of
            # their squares (below 2^40) are whole numbers, exact in any
            # order of addition; the float reductions are the fast ones.
            values = self._scratch("values", (3, whole, WINDOW_ROWS), np.float64)
            np.copyto(values, windows[:3])
            rows = values.reshape(3 * whole, WINDOW_ROWS)
            squares = np.einsum("ij,ij->i", rows, rows)
            sums = rows.sum(axis=1)

            def gyroscope_sums(still):
                np.copyto(values, windows[3:])
                return values.sum(axis=2)[:, still].astype(np.int64)

            self._judge(sums.astype(np.int64).reshape(3, whole), squares.astype(np.int64).reshape(3, whole),
                        gyroscope_sums)
        self._fill_window(axes[:, head + whole * WINDOW_ROWS:])

    def _fill_window(self, part):
        """Adds the rows `part` to the open window."""
        if part.shape[1] == 0:
            return
        self.window_sums += part.sum(axis=1, dtype=np.int64)
        wide = part[:3].astype(np.int64)
        self.window_squares += (wide * wide).sum(axis=1)
        self.window_rows += part.shape[1]

    def _judge(self, sums, squares, gyroscope_sums):
        """Counts the still ones of the whole windows whose accelerometer
        sums and sums of squares are `sums` and `squares` (int64, one row
        per axis, a column per window), adding their figures;
        `gyroscope_sums(still)` gives the gyroscope's sums of those."""
        spread = WINDOW_ROWS * squares - sums * sums
        still = (100 * spread < STILL_BOUND).all(axis=0)
        if not still.any():
            return
        self.still_windows += int(np.count_nonzero(still))
        # The window's sums are whole numbers below 2^25, their squares'
        # sum below 2^53: the norms are exact up to the root's rounding.
        gyroscope_counts = gyroscope_sums(still)
        if self.still_sums is not None:
            self.still_sums[0].append(sums[:, still].T.copy())
            self.still_sums[1].append(gyroscope_counts.T.copy())
        accelerometer = sums[:, still].astype(np.float64)
        gyroscope = gyroscope_counts.astype(np.float64)
        norm = np.sqrt((accelerometer * accelerometer).sum(axis=0)) / WINDOW_ROWS
        _add_exactly(self.gravity_parts, np.abs(norm / ACCELEROMETER_UNIT - 1.0))
        gyro = np.sqrt((gyroscope * gyroscope).sum(axis=0)) / WINDOW_ROWS
        _add_exactly(self.gyro_parts, gyro / GYROSCOPE_UNIT)


def _add_exactly(partials, values):
    """Adds the floats `values` to the exact sum held by `partials`, a list
    of floats of increasing magnitude that do not overlap, whose math.fsum
    is the correctly rounded sum of everything added: the same figure as
    math.fsum of all the values at once, in memory that does not grow with
    their number."""
    for x in values.tolist():
        kept = 0
        for y in partials:
            if abs(x) < abs(y):
                x, y = y, x
            high = x + y
            low = y - (high - x)
            if low:
                partials[kept] = low
                kept += 1
            x = high
        partials[kept:] = [x]


def _last_set(flags):
    """The index of the last true flag of `flags`, which holds one: looked
    for from the end in growing stretches, without a pass over the whole."""
    end, size = len(flags), 64
    while True:
        start = max(0, end - size)
        found = np.flatnonzero(flags[start:end])
        if len(found):
            return start + int(found[-1])
        end, size = start, size * 8


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
        limits[name] = None if value is None else limit(value, name)
    return limits


def limit(value, name):
    """The limit `value` of the check `name` as a float; raises ValueError
    for NaN or a negative number, which would silently pass or fail every
    recording, and TypeError for what is not a number."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError("the limit of %s is a number or None, not %r" % (name, value)) from None
    if not number >= 0:  # NaN too
        raise ValueError("the limit of %s is a number of 0 or more (or None for no check), not %r"
                         % (name, value))
    return number


def verdict(counts, samples, limits):
    """The failed checks of the figures `counts` over `samples` rows under
    `limits` (see thresholds_of), joined by "; ", or "" when all pass."""
    failed = []
    for name, bound in limits.items():
        if bound is None:
            continue
        if name == "no_samples":
            if samples <= bound:
                failed.append("no samples" if samples == 0 else "samples %d <= %g" % (samples, bound))
            continue
        if name not in counts:
            continue
        value = counts[name]
        if name == "calibration_error_after":
            if value > bound:  # NaN, no still window, passes
                failed.append("calibration error after above %g mg" % bound)
        elif name == "clipped":
            share = value / samples if samples else 0.0
            if share > bound:
                failed.append("clipped %.3g%% > %.3g%%" % (100.0 * share, 100.0 * bound))
        elif value > bound:  # NaN, no still window, passes
            shown = "%.1f" % value if isinstance(value, float) else "%d" % value
            failed.append("%s %s > %s" % (name, shown, "%g" % bound))
    return "; ".join(failed)


def quality(source, end_block=DEFAULT_END_BLOCK, thresholds=None, frames=QUALITY_PIECE_FRAMES):
    """The quality of the recording `source` (a path or a binary file
    object, as read_chunks takes) as a dict of QUALITY_COLUMNS, read a piece
    of `frames` frames at a time. Raises OSError as read_chunks does."""
    check_end_block(end_block)
    limits = thresholds_of(thresholds)
    piece_frames = operator.index(frames)
    if piece_frames < 1:
        raise ValueError("frames must be at least 1, not %d" % piece_frames)
    accumulator = Quality()
    with FrameFile(source) as source_file:
        for data, _ in source_file.pieces(piece_frames):
            words = data.view("<u2").reshape(-1, FRAME_WORDS)
            accumulator.add_frames(words, words[:, 0] == FRAME_MAGIC)
    return figures(accumulator, limits)


def figures(accumulator, limits, more=None):
    """The columns of the Quality `accumulator`, fed every row, and those
    of the dict `more`, with the verdict under `limits`."""
    accumulator.finish()
    counts = accumulator.counts()
    counts.update(more or {})
    counts["quality"] = verdict(counts, accumulator.rows, limits)
    return counts


__all__ = ["QUALITY_COLUMNS", "THRESHOLDS", "Quality", "quality", "thresholds_of", "limit", "verdict",
           "figures"]
