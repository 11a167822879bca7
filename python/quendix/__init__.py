"""Read quendix frame files straight into numpy: the converter's CSV rows,
its continuity report, and the frames themselves."""

from .recording import (DEFAULT_END_BLOCK, FRAME_DTYPE, SAMPLE_DTYPE, Recording,
                        read)

__all__ = ["read", "Recording", "SAMPLE_DTYPE", "FRAME_DTYPE", "DEFAULT_END_BLOCK"]
__version__ = "0.1.0"
