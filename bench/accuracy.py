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

    bench/accuracy.py [--build DIR] [--samples DIR] [--quick] [--keep DIR] [--repeat N]

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


def walk(rng, frames, size, jumps):
    """Content displacement (y, x) of every frame: a random walk with jumps."""
    limit = 0.2 * size
    while True:
        steps = rng.normal(0, 0.6, (frames, 2))
        steps[0] = 0
        at = rng.choice(np.arange(2, frames), size=jumps, replace=False)
        for k in at:
            ang = rng.uniform(0, 2 * np.pi)
            steps[k] += rng.uniform(10, 40) * np.array([math.sin(ang), math.cos(ang)])
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


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.environ.get("VANTOR_BUILD", os.path.join(here, "..", "build")),
                    help="the build folder (or $VANTOR_BUILD)")
    ap.add_argument("--samples", default=os.path.join(here, "..", "..", "shared", "samples"))
    ap.add_argument("--quick", action="store_true", help="small sizes only")
    ap.add_argument("--keep", help="keep the sequences in this folder")
    ap.add_argument("--only", help="comma-separated sequence names")
    ap.add_argument("--methods", default="default,classic,precise,pc")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs of the program, best kept")
    args = ap.parse_args()
    cell = load_photo(os.path.join(args.samples, "cell.tif"))
    stars = load_photo(os.path.join(args.samples, "hubble_deep_field.jpg"))
    stars_grey = stars.mean(axis=2)
    rng = np.random.default_rng(20261209)
    # name, photo, size, frames, noise, depth, movers, blurred frame, magnification
    specs = [
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
        specs = [s for s in specs if s[2] <= 1024][:6]
    if args.only:
        names = args.only.split(",")
        specs = [s for s in specs if s[0] in names]
    methods = args.methods.split(",")
    options = program_methods(args.build)
    work = args.keep or tempfile.mkdtemp(prefix="vantor-accuracy-")
    print("%-22s %4s %-8s %8s %8s %6s %9s" % ("sequence", "mode", "method", "rms", "worst",
                                                ">0.15", "frames/s"))
    for name, photo, size, frames, noise, depth, movers, blurred, mag in specs:
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


if __name__ == "__main__":
    main()
