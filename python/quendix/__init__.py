"""Read quendix frame files straight into numpy: the converter's CSV rows,
its continuity report, and the frames themselves; one recording at once or
piece by piece, and a whole campaign of them."""

from .campaign import SUMMARY_COLUMNS, recordings, summary, to_dask
from .quality import QUALITY_COLUMNS, THRESHOLDS
from .quicklook import plot
from .recording import (DEFAULT_END_BLOCK, FRAME_DTYPE, SAMPLE_DTYPE, Recording, read,
                        read_chunks)

__all__ = ["read", "read_chunks", "summary", "to_dask", "recordings", "plot", "Recording",
           "SAMPLE_DTYPE", "FRAME_DTYPE", "DEFAULT_END_BLOCK", "SUMMARY_COLUMNS",
           "QUALITY_COLUMNS", "THRESHOLDS"]
__version__ = "0.2.0"
