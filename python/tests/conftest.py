"""Shared helpers of the module's tests: smooth scenes moved by exact
sub-pixel amounts, and the batch program run on frames written as files."""

import csv
import os
import subprocess

import numpy as np
import pytest


def scene(h=128, w=144, seed=1):
    """A smooth random picture in 0..1 (detail of a few pixels)."""
    rng = np.random.default_rng(seed)
    f = np.fft.fft2(rng.standard_normal((h, w)))
    ky = np.fft.fftfreq(h)[:, None]
    kx = np.fft.fftfreq(w)[None, :]
    f *= np.exp(-(kx**2 + ky**2) * (2 * np.pi * 2.5) ** 2 / 2)
    return f


def moved(f, sx, sy):
    """The scene spectrum f moved sx columns right and sy rows down, as a picture in 0..1."""
    h, w = f.shape
    ky = np.fft.fftfreq(h)[:, None]
    kx = np.fft.fftfreq(w)[None, :]
    img = np.fft.ifft2(f * np.exp(-2j * np.pi * (kx * sx + ky * sy))).real
    return img


def frames_of(shifts, dtype=np.uint8, h=128, w=144, seed=1):
    """One frame per (sx, sy), scaled to the dtype's range (colour: channels
    of different gain)."""
    f = scene(h, w, seed)
    pics = [moved(f, sx, sy) for sx, sy in shifts]
    lo = min(p.min() for p in pics)
    hi = max(p.max() for p in pics)
    pics = [(p - lo) / (hi - lo) for p in pics]
    colour = isinstance(dtype, tuple)
    dt = np.dtype(dtype[0] if colour else dtype)
    top = {1: 255, 2: 4000}[dt.itemsize] if dt.kind == "u" else 1000.0
    out = []
    for p in pics:
        if colour:
            p = np.stack([p, 0.8 * p + 0.1, 0.6 * p + 0.3], axis=-1)
        v = p * top + (0 if dt.kind == "u" else -250.0)
        out.append(np.round(v).astype(dt) if dt.kind == "u" else v.astype(dt))
    return out


@pytest.fixture
def program():
    exe = os.environ.get("VANTOR_EXE")
    if not exe or not os.path.exists(exe):
        pytest.skip("VANTOR_EXE does not name the built program")

    def run(folder, *args):
        csv_path = os.path.join(folder, "out.csv")
        r = subprocess.run([exe, os.path.join(folder, "*.tif"), *args, "--csv=" + csv_path],
                           capture_output=True, text=True, timeout=300)
        assert r.returncode == 0, r.stderr
        with open(csv_path, newline="") as fh:
            # A mean or template reference is named in a comment line first.
            return list(csv.DictReader(line for line in fh if not line.startswith("#")))

    return run
