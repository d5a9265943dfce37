"""Sub-pixel drift measurement of image sequences.

Frames are numpy arrays, row 0 the top of the picture: 2-D grey (uint8,
uint16, float32, float64) or (height, width, 3) colour of uint8 or uint16.

    register(reference, image)   -> Registration(dx, dy, distance, quality)
    measure(frames, mode=...)    -> structured array, one row per frame
    align(frames, shifts)        -> the frames moved onto the first
    read(path, page=1)           -> a file's pixels; page_count(path)

dx counts columns to the right and dy rows down: a feature at (x, y) of a
frame lies at (x + dx, y + dy) of its reference.
"""

from vantor._core import (
    Registration,
    __version__,
    align,
    measure,
    page_count,
    read,
    register,
)

__all__ = ["Registration", "align", "measure", "page_count", "read", "register", "__version__"]
