"""The accelerometer's calibration from the windows where the sensor lay
still: the points, the fit of an offset and a scale per axis, and the
Calibration that holds them with their diagnostics; the gyroscope's bias
from the same windows.

A point is the mean accelerometer vector, in g, of a still window: one of
the consecutive windows of WINDOW_ROWS rows from a recording's first row
(a last, shorter one is not a window) where AX, AY and AZ each have a
population standard deviation below 13 mg. The windows are those of the
quality table; their sums are whole numbers, exact whatever pieces the
file was read in, and the fit runs on them in float64 in one fixed order,
so that a recording's coefficients are the same bit for bit however it
was read. This module needs numpy alone; calibrating.calibrate reads a
file for it.

For the modules that build on the calibration (epochs, exports): a
Calibration is a small picklable value; `apply_accelerometer(counts)`
turns raw counts (AX, AY, AZ) into calibrated g and `calibration_columns`
gives its summary columns.
"""

import dataclasses
import math

import numpy as np

# Raw counts to one g, and to one degree per second.
ACCELEROMETER_COUNTS = 8192
GYROSCOPE_COUNTS = 65.536
ACCELEROMETER_UNIT = 2.0 ** -13  # g per count, exactly 1 / 8192

WINDOW_ROWS = 900
# Still: 100 * (n * sum(x^2) - sum(x)^2) < (0.013 * 8192 * 900 * 10)^2, the
# standard deviation below 13 mg in whole numbers, as the quality table has it.
STILL_BOUND = 958464 ** 2

# The fit: at most this many iterations, ending once no coefficient changes
# by COEFFICIENT_CHANGE or more; a point's weight is 1 / its residual (in g),
# at most MOST_WEIGHT.
MOST_ITERATIONS = 1000
COEFFICIENT_CHANGE = 1e-10
MOST_WEIGHT = 100.0
# Applied only when there are MIN_POINTS points or more, every axis has one
# below -COVERAGE g and one above +COVERAGE g, and the error after is below
# ERROR_LIMIT mg and below the error before.
MIN_POINTS = 10
COVERAGE = 0.3
ERROR_LIMIT = 10.0
AXIS_NAMES = ("AX", "AY", "AZ")

# The summary's calibration columns, with their types in its table.
CALIBRATION_COLUMN_TYPES = {"calibration_points": "Int64", "calibration_error_before": "float64",
                            "calibration_error_after": "float64", "calibrated": "boolean",
                            "calibration_reason": "object"}
CALIBRATION_COLUMNS = tuple(CALIBRATION_COLUMN_TYPES)

_NAN3 = (math.nan, math.nan, math.nan)


@dataclasses.dataclass(frozen=True)
class Calibration:
    """A recording's calibration and what it rests on.

    The model is ``calibrated = (raw - offset) * scale`` per axis, raw and
    calibrated in g.

    Attributes
    ----------
    offset : tuple of 3 float
        Offset of AX, AY, AZ, in g.
    scale : tuple of 3 float
        Scale of AX, AY, AZ (no unit).
    gyro_bias : tuple of 3 float
        Mean angular rate of GX, GY, GZ over the still windows, in degrees
        per second; NaN without a still window.
    points : int
        The still windows the fit rests on.
    error_before : float
        Mean over the points of | |point| - 1 g |, in mg; NaN without a point.
    error_after : float
        The same of the calibrated points, in mg: with the fitted
        coefficients, or with offset 0 and scale 1 when no fit was made
        (too few points, orientations not covered); NaN without a point.
    applied : bool
        Whether the calibration is applied: the points cover the sphere and
        the error after is below 10 mg and below the error before.
    reason : str
        Why it is not applied, in words; "" when it is.
    """

    offset: tuple = (0.0, 0.0, 0.0)
    scale: tuple = (1.0, 1.0, 1.0)
    gyro_bias: tuple = _NAN3
    points: int = 0
    error_before: float = math.nan
    error_after: float = math.nan
    applied: bool = False
    reason: str = ""

    def apply_accelerometer(self, axis, values, out=None):
        """``(values - offset) * scale`` of the accelerometer axis `axis`
        (0, 1, 2 for AX, AY, AZ), `values` in g (float64); into `out`
        when given. Applies the coefficients whether or not `applied`."""
        out = np.subtract(values, self.offset[axis], out=out)
        return np.multiply(out, self.scale[axis], out=out)

    def to_dict(self):
        """The fields as a dict of plain values (lists, floats, NaN as None),
        ready for json.dumps; from_dict() reads it back."""
        def plain(value):
            return None if isinstance(value, float) and math.isnan(value) else value
        return {"offset": list(self.offset), "scale": list(self.scale),
                "gyro_bias": [plain(v) for v in self.gyro_bias], "points": self.points,
                "error_before": plain(self.error_before), "error_after": plain(self.error_after),
                "applied": self.applied, "reason": self.reason}

    @classmethod
    def from_dict(cls, fields):
        """The Calibration of a dict that to_dict() made (say, read back from
        a JSON file), to apply one recording's calibration to another's."""
        def number(value):
            return math.nan if value is None else float(value)
        return cls(offset=tuple(float(v) for v in fields["offset"]),
                   scale=tuple(float(v) for v in fields["scale"]),
                   gyro_bias=tuple(number(v) for v in fields["gyro_bias"]),
                   points=int(fields["points"]), error_before=number(fields["error_before"]),
                   error_after=number(fields["error_after"]), applied=bool(fields["applied"]),
                   reason=str(fields["reason"]))


def calibration_columns(calibration):
    """The summary's calibration columns of `calibration`, as a dict."""
    return {"calibration_points": calibration.points,
            "calibration_error_before": calibration.error_before,
            "calibration_error_after": calibration.error_after,
            "calibrated": calibration.applied, "calibration_reason": calibration.reason}


def still_window_sums(axes):
    """The sums of the still windows of the rows `axes` (six rows of
    counts, AX to GZ, one column per row of a whole recording): two int64
    arrays of one row per still window, in file order, the accelerometer's
    three sums and the gyroscope's. Whole-array, a stretch of windows at a
    time; the same windows as the quality table's."""
    axes = np.asarray(axes)
    windows = axes.shape[1] // WINDOW_ROWS
    accelerometer, gyroscope = [], []
    stretch = 4096
    for first in range(0, windows, stretch):
        count = min(stretch, windows - first)
        part = axes[:, first * WINDOW_ROWS:(first + count) * WINDOW_ROWS].astype(np.int64)
        part = part.reshape(6, count, WINDOW_ROWS)
        sums = part.sum(axis=2)
        squares = np.einsum("akn,akn->ak", part[:3], part[:3])
        spread = WINDOW_ROWS * squares - sums[:3] * sums[:3]
        still = (100 * spread < STILL_BOUND).all(axis=0)
        accelerometer.append(sums[:3, still].T)
        gyroscope.append(sums[3:, still].T)
    if not accelerometer:
        return np.empty((0, 3), np.int64), np.empty((0, 3), np.int64)
    return np.concatenate(accelerometer), np.concatenate(gyroscope)


def points_of(accelerometer_sums):
    """The points, in g, of the still windows' accelerometer sums: the
    window's mean counts, divided by 8192 (float64, one row per point)."""
    sums = np.asarray(accelerometer_sums, np.int64).reshape(-1, 3)
    return sums.astype(np.float64) / float(WINDOW_ROWS) * ACCELEROMETER_UNIT


def gyro_bias_of(gyroscope_sums):
    """The mean angular rate per axis over the still windows, in degrees
    per second, from their gyroscope sums; NaN without a window."""
    sums = np.asarray(gyroscope_sums, np.int64).reshape(-1, 3)
    if len(sums) == 0:
        return _NAN3
    # Whole numbers: the total is exact, in whatever order it was added.
    totals = sums.sum(axis=0)
    return tuple(float(t) / float(WINDOW_ROWS * len(sums)) / GYROSCOPE_COUNTS for t in totals)


def sphere_error(points):
    """Mean over `points` (g, one row each) of | |point| - 1 |, in mg; NaN
    without a point."""
    if len(points) == 0:
        return math.nan
    return 1000.0 * float(np.mean(np.abs(np.sqrt(np.sum(points * points, axis=1)) - 1.0)))


def fit(accelerometer_sums, gyroscope_sums):
    """The Calibration of the still windows whose sums (int64, a row of
    three per window, in file order) are given: see Calibration.

    The points are fitted by iteratively reweighted least squares: each
    iteration takes the calibrated points' closest points on the unit
    sphere (the points scaled to length 1) and fits, axis by axis, the
    straight line from the raw point to them, weighted; a point's next
    weight is min(1 / r, 100), r the distance (g) between its calibrated
    point and its closest point. The weights start at 1, the coefficients
    at offset 0 and scale 1. At most 1000 iterations; the fit stops once
    no coefficient changes by 1e-10 or more. float64 throughout, in one
    fixed order: the same sums give the same coefficients bit for bit.
    """
    points = points_of(accelerometer_sums)
    gyro_bias = gyro_bias_of(gyroscope_sums)
    count = len(points)
    before = sphere_error(points)
    unfitted = dict(gyro_bias=gyro_bias, points=count, error_before=before, error_after=before,
                    applied=False)
    if count < MIN_POINTS:
        return Calibration(reason="too few points: %d still windows, at least %d needed"
                           % (count, MIN_POINTS), **unfitted)
    missing = []
    for axis, name in enumerate(AXIS_NAMES):
        if not (points[:, axis] < -COVERAGE).any():
            missing.append("no point below -%.1f g on %s" % (COVERAGE, name))
        if not (points[:, axis] > COVERAGE).any():
            missing.append("no point above +%.1f g on %s" % (COVERAGE, name))
    if missing:
        return Calibration(reason="orientations not covered: " + ", ".join(missing), **unfitted)
    offset, scale = sphere_fit(points)
    if not (np.isfinite(offset).all() and np.isfinite(scale).all()):
        return Calibration(reason="no improvement: the fit did not converge", **unfitted)
    after = sphere_error((points - offset) * scale)
    if not after < before:
        reason = "no improvement: error after %.1f mg, before %.1f mg" % (after, before)
    elif not after < ERROR_LIMIT:
        reason = "error after %.1f mg, not below %g mg" % (after, ERROR_LIMIT)
    else:
        reason = ""
    return Calibration(offset=tuple(float(v) for v in offset), scale=tuple(float(v) for v in scale),
                       gyro_bias=gyro_bias, points=count, error_before=before, error_after=after,
                       applied=not reason, reason=reason)


def sphere_fit(points):
    """The offset and scale (two float64 arrays of three) that bring
    `points` (g, one row each) closest to the unit sphere: see fit()."""
    count = len(points)
    columns = np.ascontiguousarray(points.T)  # one row per axis
    weights = np.ones(count)
    offset = np.zeros(3)
    scale = np.ones(3)
    calibrated = np.empty_like(columns)
    with np.errstate(divide="ignore", invalid="ignore"):
        for _ in range(MOST_ITERATIONS):
            np.subtract(columns, offset[:, None], out=calibrated)
            np.multiply(calibrated, scale[:, None], out=calibrated)
            length = np.sqrt(np.sum(calibrated * calibrated, axis=0))
            target = calibrated / length
            total = np.sum(weights)
            new_offset = np.empty(3)
            new_scale = np.empty(3)
            for axis in range(3):
                x, y = columns[axis], target[axis]
                mean_x = np.sum(weights * x) / total
                mean_y = np.sum(weights * y) / total
                dx = x - mean_x
                slope = np.sum(weights * dx * (y - mean_y)) / np.sum(weights * dx * dx)
                intercept = mean_y - slope * mean_x
                new_scale[axis] = slope
                new_offset[axis] = -intercept / slope
            np.subtract(columns, new_offset[:, None], out=calibrated)
            np.multiply(calibrated, new_scale[:, None], out=calibrated)
            residual = np.sqrt(np.sum((calibrated - target) ** 2, axis=0))
            weights = np.minimum(1.0 / residual, MOST_WEIGHT)
            change = max(np.max(np.abs(new_offset - offset)), np.max(np.abs(new_scale - scale)))
            offset, scale = new_offset, new_scale
            if not change >= COEFFICIENT_CHANGE:
                break
    return offset, scale


__all__ = ["Calibration", "CALIBRATION_COLUMNS", "CALIBRATION_COLUMN_TYPES", "calibration_columns",
           "still_window_sums", "points_of", "gyro_bias_of", "sphere_error", "fit", "sphere_fit"]
