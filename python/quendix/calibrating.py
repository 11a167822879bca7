"""A recording's calibration fitted from its file in one pass: the still
windows found as the quality table finds them, a piece at a time."""

import operator

from .calibration import fit
from .quality import QUALITY_PIECE_FRAMES, Quality
from .recording import DEFAULT_END_BLOCK, FRAME_MAGIC, FRAME_WORDS, FrameFile, check_end_block


def calibrate(source, end_block=DEFAULT_END_BLOCK, frames=QUALITY_PIECE_FRAMES):
    """Fits the accelerometer's calibration of the recording `source` from
    the windows where it lay still.

    Parameters
    ----------
    source : path or binary file object
        The recording, as read() takes it.
    end_block : int
        Checked as read() checks it; the calibration does not depend on it.
    frames : int
        Frames read at a time (at least 1); the calibration does not
        depend on it.

    Returns
    -------
    Calibration
        `offset` (g) and `scale` per accelerometer axis, in the model
        calibrated = (raw - offset) * scale; `gyro_bias` (degrees per
        second); `points`, the still windows (900 rows from the first row,
        each accelerometer axis's standard deviation below 13 mg) it rests
        on; `error_before` and `error_after` (mg); `applied` and `reason`.
        See quendix.Calibration and the guide (docs/python.md).

    The file is read once, in pieces of about 1 MiB, in the bounded memory
    of summary(quality=True): only the sums of the still windows (48 bytes
    a window) are kept. The points are whole-number sums, so the
    coefficients are the same bit for bit however the file is read.

    Raises
    ------
    OSError
        As read() does, for a file that cannot be read.
    ValueError, TypeError
        For an `end_block` that read() refuses, or `frames` below 1.

    Examples
    --------
    >>> calibration = quendix.calibrate("day1.qvx")        # doctest: +SKIP
    >>> calibration.applied, calibration.error_after       # doctest: +SKIP
    (True, 2.1)
    """
    check_end_block(end_block)
    piece_frames = operator.index(frames)
    if piece_frames < 1:
        raise ValueError("frames must be at least 1, not %d" % piece_frames)
    accumulator = Quality(keep_still_sums=True)
    with FrameFile(source) as source_file:
        for data, _ in source_file.pieces(piece_frames):
            words = data.view("<u2").reshape(-1, FRAME_WORDS)
            accumulator.add_frames(words, words[:, 0] == FRAME_MAGIC)
    return fit(*accumulator.still_window_sums())


__all__ = ["calibrate"]
