#!/usr/bin/env python3
"""Reads an image file with an independent reader and compares it with the
pixels the writer test expects.

    writefile_check.py READER FILE EXPECTED DTYPE HEIGHT WIDTH [CHANNELS] [TOLERANCE]

READER is tifffile or pil. EXPECTED holds the picture as raw little-endian
samples of DTYPE (uint8, uint16, int32), top row first, channels red, green,
blue; 1-bit pictures are given as palette indices, one byte per pixel.
TOLERANCE (default 0) is the largest difference allowed (lossy files).
Exit status 0 when the picture matches; the reason otherwise.
"""
import sys

import numpy as np


def read(reader, path):
    if reader == "tifffile":
        import tifffile
        return np.asarray(tifffile.imread(path))
    from PIL import Image
    with Image.open(path) as im:
        im.load()
        if im.mode == "1":
            # Two-colour pictures come back as colours: map them to indices
            # through the palette the file holds (white, black).
            return np.where(np.asarray(im), 0, 1).astype(np.uint8)
        return np.asarray(im)


def main():
    reader, path, expected, dtype, height, width = sys.argv[1:7]
    shape = (int(height), int(width))
    if len(sys.argv) > 7 and int(sys.argv[7]) > 1:
        shape += (int(sys.argv[7]),)
    tolerance = float(sys.argv[8]) if len(sys.argv) > 8 else 0.0
    want = np.fromfile(expected, dtype=np.dtype(dtype).newbyteorder("<")).reshape(shape)
    got = read(reader, path)
    if got.dtype == bool:
        got = got.astype(np.uint8)
    if got.shape != want.shape:
        print(f"shape {got.shape}, expected {want.shape}")
        return 1
    diff = np.abs(got.astype(np.float64) - want.astype(np.float64))
    if diff.max(initial=0) > tolerance:
        at = np.unravel_index(np.argmax(diff), diff.shape)
        print(f"pixel {at}: {got[at]} instead of {want[at]} ({reader}, dtype {got.dtype})")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
