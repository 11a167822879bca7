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


def units(samples, calibration=None, gyro_bias=None):
    """The six axes of `samples` in physical units, as float64 arrays in a
    dict: AX, AY, AZ in g (counts x 2^-13, exactly counts / 8192), then
    through the Calibration `calibration` when given, (raw - offset) *
    scale; GX, GY, GZ in degrees per second (counts / 65.536), less
    `gyro_bias` (three floats) when given."""
    columns = {}
    count = len(samples)
    for axis, name in enumerate(ACCELEROMETER_AXES):
        values = np.multiply(samples[name], ACCELEROMETER_UNIT, out=np.empty(count))
        if calibration is not None:
            calibration.apply_accelerometer(axis, values, out=values)
        columns[name] = values
    for axis, name in enumerate(GYROSCOPE_AXES):
        values = np.divide(samples[name], GYROSCOPE_COUNTS, out=np.empty(count))
        if gyro_bias is not None:
            np.subtract(values, gyro_bias[axis], out=values)
        columns[name] = values
    return columns


def fill_gaps(tick, columns, policy, before_tick=None, before_values=None):
    """Adds a row for every lost tick between the recorded rows `tick`, and
    between the row before (at `before_tick`, its values `before_values`,
    a dict of floats, when the rows carry on from another piece) and the
    first. Returns the full tick (int64), the row each comes from (-1 for
    an added row) and the filled columns (a dict like `columns`):
      "nan"     NaN in the added rows
      "hold"    the last recorded value before them
      "linear"  a + (b - a) * ((t - t0) / (t1 - t0)) at tick t, between the
                recorded rows at t0 (value a) and t1 (value b) on either side
    The added rows of a gap belong to the piece of the row after it."""
    if policy not in FILL_POLICIES[1:]:
        raise ValueError("fill must be None, \"nan\", \"hold\" or \"linear\", not %r" % (policy,))
    count = len(tick)
    if count == 0:
        return tick, np.empty(0, np.int64), columns
    start = before_tick + 1 if before_tick is not None else int(tick[0])
    total = int(tick[-1]) - start + 1
    full = np.arange(start, start + total, dtype=np.int64)
    source = np.full(total, -1, np.int64)
    source[tick - start] = np.arange(count)
    if total == count:
        return full, source, columns
    added = source < 0
    out = {}
    if policy == "nan":
        for name, values in columns.items():
            filled = np.full(total, math.nan)
            filled[tick - start] = values
            out[name] = filled
        return full, source, out
    # The recorded row at or before each tick: -1 for the row before the
    # piece, which only added rows at the start can have.
    position = np.where(added, -1, np.arange(total))
    np.maximum.accumulate(position, out=position)
    left = position[added]  # an index into `full`, or -1
    left_row = np.where(left >= 0, source[np.maximum(left, 0)], -1)
    if policy == "linear":
        # The recorded row after each added tick: the next one with a row.
        after = np.where(added, total, np.arange(total))
        after = np.minimum.accumulate(after[::-1])[::-1]
        right_row = source[after[added]]
        t0 = np.where(left >= 0, full[np.maximum(left, 0)], start - 1).astype(np.float64)
        t1 = tick[right_row].astype(np.float64)
        share = (full[added] - t0) / (t1 - t0)
    for name, values in columns.items():
        filled = np.empty(total)
        filled[tick - start] = values
        before = before_values[name] if before_values is not None else math.nan
        a = np.where(left_row >= 0, values[np.maximum(left_row, 0)], before)
        if policy == "hold":
            filled[added] = a
        else:
            b = values[right_row]
            filled[added] = a + (b - a) * share
        out[name] = filled
    return full, source, out


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
    columns = units(samples, applied, bias)
    if fill is not None:
        before_tick = before_values = None
        if before is not None:
            before_tick = before.tick
            raw = np.zeros(1, [(name, "<i2") for name in AXIS_NAMES])
            for name, value in zip(AXIS_NAMES, before.counts):
                raw[name] = value
            before_values = {name: float(values[0]) for name, values in units(raw, applied, bias).items()}
        tick, source, columns = fill_gaps(tick, columns, fill, before_tick, before_values)
        added = source < 0
        if added.any():
            lost = _spread(lost, source, added, np.int32, 0)
            fault = _spread(fault, source, added, bool, False)
    data = {"tick": tick}
    if rate is not None:
        data["time"] = tick / rate
    data.update(columns)
    data["lost_before"] = lost
    data["seq_fault"] = fault
    if fill is not None:
        data["filled"] = source < 0
    frame = pandas.DataFrame(data, copy=False)
    frame.attrs.update(rate=rate, fill=fill, calibration=applied, gyro_bias=bias)
    return frame


def _spread(values, source, added, dtype, empty):
    out = np.full(len(source), empty, dtype)
    out[~added] = values
    return out


__all__ = ["Carry", "TimeLine", "steps_of", "carry_on", "time_line", "units", "fill_gaps", "physical_frame", "FILL_POLICIES",
           "AXIS_NAMES"]
