"""Read quendix frame files straight into numpy: the converter's CSV rows,
its continuity report, and the frames themselves; one recording at once or
piece by piece, and a whole campaign of them."""

from pathlib import Path as _Path

from .calibrating import calibrate
from .calibration import CALIBRATION_COLUMNS, Calibration
from .epochs import EPOCH_COLUMNS, epochs, epochs_dask
from .export import export
from .page import report
from .quality import QUALITY_COLUMNS, THRESHOLDS
from .quicklook import plot
from .recording import (DEFAULT_END_BLOCK, FRAME_DTYPE, SAMPLE_DTYPE, Recording, read,
                        read_chunks)
from .summary import SUMMARY_COLUMNS, summary, to_dask
from .walk import recordings

__all__ = ["read", "read_chunks", "summary", "to_dask", "recordings", "plot", "calibrate", "report",
           "Recording", "Calibration", "SAMPLE_DTYPE", "FRAME_DTYPE", "DEFAULT_END_BLOCK", "SUMMARY_COLUMNS",
           "QUALITY_COLUMNS", "CALIBRATION_COLUMNS", "THRESHOLDS", "epochs", "epochs_dask", "export",
           "EPOCH_COLUMNS"]
# Kept in one file for the converter, its Debian package and this package.
__version__ = _Path(__file__).with_name("VERSION").read_text(encoding="ascii").strip()
