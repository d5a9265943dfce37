#!/usr/bin/python3
"""Accuracy and speed of the drift measurement on realistic sequences.

Makes sequences from real photographs (the star field and the low-contrast
cell of the shared samples), displaced exactly by a Fourier shift of a mirrored
base along a random walk with jumps of 10 to 40 pixels, with Gaussian noise,
in 8-bit, 16-bit (12-bit data) and colour, some with bright objects moving
over the drifting picture and one blurred frame. Each sequence is measured in
both modes by the program's default method, --classic and --precise, and by
phase correlation (scikit-image, upsample factor 20, on the central half), all
in one run, and the errors against the truth are printed unrounded.

Then the troubles of real cameras and microscopes, one sequence each (TROUBLES):
12-bit data in 16-bit files with differing maxima, hot pixels and a warm column;
vignetting and dust; automatic exposure; bleaching with flicker; photon-limited
beads (with the Cramer-Rao bound of a pair); cosmic rays and satellite trails;
float32 frames with dead NaN clusters; black and uniform frames put in (the
right answer there is `failed`); people walking before a camera that is knocked
once; a sparse star field with jumps of 60 pixels (alone, and with cosmic-ray
hits and satellite trails); a steady drift of a third of
the frame. Each is measured in both modes by the program's search and precise
methods (METHODS), phase correlation and OpenCV's ECC (translation, from
identity, on the central half), and printed as a Markdown table: RMS (of the x and y
errors) and worst frame error (length of the error) over the measurable frames
a method did not fail, frames more than 0.5 pixel off that are marked ok,
unmeasurable frames not marked failed, frames/s; measurable frames failed are
noted as lost.

    bench/accuracy.py [--build DIR] [--samples DIR] [--quick] [--keep DIR] [--repeat N]
                      [--troubles] [--only NAMES] [--methods NAMES] [--motion]

With --motion the rotation and scale sequences of motion.py follow in the
same run (turns, scales and jumps beside OpenCV's ECC, Euclidean and affine).

The program's runs and the load-only floor are timed as the best of N runs
(3 unless told): one run of a fraction of a second is at the mercy of the
machine's other work.
"""
import argparse
import csv
import math
import os
import subprocess
import sys
import tempfile
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
import numpy as np  # noqa: E402
import tifffile  # noqa: E402
from PIL import Image  # noqa: E402


def load_photo(path):
    img = np.asarray(Image.open(path)).astype(np.float64)
    return img


def magnified(photo, factor):
    """Band-limited magnification by an integer factor (Fourier zero padding)."""
    if factor == 1:
        return photo
    if photo.ndim == 3:
        return np.stack([magnified(photo[..., c], factor) for c in range(photo.shape[2])], -1)
    h, w = photo.shape
    spectrum = np.fft.fftshift(np.fft.fft2(photo))
    big = np.zeros((h * factor, w * factor), complex)
    y0, x0 = (h * factor - h) // 2, (w * factor - w) // 2
    big[y0:y0 + h, x0:x0 + w] = spectrum
    return np.real(np.fft.ifft2(np.fft.ifftshift(big))) * factor * factor


def fourier_shift(region, sy, sx):
    """region shifted by (sy, sx) pixels (content moves down and right)."""
    h, w = region.shape[:2]
    fy = np.fft.fftfreq(h)[:, None]
    fx = np.fft.fftfreq(w)[None, :]
    ramp = np.exp(-2j * np.pi * (fy * sy + fx * sx))
    if region.ndim == 3:
        return np.stack([fourier_shift(region[..., c], sy, sx) for c in range(region.shape[2])], -1)
    return np.real(np.fft.ifft2(np.fft.fft2(region) * ramp))


def blur(img, sigma):
    if img.ndim == 3:
        return np.stack([blur(img[..., c], sigma) for c in range(img.shape[2])], -1)
    h, w = img.shape
    fy = np.fft.fftfreq(h)[:, None]
    fx = np.fft.fftfreq(w)[None, :]
    g = np.exp(-2 * np.pi ** 2 * sigma ** 2 * (fy ** 2 + fx ** 2))
    return np.real(np.fft.ifft2(np.fft.fft2(img) * g))


def walk(rng, frames, size, jumps, jump=(10, 40)):
    """Content displacement (y, x) of every frame: a random walk with jumps."""
    limit = 0.2 * size
    while True:
        steps = rng.normal(0, 0.6, (frames, 2))
        steps[0] = 0
        at = rng.choice(np.arange(2, frames), size=jumps, replace=False)
        for k in at:
            ang = rng.uniform(0, 2 * np.pi)
            steps[k] += rng.uniform(*jump) * np.array([math.sin(ang), math.cos(ang)])
        pos = np.cumsum(steps, axis=0) + rng.uniform(-0.5, 0.5, 2)
        if np.all(np.abs(pos - pos[0]) < limit):
            return pos


def make_sequence(folder, photo, size, frames, noise, depth, rng, movers=0, blurred=None,
                  magnify=1, jumps=3, centre=(0.5, 0.5)):
    """Writes the frames and returns the content displacement of each."""
    os.makedirs(folder, exist_ok=True)
    base = magnified(photo, magnify)
    pos = walk(rng, frames, size, jumps)
    margin = int(np.max(np.abs(pos))) + 40
    pad = ((margin + size, margin + size), (margin + size, margin + size)) + (((0, 0),) if base.ndim == 3 else ())
    base = np.pad(base, pad, mode="symmetric")
    cy = margin + size + int(centre[0] * photo.shape[0] * magnify)
    cx = margin + size + int(centre[1] * photo.shape[1] * magnify)
    scale = 16.0 if depth == 16 else 1.0
    top = 4095.0 if depth == 16 else 255.0
    # Bright objects with their own motion (cells crawling, people walking).
    mover_pos = rng.uniform(0.3 * size, 0.7 * size, (movers, 2))
    mover_vel = rng.normal(0, 3.0, (movers, 2))
    yy, xx = np.mgrid[0:size, 0:size]
    for k in range(frames):
        sy, sx = pos[k]
        iy, ix = int(math.floor(sy)), int(math.floor(sx))
        fy, fx = sy - iy, sx - ix
        y0 = cy - size // 2 - 16 - iy
        x0 = cx - size // 2 - 16 - ix
        region = base[y0:y0 + size + 32, x0:x0 + size + 32]
        frame = fourier_shift(region, fy, fx)[16:16 + size, 16:16 + size]
        frame = frame * scale
        for m in range(movers):
            p = mover_pos[m] + mover_vel[m] * k
            spot = 90 * scale * np.exp(-((yy - p[0]) ** 2 + (xx - p[1]) ** 2) / (2 * 12.0 ** 2))
            frame = frame + (spot[..., None] if frame.ndim == 3 else spot)
        if blurred is not None and k == blurred:  # out of focus
            frame = blur(frame, 4.0)
        frame = frame + rng.normal(0, noise * scale, frame.shape)
        frame = np.clip(np.rint(frame), 0, top)
        data = frame.astype(np.uint16 if depth == 16 else np.uint8)
        tifffile.imwrite(os.path.join(folder, "f%03d.tif" % (k + 1)), data,
                         photometric="rgb" if data.ndim == 3 else "minisblack")
    return pos


def truth_table(pos, mode):
    """DX, DY in the table's convention (DY upward) for every frame."""
    d = np.zeros_like(pos)
    if mode == 1:
        rel = pos - pos[0]
    else:
        rel = np.vstack([[0, 0], pos[1:] - pos[:-1]])
    d[:, 0] = -rel[:, 1]
    d[:, 1] = rel[:, 0]
    return d


def best_time(run, repeat):
    """The shortest wall time of repeat calls of run()."""
    best = None
    for _ in range(repeat):
        t0 = time.perf_counter()
        run()
        dt = time.perf_counter() - t0
        best = dt if best is None else min(best, dt)
    return best


# The program's methods: name -> its options, for a program without --search
# and for one with it (there the precise method is the default).
METHODS = {"default": [], "search": [], "classic": ["--classic"], "precise": ["--precise"]}
METHODS_WITH_SEARCH = {"default": [], "search": ["--search"], "classic": ["--classic"],
                       "precise": []}


def program_methods(build):
    """The METHODS table that fits the built program, told by its --help."""
    p = subprocess.run([os.path.join(build, "vantor"), "--help"], capture_output=True, text=True)
    return METHODS_WITH_SEARCH if "--search" in p.stdout else METHODS


def run_vantor(build, folder, mode, extra, repeat):
    """Per frame (dx, dy), (dx_first, dy_first) and quality, and the best time."""
    out = os.path.join(folder, "out.csv")
    def once():
        p = subprocess.run([os.path.join(build, "vantor"), folder, str(mode), "--threads=1",
                            "--csv=" + out] + extra, capture_output=True, text=True)
        if p.returncode != 0:
            raise RuntimeError("vantor failed: " + p.stderr)

    t = best_time(once, repeat)
    rows = list(csv.DictReader(open(out)))
    d = np.array([[float(r["dx"]), float(r["dy"])] for r in rows])
    d_first = np.array([[float(r["dx_first"]), float(r["dy_first"])] for r in rows])
    q = [r["quality"] for r in rows]
    run_vantor.sigma = np.array([float(r["sigma"]) if r.get("sigma") else np.nan for r in rows])
    return d, d_first, q, t


def run_load_only(build, folder, frames, repeat):
    files = [os.path.join(folder, "f%03d.tif" % (k + 1)) for k in range(frames)]
    return best_time(lambda: subprocess.run([os.path.join(build, "load_frames")] + files,
                                            check=True), repeat)


def run_phase_correlation(folder, frames, mode):
    from skimage.registration import phase_cross_correlation
    t0 = time.perf_counter()
    d = np.zeros((frames, 2))
    ref = None
    first = None
    for k in range(frames):
        img = tifffile.imread(os.path.join(folder, "f%03d.tif" % (k + 1))).astype(np.float64)
        if img.ndim == 3:
            img = img.mean(axis=2)
        h, w = img.shape
        c = img[h // 4:h // 4 + h // 2, w // 4:w // 4 + w // 2]
        if k == 0:
            first = c
        else:
            r = first if mode == 1 else ref
            s, _, _ = phase_cross_correlation(r, c, upsample_factor=20)
            d[k] = [s[1], -s[0]]
        ref = c
    return d, time.perf_counter() - t0


def stats(est, truth):
    e = est[1:] - truth[1:]
    err = np.hypot(e[:, 0], e[:, 1])
    rms = math.sqrt(np.mean(e ** 2))
    return rms, float(np.max(np.abs(e))), int(np.sum(err > 0.15))


# Where the cell lies in its photograph (row, column fractions): the frames
# are centred just left of it, so the central half holds cell and background.
CELL_CENTRE = (374 / 660, 369 / 550)


# Troubles of real cameras and microscopes: each maker writes its frames into
# a folder and returns the content displacement (rows, columns) of every frame,
# which frames were put in that show nothing (black or uniform) and, for the
# photon-limited beads, the Cramer-Rao bound of every pair.

def scene(base, pos, size, centre, gradient=False):
    """Yields for every displacement of pos the size x size window of base about
    centre (row, column of base), its content moved by a Fourier shift of base
    mirrored at its edges; with gradient, also its d/drow and d/dcolumn."""
    margin = int(np.max(np.abs(pos))) + 40
    pad = ((margin + size, margin + size), (margin + size, margin + size))
    big = np.pad(base, pad + (((0, 0),) if base.ndim == 3 else ()), mode="symmetric")
    cy, cx = margin + size + int(centre[0]), margin + size + int(centre[1])
    n = size + 32
    fy = np.fft.fftfreq(n)[:, None]
    fx = np.fft.fftfreq(n)[None, :]
    for sy, sx in pos:
        iy, ix = int(math.floor(sy)), int(math.floor(sx))
        y0 = cy - size // 2 - 16 - iy
        x0 = cx - size // 2 - 16 - ix
        region = big[y0:y0 + n, x0:x0 + n]
        if not gradient:
            yield fourier_shift(region, sy - iy, sx - ix)[16:16 + size, 16:16 + size]
            continue
        spectrum = np.fft.fft2(region) * np.exp(-2j * np.pi * (fy * (sy - iy) + fx * (sx - ix)))
        yield tuple(np.real(np.fft.ifft2(spectrum * k))[16:16 + size, 16:16 + size]
                    for k in (1, 2j * np.pi * fy, 2j * np.pi * fx))


def gaussian_spots(shape, at, peak, sigma):
    """Gaussian spots (band-limited enough for a Fourier shift) at (row, column)."""
    img = np.zeros(shape)
    r = int(4 * sigma) + 1
    g = np.arange(-r, r + 1)
    for (y, x), p in zip(at, peak):
        iy, ix = int(round(y)), int(round(x))
        if r <= iy < shape[0] - r and r <= ix < shape[1] - r:
            img[iy - r:iy + r + 1, ix - r:ix + r + 1] += p * np.exp(
                -((g[:, None] + iy - y) ** 2 + (g[None, :] + ix - x) ** 2) / (2 * sigma ** 2))
    return img


def disc(shape, y, x, radius, soft=1.0):
    """A disc of value 1 with a soft edge."""
    yy, xx = np.ogrid[0:shape[0], 0:shape[1]]
    return 1 / (1 + np.exp(np.minimum((np.hypot(yy - y, xx - x) - radius) / soft, 50)))


def write_frame(folder, k, data):
    tifffile.imwrite(os.path.join(folder, "f%03d.tif" % (k + 1)), data,
                     photometric="rgb" if data.ndim == 3 else "minisblack")


def as_uint16(frame):
    return np.clip(np.rint(frame), 0, 65535).astype(np.uint16)


def as_uint8(frame):
    return np.clip(np.rint(frame), 0, 255).astype(np.uint8)


def trouble_hot_12bit(folder, n, photos, rng):
    """12-bit cell in 16-bit files, brightest pixel 4086 and 4200 in turn, a
    65535 pixel in the first frame; hot pixels and a warm column on the sensor."""
    size = 512
    pos = walk(rng, n, size, 3)
    hot = rng.integers(0, size, (40, 2))
    hot_level = rng.uniform(1000, 4000, 40)
    column = rng.integers(size // 4, 3 * size // 4)
    for k, f in enumerate(scene(photos["cell"], pos, size, photos["cell_centre"])):
        f = 16 * f + rng.normal(0, 32, f.shape)
        top = 4086 if k % 2 == 0 else 4200
        f = np.clip(f * top / f.max(), 0, None)
        f[:, column] = np.minimum(f[:, column] + 300, top)
        f[hot[:, 0], hot[:, 1]] = hot_level
        if k == 0:
            y, x = rng.integers(size // 4, 3 * size // 4, 2)
            f[y, x] = 65535
        write_frame(folder, k, as_uint16(f))
    return pos, None, None


def trouble_vignette_dust(folder, n, photos, rng):
    """8-bit cell darkened to 40 % at the corners, with dust shadows on the sensor."""
    size = 512
    pos = walk(rng, n, size, 3)
    yy, xx = np.mgrid[0:size, 0:size] - (size - 1) / 2
    light = 1 - 0.6 * (yy ** 2 + xx ** 2) / (2 * (size / 2) ** 2)
    for _ in range(10):
        y, x = rng.uniform(0.15 * size, 0.85 * size, 2)
        light *= 1 - rng.uniform(0.15, 0.5) * disc((size, size), y, x, rng.uniform(5, 25), 2.0)
    for k, f in enumerate(scene(photos["cell"], pos, size, photos["cell_centre"])):
        write_frame(folder, k, as_uint8(f * light + rng.normal(0, 2, f.shape)))
    return pos, None, None


def trouble_exposure(folder, n, photos, rng):
    """16-bit star field whose gain (0.6 to 1.4) and offset (0 to 3000) change every frame."""
    size = 512
    pos = walk(rng, n, size, 3)
    for k, f in enumerate(scene(photos["stars"], pos, size, photos["stars_centre"])):
        f = 64 * f * rng.uniform(0.6, 1.4) + rng.uniform(0, 3000) + rng.normal(0, 128, f.shape)
        write_frame(folder, k, as_uint16(f))
    return pos, None, None


def trouble_bleaching(folder, n, photos, rng):
    """8-bit star field (bright on dark, as in fluorescence) fading to 30 %, flickering by 15 %."""
    size = 512
    pos = walk(rng, n, size, 3)
    for k, f in enumerate(scene(photos["stars"], pos, size, photos["stars_centre"])):
        light = 0.3 ** (k / (n - 1)) * rng.uniform(0.85, 1.15)
        write_frame(folder, k, as_uint8(5 + light * f + rng.normal(0, 2, f.shape)))
    return pos, None, None


def fisher(image, d_row, d_col, rows, cols):
    """Poisson Fisher information of the position (row, column) from a window."""
    w = image[rows, cols]
    return np.sum(d_row[rows, cols] ** 2 / w), np.sum(d_col[rows, cols] ** 2 / w)


def trouble_beads(folder, n, photos, rng):
    """Beads of 20 to 60 photons (Gaussian, sigma 1.5 pixels) over a background of 6
    photons a pixel, Poisson counts in 16-bit files."""
    size, sigma, background = 512, 1.5, 6.0
    pos = walk(rng, n, size, 3)
    area = 2 * size
    count = area * area // 400
    base = gaussian_spots((area, area), rng.uniform(0, area, (count, 2)),
                          rng.uniform(20, 60, count) / (2 * np.pi * sigma ** 2), sigma)
    info = []
    for k, (f, d_row, d_col) in enumerate(scene(base, pos, size, (area // 2, area // 2), True)):
        f = background + np.clip(f, 0, None)
        write_frame(folder, k, rng.poisson(f).astype(np.uint16))
        info.append((f, d_row, d_col))
    # Per pair, both frames' noise: 1 / F of the reference over the central half
    # plus 1 / F of the frame over the window the central half falls on.
    lo, half = size // 4, size // 2
    bound = {}
    for mode in (1, 0):
        b = np.full((n, 2), np.nan)
        for k in range(1, n):
            r = 0 if mode == 1 else k - 1
            oy, ox = np.rint(pos[k] - pos[r]).astype(int)
            own = fisher(*info[r], slice(lo, lo + half), slice(lo, lo + half))
            rows = slice(max(0, lo + oy), min(size, lo + oy + half))
            cols = slice(max(0, lo + ox), min(size, lo + ox + half))
            other = fisher(*info[k], rows, cols)
            b[k] = [math.sqrt(1 / own[1] + 1 / other[1]), math.sqrt(1 / own[0] + 1 / other[0])]
        bound[mode] = b
    bound["limit"] = correlation_limit(info[0][0][lo:lo + half, lo:lo + half])
    return pos, None, bound


def correlation_limit(expected):
    """The ratio to the Cramer-Rao bound of the smallest RMS error (per axis)
    that an estimator correlating the two frames, each frequency weighted at
    best, reaches on a pair of frames with these expected counts: its variance
    is 1 / sum w^2 |S|^4 / (N (2 |S|^2 + N)), S the spectrum of the counts and
    N the white-noise approximation of their Poisson noise (the mean count).
    The bound counts the signal terms alone; where |S|^2 is not far above N,
    the noise of one frame against the other's adds what no weighting removes."""
    p = np.abs(np.fft.fft2(expected - expected.mean())) ** 2
    noise = expected.mean() * expected.size
    wy = (2 * np.pi * np.fft.fftfreq(expected.shape[0]))[:, None] ** 2
    wx = (2 * np.pi * np.fft.fftfreq(expected.shape[1]))[None, :] ** 2
    share = p ** 2 / (noise * (2 * p + noise))
    limit = math.sqrt(0.5 / np.sum(wx * share) + 0.5 / np.sum(wy * share))
    # The bound in the same approximation, 2 N / sum w^2 |S|^2: their ratio
    # carries over to the Poisson bound.
    bound = math.sqrt(noise / np.sum(wx * p) + noise / np.sum(wy * p))
    return limit / bound


def trouble_cosmics(folder, n, photos, rng):
    """16-bit star field with cosmic-ray hits in every frame and satellite trails in
    every third."""
    size = 512
    pos = walk(rng, n, size, 3)
    for k, f in enumerate(scene(photos["stars"], pos, size, photos["stars_centre"])):
        f = 500 + 64 * f + rng.normal(0, 60, f.shape)
        write_frame(folder, k, as_uint16(streaks(f, rng, k % 3 == 1)))
    return pos, None, None


def trouble_nan(folder, n, photos, rng):
    """Floating-point (float32) cell with clusters of NaN where the sensor is dead."""
    size = 512
    pos = walk(rng, n, size, 3)
    dead = np.zeros((size, size), bool)
    for _ in range(25):
        y, x = rng.uniform(0.1 * size, 0.9 * size, 2)
        dead |= disc((size, size), y, x, rng.uniform(0.5, 5), 0.3) > 0.5
    for k, f in enumerate(scene(photos["cell"], pos, size, photos["cell_centre"])):
        f = (0.1 + f / 300 + rng.normal(0, 0.008, f.shape)).astype(np.float32)
        f[dead] = np.nan
        write_frame(folder, k, f)
    return pos, None, None


def trouble_blank(folder, n, photos, rng):
    """8-bit cell with black and uniform frames put in (nothing to measure on them)."""
    size = 512
    pos = walk(rng, n, size, 3)
    blank = {n // 5: 0, 2 * n // 5: 255, 2 * n // 5 + 1: 0, 7 * n // 10: 100}
    for k, f in enumerate(scene(photos["cell"], pos, size, photos["cell_centre"])):
        if k in blank:
            f = np.full(f.shape, blank[k])
        write_frame(folder, k, as_uint8(f + (0 if k in blank else rng.normal(0, 2, f.shape))))
    inserted = np.zeros(n, bool)
    inserted[list(blank)] = True
    return pos, inserted, None


def trouble_walkers(folder, n, photos, rng):
    """Colour scene from a camera that stands still but for tremor and one knock
    (20 to 40 pixels), with people walking across it."""
    size = 512
    pos = rng.normal(0, 0.15, (n, 2))
    ang = rng.uniform(0, 2 * np.pi)
    pos[n // 2:] += rng.uniform(20, 40) * np.array([math.sin(ang), math.cos(ang)])
    people = []
    for _ in range(7):
        texture = np.stack([blur(rng.normal(0, 40, (140, 60)), 2.0) for _ in range(3)], -1)
        colour = rng.uniform(60, 220, 3)
        speed = rng.uniform(3, 6) * rng.choice([-1, 1])
        people.append((colour + texture, rng.uniform(0.3, 0.7) * size,
                       rng.uniform(0, size), speed))
    yy, xx = np.mgrid[0:140, 0:60]
    shape = 1 / (1 + np.exp((np.hypot((yy - 70) / 70, (xx - 30) / 30) - 0.85) * 12))
    for k, f in enumerate(scene(photos["stars_colour"], pos, size, photos["stars_centre"])):
        for look, y, x, speed in people:
            x = (x + speed * k) % (size + 60) - 60
            iy, ix = int(y) - 70, int(x)
            r0, c0 = max(0, iy), max(0, ix)
            r1, c1 = min(size, iy + 140), min(size, ix + 60)
            if r1 > r0 and c1 > c0:
                a = shape[r0 - iy:r1 - iy, c0 - ix:c1 - ix, None]
                f[r0:r1, c0:c1] = (1 - a) * f[r0:r1, c0:c1] + a * look[r0 - iy:r1 - iy, c0 - ix:c1 - ix]
        write_frame(folder, k, as_uint8(f + rng.normal(0, 2, f.shape)))
    return pos, None, None


def trouble_sparse(folder, n, photos, rng, streaked=False):
    """40 stars on 1024 x 1024, 16-bit, sky 1000 with Poisson and read noise,
    jumps of 60 pixels; streaked, with cosmic-ray hits in every frame and a
    satellite trail in every third (streaks)."""
    size = 1024
    pos = walk(rng, n, size, 3, (60, 60))
    area = 2 * size
    count = 4 * 40
    base = gaussian_spots((area, area), rng.uniform(0, area, (count, 2)),
                          np.exp(rng.uniform(math.log(300), math.log(20000), count)), 1.5)
    for k, f in enumerate(scene(base, pos, size, (area // 2, area // 2))):
        f = rng.poisson(1000 + np.clip(f, 0, None)) + rng.normal(0, 10, f.shape)
        write_frame(folder, k, as_uint16(streaks(f, rng, k % 3 == 1) if streaked else f))
    return pos, None, None


def streaks(f, rng, trail):
    """Cosmic-ray hits (1 to 8 pixels, 3000 to 65535 over the sky) on f, and with
    trail a satellite trail across it (5000 to 30000, a pixel wide)."""
    size = f.shape[0]
    for _ in range(rng.integers(20, 60)):
        y, x = rng.uniform(0, size, 2)
        ang, length = rng.uniform(0, np.pi), rng.integers(1, 9)
        t = np.arange(length)
        r = np.clip(np.rint(y + t * math.sin(ang)), 0, size - 1).astype(int)
        c = np.clip(np.rint(x + t * math.cos(ang)), 0, size - 1).astype(int)
        f[r, c] += rng.uniform(3000, 65535)
    if trail:
        yy, xx = np.mgrid[0:size, 0:size]
        y, x, ang = rng.uniform(0, size), rng.uniform(0, size), rng.uniform(0, np.pi)
        across = (yy - y) * math.cos(ang) - (xx - x) * math.sin(ang)
        f += rng.uniform(5000, 30000) * np.exp(-across ** 2 / 2)
    return f


def trouble_sparse_trails(folder, n, photos, rng):
    """The sparse star field of trouble_sparse with cosmic-ray hits and trails."""
    return trouble_sparse(folder, n, photos, rng, streaked=True)


def trouble_steady(folder, n, photos, rng):
    """8-bit star field drifting steadily by a third of the frame over the sequence,
    within 15 degrees of a row or a column."""
    size = 512
    ang = rng.integers(4) * np.pi / 2 + rng.uniform(-0.26, 0.26)
    pos = (np.linspace(0, size / 3, n)[:, None] * np.array([math.sin(ang), math.cos(ang)])
           + rng.uniform(-0.5, 0.5, 2))
    for k, f in enumerate(scene(photos["stars"], pos, size, photos["stars_centre"])):
        write_frame(folder, k, as_uint8(f + rng.normal(0, 2, f.shape)))
    return pos, None, None


TROUBLES = [
    ("hot-12bit", trouble_hot_12bit),
    ("vignette-dust", trouble_vignette_dust),
    ("exposure-16bit", trouble_exposure),
    ("bleaching-flicker", trouble_bleaching),
    ("beads-photons", trouble_beads),
    ("cosmics-trails", trouble_cosmics),
    ("float-nan", trouble_nan),
    ("black-uniform", trouble_blank),
    ("walkers-knock", trouble_walkers),
    ("sparse-stars1024", trouble_sparse),
    ("steady-drift", trouble_steady),
    ("sparse-trails1024", trouble_sparse_trails),
]


def read_grey(folder, k):
    """A frame as float64 grey, NaN and infinities 0 (as the program reads them)."""
    img = tifffile.imread(os.path.join(folder, "f%03d.tif" % (k + 1))).astype(np.float64)
    if img.ndim == 3:
        img = img.mean(axis=2)
    return np.nan_to_num(img, nan=0.0, posinf=0.0, neginf=0.0)


def run_python(folder, frames, mode, pair):
    """pair(reference, frame) on the central halves -> (dx, dy upward) or None."""
    t0 = time.perf_counter()
    d = np.zeros((frames, 2))
    failed = np.zeros(frames, bool)
    first = ref = None
    for k in range(frames):
        img = read_grey(folder, k)
        h, w = img.shape
        c = img[h // 4:h // 4 + h // 2, w // 4:w // 4 + w // 2]
        if k == 0:
            first = c
        else:
            r = pair(first if mode == 1 else ref, c)
            if r is None or not np.all(np.isfinite(r)):
                failed[k] = True
            else:
                d[k] = r
        ref = c
    return d, failed, time.perf_counter() - t0


def pair_pc(ref, img):
    from skimage.registration import phase_cross_correlation
    with np.errstate(all="ignore"):
        s = phase_cross_correlation(ref, img, upsample_factor=20)[0]
    return [s[1], -s[0]]


def pair_ecc(ref, img):
    import cv2
    warp = np.eye(2, 3, dtype=np.float32)
    try:
        _, warp = cv2.findTransformECC(ref.astype(np.float32), img.astype(np.float32), warp,
                                       cv2.MOTION_TRANSLATION,
                                       (cv2.TERM_CRITERIA_EPS | cv2.TERM_CRITERIA_COUNT, 100, 1e-5),
                                       None, 5)
    except cv2.error:
        return None
    # ECC finds img(x + t) = ref(x): a feature at x of img lies at x - t of ref.
    return [-warp[0, 2], warp[1, 2]]


def trouble_stats(est, failed, ok, truth, unmeasurable):
    """RMS and worst frame error over the measurable frames a method measured,
    frames more than 0.5 px off that it marked ok, unmeasurable frames it did not
    mark failed, and measurable frames it lost."""
    use = ~unmeasurable & ~failed
    use[0] = False
    e = est[use] - truth[use]
    err = np.hypot(e[:, 0], e[:, 1])
    rms = math.sqrt(np.mean(e ** 2)) if len(e) else float("nan")
    worst = float(np.max(err)) if len(e) else float("nan")
    off_ok = int(np.sum((err > 0.5) & ok[use]))
    return rms, worst, off_ok, int(np.sum(unmeasurable & ~failed)), int(np.sum(~unmeasurable & failed))


def run_troubles(args, photos, options, seed, work):
    methods = (args.methods or "search,precise,pc,ecc").split(",")
    import cv2  # noqa: F401 (imported here, not in the timed loops)
    import skimage.registration  # noqa: F401
    frames = 12 if args.quick else 30
    chosen = [t for t in TROUBLES if not args.only or t[0] in args.only.split(",")]
    if not chosen:
        return
    print("\n| sequence | mode | method | options | RMS px | worst px | >0.5 px, ok "
          "| unmeasurable, not failed | frames/s | notes |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    bounds = []
    for name, make in chosen:
        # Each sequence its own random numbers: the same frames whichever are made.
        rng = np.random.default_rng([seed, [t[0] for t in TROUBLES].index(name)])
        folder = os.path.join(work, name)
        saved = os.path.join(folder, "truth.npz")
        if os.path.exists(saved):
            z = np.load(saved, allow_pickle=True)
            pos, inserted, bound = z["pos"], z["inserted"], z["bound"].item()
        else:
            os.makedirs(folder, exist_ok=True)
            pos, inserted, bound = make(folder, frames, photos, rng)
            if inserted is None:
                inserted = np.zeros(len(pos), bool)
            np.savez(saved, pos=pos, inserted=inserted, bound=np.array(bound, dtype=object))
        n = len(pos)
        for mode in (1, 0):
            truth = truth_table(pos, mode)
            unmeasurable = inserted.copy()
            if mode == 0:  # the frame after a blank one has nothing to be measured against
                unmeasurable[1:] |= inserted[:-1]
            notes0 = ""
            if bound is not None:
                b = bound[mode][1:]
                rms_bound = math.sqrt(np.mean(b ** 2))
                bounds.append((name, mode, rms_bound, b.min(), b.max(),
                               rms_bound * bound.get("limit", float("nan"))))
                notes0 = "bound %.4f; " % bounds[-1][2]
            truth0, unmeasurable0 = truth, unmeasurable
            for m in methods:
                truth, unmeasurable = truth0, unmeasurable0
                if m in ("pc", "ecc"):
                    est, failed, t = run_python(folder, n, mode, pair_pc if m == "pc" else pair_ecc)
                    ok = ~failed
                    opts, flags = "", ""
                else:
                    d, d_first, q, t = run_vantor(args.build, folder, mode, options[m],
                                                  max(1, args.repeat))
                    est = d_first if mode == 1 else d
                    q = np.array(q)
                    failed, ok = q == "failed", q == "ok"
                    if mode == 0:
                        # A frame after a failed one is measured against the last
                        # frame that was not: that pair is its truth, and it is
                        # measurable unless blank itself.
                        unmeasurable = inserted.copy()
                        first = truth_table(pos, 1)
                        truth = truth.copy()
                        last = 0
                        for k in range(1, n):
                            truth[k] = first[k] - first[last]
                            if not failed[k]:
                                last = k
                    opts = " ".join(options[m]) or "(none)"
                    flags = ", ".join("%s %d" % (k, np.sum((q == k) & ~unmeasurable))
                                      for k in ("rescued", "suspect") if np.any((q == k) & ~unmeasurable))
                    rescued_off = trouble_stats(est, failed, q == "rescued", truth, unmeasurable)[2]
                    if rescued_off:
                        flags += (", " if flags else "") + "rescued >0.5 px %d" % rescued_off
                    if np.any(unmeasurable & ok):
                        flags += (", " if flags else "") + "unmeasurable ok %d" % np.sum(unmeasurable & ok)
                rms, worst, off_ok, unfailed, lost = trouble_stats(est, failed, ok, truth, unmeasurable)
                if m not in ("pc", "ecc") and np.any(np.isfinite(run_vantor.sigma[1:])):
                    # How often each axis's true error lies within 3 estimated sigma.
                    use = ~unmeasurable & ~failed & np.isfinite(run_vantor.sigma)
                    use[0] = False
                    if np.any(use):
                        e = np.abs(est[use] - truth[use])
                        cover = np.mean(e <= 3 * run_vantor.sigma[use][:, None])
                        flags += (", " if flags else "") + "3 sigma holds %.0f%%" % (100 * cover)
                if lost:
                    flags += (", " if flags else "") + "lost %d" % lost
                print("| %s | %d | %s | %s | %.4f | %.3f | %d | %d | %.1f | %s |" % (
                    name, mode, m, opts, rms, worst, off_ok, unfailed, n / t, (notes0 + flags).strip("; ")))
                sys.stdout.flush()
    if bounds:
        print("\nCramer-Rao bound of a pair's displacement (Poisson, both frames, central half), px:\n")
        print("| sequence | mode | RMS over pairs | smallest | largest | correlation limit | "
              "limit / bound |")
        print("|---|---|---|---|---|---|---|")
        for name, mode, rms, lo, hi, limit in bounds:
            print("| %s | %d | %.4f | %.4f | %.4f | %.4f | %.2f |" % (name, mode, rms, lo, hi, limit,
                                                                     limit / rms))


def run_photographs(args, cell, stars, options, work):
    """The sequences made from the photographs with Gaussian noise."""
    stars_grey = stars.mean(axis=2)
    rng = np.random.default_rng(20261209)
    # name, photo, size, frames, noise, depth, movers, blurred frame, magnification
    plan = [
        ("stars512-s2", stars_grey, 512, 49, 2, 8, 0, None, 1),
        ("stars512-s8", stars_grey, 512, 49, 8, 8, 0, None, 1),
        ("cell512-s2", cell, 512, 49, 2, 8, 0, None, 1),
        ("cell512-s8", cell, 512, 49, 8, 8, 0, None, 1),
        ("cell1024-s2-12bit", cell, 1024, 30, 2, 16, 0, None, 2),
        ("cell1024-s8", cell, 1024, 30, 8, 8, 0, None, 2),
        ("stars1024-s8-colour", stars, 1024, 30, 8, 24, 0, None, 2),
        ("cell1024-s2-movers", cell, 1024, 30, 2, 8, 4, 17, 2),
        ("stars2048-s2-12bit", stars_grey, 2048, 12, 2, 16, 0, None, 4),
        ("cell2048-s8", cell, 2048, 12, 8, 8, 0, None, 4),
    ]
    if args.quick:
        plan = [s for s in plan if s[2] <= 1024][:6]
    if args.only:
        names = args.only.split(",")
        plan = [s for s in plan if s[0] in names]
    methods = (args.methods or "default,classic,precise,pc").split(",")
    print("%-22s %4s %-8s %8s %8s %6s %9s" % ("sequence", "mode", "method", "rms", "worst",
                                                ">0.15", "frames/s"))
    for name, photo, size, frames, noise, depth, movers, blurred, mag in plan:
        folder = os.path.join(work, name)
        if os.path.exists(os.path.join(folder, "truth.npy")):
            pos = np.load(os.path.join(folder, "truth.npy"))
        else:
            centre = CELL_CENTRE if photo is cell else (0.5, 0.5)
            pos = make_sequence(folder, photo, size, frames, noise, depth, rng, movers, blurred, mag,
                                centre=centre)
            np.save(os.path.join(folder, "truth.npy"), pos)
        floor = frames / run_load_only(args.build, folder, frames, max(1, args.repeat))
        print("%-22s %4s %-8s %8s %8s %6s %9.1f" % (name, "", "load", "", "", "", floor))
        for mode in (1, 0):
            truth = truth_table(pos, mode)
            for m in methods:
                if m == "pc":
                    est, t = run_phase_correlation(folder, frames, mode)
                    q = []
                else:
                    est, _, q, t = run_vantor(args.build, folder, mode, options[m],
                                              max(1, args.repeat))
                rms, worst, bad = stats(est, truth)
                flags = ""
                if q:
                    n = {k: q.count(k) for k in ("rescued", "suspect", "failed")}
                    flags = " ".join("%s=%d" % (k, v) for k, v in n.items() if v)
                print("%-22s %4d %-8s %8.4f %8.4f %6d %9.1f  %s" % (name, mode, m, rms, worst, bad,
                                                                   frames / t, flags))
            sys.stdout.flush()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.environ.get("VANTOR_BUILD", os.path.join(here, "..", "build")),
                    help="the build folder (or $VANTOR_BUILD)")
    ap.add_argument("--samples", default=os.path.join(here, "..", "..", "shared", "samples"))
    ap.add_argument("--quick", action="store_true", help="small sizes only")
    ap.add_argument("--keep", help="keep the sequences in this folder")
    ap.add_argument("--only", help="comma-separated sequence names")
    ap.add_argument("--methods", help="comma-separated (default,classic,precise,pc; for the "
                    "troubles search,precise,pc,ecc)")
    ap.add_argument("--troubles", action="store_true",
                    help="only the troubles of real cameras and microscopes")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs of the program, best kept")
    ap.add_argument("--motion", action="store_true",
                    help="then the turning and scaling sequences of motion.py (512 pixels, 24 "
                    "frames: rigid and similarity beside ECC, with the Cramer-Rao bound)")
    args = ap.parse_args()
    cell = load_photo(os.path.join(args.samples, "cell.tif"))
    stars = load_photo(os.path.join(args.samples, "hubble_deep_field.jpg"))
    options = program_methods(args.build)
    work = args.keep or tempfile.mkdtemp(prefix="vantor-accuracy-")
    if not args.troubles:
        run_photographs(args, cell, stars, options, work)
    photos = {"cell": cell, "cell_centre": (CELL_CENTRE[0] * cell.shape[0],
                                            CELL_CENTRE[1] * cell.shape[1]),
              "stars": stars.mean(axis=2), "stars_colour": stars,
              "stars_centre": (stars.shape[0] / 2, stars.shape[1] / 2)}
    run_troubles(args, photos, options, 20261210, work)
    if args.motion:
        print(flush=True)
        env = dict(os.environ, PYTHONPATH=os.path.join(args.build, "python"))
        subprocess.run([sys.executable, os.path.join(here, "motion.py"), "--sizes", "512",
                        "--frames", "24", "--samples", args.samples], env=env, check=True)


if __name__ == "__main__":
    main()
