"""Samples in physical units on the recording's time line: acceleration in
g, angular rate in degrees per second, each row at its tick, with the
samples lost before it counted and, on request, the lost ones filled in.

Over the rows in file order (as read() gives them), with
d_i = (SEQNO[i] - SEQNO[i-1]) mod 65536:
  tick         tick[0] = 0; tick[i] = tick[i-1] + d_i when 1 <= d_i <= 32767,
               else tick[i-1] + 1 (a repeat or a backward step)
  lost_before  d_i - 1 when 2 <= d_i <= 32767, else 0; their sum is the
               quality column seq_lost
  seq_fault    d_i = 0 or d_i >= 32768: the counter repeated or stepped back
  time         tick / rate, in seconds, with a sample rate the caller gives
               (samples per second; never guessed)
The ticks only grow, one at least from a row to the next, so that every
tick that has no row is a lost sample.

For the modules that build on the time line (epochs, exports): TimeLine is
its accumulator (add() the SEQNO of each piece in turn, as hashlib's
update); physical_frame() gives the columns of one piece from its raw
samples and the Carry of the pieces before it; FILL_POLICIES are the fill
policies. This module needs numpy alone (pandas for the data frame).
"""

import math
import warnings

import numpy as np

from .calibration import ACCELEROMETER_UNIT, GYROSCOPE_COUNTS, Calibration, fit, still_window_sums

ACCELEROMETER_AXES = ("AX", "AY", "AZ")
GYROSCOPE_AXES = ("GX", "GY", "GZ")
AXIS_NAMES = ACCELEROMETER_AXES + GYROSCOPE_AXES
# The largest step of the counter that counts as a step forward.
LONGEST_STEP = 32767
FILL_POLICIES = (None, "nan", "hold", "linear")


class Carry:
    """What a piece's time line carries over from the pieces before it:
    the last row's SEQNO and tick, and its raw counts (AX to GZ, for
    filling a gap across the pieces' border); None before the first row."""

    __slots__ = ("seqno", "tick", "counts")

    def __init__(self, seqno, tick, counts):
        self.seqno = seqno
        self.tick = tick
        self.counts = counts

    def __repr__(self):
        return "Carry(seqno=%d, tick=%d)" % (self.seqno, self.tick)


class TimeLine:
    """The time line followed piece by piece: add() takes each piece's
    SEQNO (and optionally its samples, to carry the last row's counts) and
    moves on; carry() is the state the next piece starts from."""

    def __init__(self):
        self.last = None

    def carry(self):
        """The Carry of the rows added so far, or None before any row."""
        return self.last

    def add(self, seqno, samples=None):
        """Moves on over the rows whose SEQNO are `seqno` (uint16), in
        file order; `samples` (with the fields AX to GZ) their rows."""
        count = len(seqno)
        if count == 0:
            return
        counts = None
        if samples is not None:
            counts = tuple(int(samples[name][-1]) for name in AXIS_NAMES)
        self.last = carry_on(self.last, steps_of(seqno), counts)


def steps_of(seqno):
    """What the time line needs of the rows whose SEQNO are `seqno`, not
    empty, to carry on over them: their first and last SEQNO, their count,
    and the samples lost between them."""
    seqno = np.asarray(seqno, np.uint16)
    steps = np.subtract(seqno[1:], seqno[:-1])
    forward = (steps >= 2) & (steps <= LONGEST_STEP)
    # A step forward d loses d - 1 samples.
    lost = int(np.sum(steps[forward], dtype=np.int64)) - int(np.count_nonzero(forward))
    return int(seqno[0]), int(seqno[-1]), len(seqno), lost


def carry_on(before, steps, counts=None):
    """The Carry after rows of which steps_of() gave `steps`, that follow
    the Carry `before` (None at the recording's start); `counts` their
    last row's raw counts, if wanted."""
    first, last, count, lost = steps
    if before is None:
        tick = count - 1 + lost
    else:
        step = (first - before.seqno) & 0xFFFF
        tick = before.tick + (step if 1 <= step <= LONGEST_STEP else 1) + count - 1 + lost
    return Carry(last, tick, counts)


def _steps(seqno, before):
    """d of every row (uint16): the first row's from the carried SEQNO, or
    1 for the recording's first row (which has no step)."""
    steps = np.empty(len(seqno), np.uint16)
    np.subtract(seqno[1:], seqno[:-1], out=steps[1:])
    steps[0] = 1 if before is None else (int(seqno[0]) - before.seqno) & 0xFFFF
    return steps


def time_line(seqno, before=None):
    """The tick (int64), lost_before (int32) and seq_fault (bool) of the
    rows whose SEQNO are `seqno`, carrying on from `before` (a Carry, or
    None at the recording's first row, whose tick is 0)."""
    seqno = np.asarray(seqno, np.uint16)
    count = len(seqno)
    steps = _steps(seqno, before) if count else np.empty(0, np.uint16)
    fault = (steps == 0) | (steps > LONGEST_STEP)
    lost = steps.astype(np.int32)
    lost -= 1
    lost[fault] = 0
    advance = lost.astype(np.int64)
    advance += 1
    if count and before is None:
        advance[0] = 0
    elif count:
        advance[0] += before.tick
    tick = np.cumsum(advance, out=advance)
    return tick, lost, fault


def units(samples, name, calibration=None, gyro_bias=None, out=None):
    """The axis `name` (AX to GZ) of `samples` in physical units, float64,
    into `out` when given: AX, AY, AZ in g (counts x 2^-13, exactly counts
    / 8192), then through the Calibration `calibration` when given,
    (raw - offset) * scale; GX, GY, GZ in degrees per second (counts /
    65.536), less `gyro_bias` (three floats) when given."""
    if out is None:
        out = np.empty(len(samples))
    if name in ACCELEROMETER_AXES:
        np.multiply(samples[name], ACCELEROMETER_UNIT, out=out)
        if calibration is not None:
            calibration.apply_accelerometer(ACCELEROMETER_AXES.index(name), out, out=out)
    else:
        np.divide(samples[name], GYROSCOPE_COUNTS, out=out)
        if gyro_bias is not None:
            np.subtract(out, gyro_bias[GYROSCOPE_AXES.index(name)], out=out)
    return out


class Gaps:
    """Where a fill policy adds rows: one for every lost tick between the
    recorded rows at `tick`, and between the row before them (at
    `before_tick`, when they carry on from another piece) and the first,
    whose added rows belong to this piece.

    tick      int64  every tick, from the first added or recorded to the last
    recorded  bool   whether each was recorded
    added     int64  the indices of the added ones
    left, right      for each added tick, the recorded rows on either side
                     (indices into the recorded rows; -1 is the row before)
    """

    def __init__(self, tick, before_tick=None):
        count = len(tick)
        start = before_tick + 1 if before_tick is not None and count else (int(tick[0]) if count else 0)
        total = int(tick[-1]) - start + 1 if count else 0
        self.start = start
        self.tick = np.arange(start, start + total, dtype=np.int64)
        self.complete = total == count
        if self.complete:
            self.recorded = np.ones(total, bool)
            self.added = np.empty(0, np.int64)
        else:
            self.recorded = np.zeros(total, bool)
            self.recorded[tick - start] = True
            self.added = np.flatnonzero(~self.recorded)
        added_tick = self.tick[self.added]
        self.right = np.searchsorted(tick, added_tick)
        self.left = self.right - 1
        t0 = np.where(self.left >= 0, tick[np.maximum(self.left, 0)], start - 1).astype(np.float64)
        self.share = (added_tick - t0) / (tick[self.right] - t0) if len(added_tick) else added_tick.astype(float)

    def fill(self, values, policy, before=math.nan):
        """The column `values` (float64, a value per recorded row) with its
        added rows filled by `policy`, `before` the value of the row before:
          "nan"     NaN
          "hold"    the last recorded value before them
          "linear"  a + (b - a) * ((t - t0) / (t1 - t0)) at tick t, between
                    the recorded rows at t0 (value a) and t1 (value b)
                    on either side.
        Without a lost tick, `values` itself."""
        if self.complete:
            return values
        filled = np.empty(len(self.tick))
        filled[self.recorded] = values
        if policy == "nan":
            filled[self.added] = math.nan
            return filled
        a = np.where(self.left >= 0, values[np.maximum(self.left, 0)], before)
        if policy == "hold":
            filled[self.added] = a
        else:
            b = values[self.right]
            filled[self.added] = a + (b - a) * self.share
        return filled


def resolve_calibration(calibration, gyro_bias, own):
    """The Calibration to apply to the accelerometer (or None) and the
    gyroscope bias to subtract (or None), for to_physical's `calibration`
    and `gyro_bias`; `own()` fits the recording's own. Warns, naming the
    reason, where a calibration or a bias asked for is not applied."""
    if calibration is True or (gyro_bias and calibration in (None, False)):
        fitted = own()
    elif calibration is None or calibration is False:
        fitted = None
    elif isinstance(calibration, Calibration):
        fitted = calibration
    else:
        raise TypeError("calibration must be None, True, False or a quendix.Calibration, not %s"
                        % type(calibration).__name__)
    applied = None
    if calibration is not None and calibration is not False:
        if fitted.applied:
            applied = fitted
        else:
            warnings.warn("calibration not applied: %s" % fitted.reason, stacklevel=4)
    bias = None
    if gyro_bias:
        if all(math.isfinite(v) for v in fitted.gyro_bias):
            bias = fitted.gyro_bias
        else:
            warnings.warn("gyroscope bias not subtracted: no still window", stacklevel=4)
    return applied, bias


def own_calibration(samples):
    """The Calibration fitted to the still windows of the whole recording
    whose rows are `samples`."""
    axes = np.stack([samples[name] for name in AXIS_NAMES])
    return fit(*still_window_sums(axes))


def physical_frame(samples, before=None, whole=True, rate=None, calibration=None, fill=None,
                   gyro_bias=False):
    """The samples `samples` (SAMPLE_DTYPE, in file order) in physical
    units on the time line, as a pandas.DataFrame: what
    Recording.to_physical gives (see there). `before` is the Carry of the
    rows before them, None when they start the recording; `whole` whether
    they are the whole recording, which calibration=True needs."""
    import pandas

    if rate is not None:
        rate = float(rate)
        if not (math.isfinite(rate) and rate > 0):
            raise ValueError("the rate is a number of samples per second above 0, not %r" % (rate,))
    if fill not in FILL_POLICIES:
        raise ValueError("fill must be None, \"nan\", \"hold\" or \"linear\", not %r" % (fill,))

    def own():
        if not whole:
            raise ValueError("a piece of read_chunks is part of its recording: fit the whole one with "
                             "quendix.calibrate(path) and pass that Calibration")
        return own_calibration(samples)

    applied, bias = resolve_calibration(calibration, gyro_bias, own)
    tick, lost, fault = time_line(samples["SEQNO"], before)
    columns = {}
    if fill is None:
        for name in AXIS_NAMES:
            columns[name] = units(samples, name, applied, bias)
    else:
        gaps = Gaps(tick, before.tick if before is not None else None)
        previous = None
        if before is not None:
            previous = np.zeros(1, [(name, "<i2") for name in AXIS_NAMES])
            for name, value in zip(AXIS_NAMES, before.counts):
                previous[name] = value
        # One scratch column for the recorded rows' values, each filled
        # column made from it in turn.
        scratch = np.empty(len(samples))
        for name in AXIS_NAMES:
            values = units(samples, name, applied, bias, out=None if gaps.complete else scratch)
            row_before = float(units(previous, name, applied, bias)[0]) if previous is not None else math.nan
            columns[name] = gaps.fill(values, fill, row_before)
        recorded = gaps.recorded
        tick = gaps.tick
        if not gaps.complete:
            lost = _spread(lost, recorded, np.int32, 0)
            fault = _spread(fault, recorded, bool, False)
    data = {"tick": tick}
    if rate is not None:
        data["time"] = tick / rate
    data.update(columns)
    data["lost_before"] = lost
    data["seq_fault"] = fault
    if fill is not None:
        data["filled"] = ~recorded
    frame = pandas.DataFrame(data, copy=False)
    frame.attrs.update(rate=rate, fill=fill, calibration=applied, gyro_bias=bias)
    return frame


def _spread(values, recorded, dtype, empty):
    """`values` at the recorded rows, `empty` at the added ones."""
    out = np.full(len(recorded), empty, dtype)
    out[recorded] = values
    return out


__all__ = ["Carry", "TimeLine", "steps_of", "carry_on", "time_line", "units", "Gaps", "physical_frame", "FILL_POLICIES",
           "AXIS_NAMES"]
