#!/usr/bin/env python3
"""Reads image files with independent readers and compares them with the
pixels the writer tests expect.

    writefile_check.py LIST

Each line of LIST names one check:

    READER FILE EXPECTED DTYPE HEIGHT WIDTH CHANNELS TOLERANCE

READER is tifffile or pil. EXPECTED holds the picture as raw little-endian
samples of DTYPE (uint8, uint16, int32, float64), top row first, channels red,
green, blue; 1-bit pictures are given as palette indices, one byte per pixel.
TOLERANCE is the largest difference allowed (lossy files). Exit status 0 when
every picture matches; each mismatch is printed on one line.
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


def check(reader, path, expected, dtype, height, width, channels, tolerance):
    shape = (int(height), int(width))
    if int(channels) > 1:
        shape += (int(channels),)
    want = np.fromfile(expected, dtype=np.dtype(dtype).newbyteorder("<")).reshape(shape)
    try:
        got = read(reader, path)
    except Exception as e:  # the reader refused the file
        return f"{path}: {reader}: {e}"
    if got.dtype == bool:
        got = got.astype(np.uint8)
    if got.shape != want.shape:
        return f"{path}: {reader}: shape {got.shape}, expected {want.shape}"
    diff = np.abs(got.astype(np.float64) - want.astype(np.float64))
    if diff.max(initial=0) > float(tolerance):
        at = np.unravel_index(np.argmax(diff), diff.shape)
        return f"{path}: {reader}: pixel {at} is {got[at]}, expected {want[at]} (dtype {got.dtype})"
    return None


def main():
    failures = 0
    with open(sys.argv[1]) as f:
        for line in f:
            if line.strip():
                problem = check(*line.split())
                if problem:
                    print(problem)
                    failures += 1
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
