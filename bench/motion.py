"""Rotation and scale accuracy of the precise method's motion models beside
OpenCV's findTransformECC (Euclidean and affine, started from the identity).

Sequences: a microscope-like field (smoothed noise, bright cells) and a
photograph, each turned about a moving centre (up to 10 degrees from the
first frame, steps up to 2 degrees), scaled by 0.95 to 1.05, with
translation jumps; noise sigma 2 and 8, 8 and 16 bits. The truth is exact:
every frame samples one mirrored band-limited base through its own motion
(order-5 splines on a base smoothed well below the sampling limit). Mode
"first": every frame against the first. Reported per method: RMS errors of
angle (degrees), scale and the centre's displacement (pixels), frames lost
(centre off by more than 1 pixel, or failed) and frames per second on one
thread, and the Cramer-Rao bound of a pair of the first frame ("bound": the
least RMS error any unbiased method can have at that noise). A second table
sets the similarity beside ECC affine frame by frame (over the frames both
keep): the ratio of RMS errors and, in brackets, the mean difference of the
squared errors in standard errors (negative: vantor closer). A third table measures the same scenes moved by translation
alone (the poses' displacements, no turn or scale) with the default
translation model and with --model=rigid: the centre's RMS error, which a
rigid model should keep within 10 % of the translation's.

    PYTHONPATH=build/python /usr/bin/python3 bench/motion.py [--sizes 512,1024] [--frames 12]
"""
import argparse
import glob
import math
import os
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")
import cv2  # noqa: E402
import numpy as np  # noqa: E402
from scipy import ndimage  # noqa: E402

import vantor  # noqa: E402

cv2.setNumThreads(1)


def microscope_base(size, rng):
    field = ndimage.gaussian_filter(rng.normal(size=(size, size)), 2.5) * 900
    cells = np.zeros((size, size))
    for _ in range(size // 6):
        y, x = rng.uniform(0, size, 2)
        r = rng.uniform(3, 9)
        yy, xx = np.ogrid[:size, :size]
        cells += 90 * np.exp(-((yy - y) ** 2 + (xx - x) ** 2) / (2 * r * r))
    return ndimage.gaussian_filter(field + cells, 1.2) + 100


def photo_base(size, samples):
    from PIL import Image
    files = sorted(glob.glob(os.path.join(samples, "*.jpg")) + glob.glob(os.path.join(samples, "*.png")))
    if not files:
        return None
    img = np.asarray(Image.open(files[0]).convert("L")).astype(np.float64)
    h, w = img.shape
    s = min(h, w)
    img = img[(h - s) // 2:(h - s) // 2 + s, (w - s) // 2:(w - s) // 2 + s]
    img = ndimage.zoom(img, size / s, order=3)[:size, :size]
    return ndimage.gaussian_filter(img, 1.2)


def poses(frames, rng, size):
    """Per frame: angle (degrees, counter-clockwise as displayed), scale,
    rotation centre and translation (x, y; rows down)."""
    out, angle, scale, t = [(0.0, 1.0, (0.0, 0.0), (0.0, 0.0))], 0.0, 1.0, np.zeros(2)
    for k in range(1, frames):
        angle = float(np.clip(angle + rng.uniform(-2, 2), -10, 10))
        scale = float(np.clip(scale * rng.uniform(0.985, 1.015), 0.95, 1.05))
        t = t + rng.normal(0, 1.5, 2) + (rng.uniform(-15, 15, 2) if k % 4 == 0 else 0)
        centre = tuple(rng.uniform(-0.15, 0.15, 2) * size)
        out.append((angle, scale, centre, tuple(t)))
    return out


def forward(pose, c):
    """2x3 matrix (rows down) taking a point of the first frame to frame k."""
    angle, scale, centre, t = pose
    th = -math.radians(angle)  # counter-clockwise as displayed is clockwise in rows-down axes
    R = scale * np.array([[math.cos(th), -math.sin(th)], [math.sin(th), math.cos(th)]])
    rc = np.array(centre) + c
    off = rc - R @ rc + np.array(t)
    return np.hstack([R, off[:, None]])


def render(base, W, size, pad):
    """Frame of size x size whose pixel q shows base at W^-1 q (mirrored base, padded)."""
    A = np.linalg.inv(np.vstack([W, [0, 0, 1]]))
    yy, xx = np.mgrid[:size, :size].astype(np.float64)
    sx = A[0, 0] * xx + A[0, 1] * yy + A[0, 2] + pad
    sy = A[1, 0] * xx + A[1, 1] * yy + A[1, 2] + pad
    return ndimage.map_coordinates(base, [sy, sx], order=5, mode="mirror")


def truth_of(W, c):
    """What a frame measured against the first reports: M = W^-1 about c."""
    A = np.linalg.inv(np.vstack([W, [0, 0, 1]]))
    M = A[:2, :2]
    centre = A[:2, :2] @ c + A[:2, 2] - c
    angle = -math.degrees(math.atan2(M[1, 0] - M[0, 1], M[0, 0] + M[1, 1]))
    return angle, math.sqrt(np.linalg.det(M)), centre


def from_matrix(A, c):
    M = A[:2, :2]
    angle = -math.degrees(math.atan2(M[1, 0] - M[0, 1], M[0, 0] + M[1, 1]))
    return angle, math.sqrt(max(np.linalg.det(M), 0)), M @ c + A[:2, 2] - c


def bound(clean, noise):
    """Cramer-Rao bound of a pair of the first frame (clean, with white noise
    of sigma noise in both): RMS of angle (degrees), scale and the centre's
    displacement for a similarity, from the frame's exact gradients."""
    n = clean.shape[0]
    F = np.fft.fft2(clean)
    k = np.fft.fftfreq(n) * 2 * np.pi
    gx = np.real(np.fft.ifft2(F * 1j * k[None, :]))
    gy = np.real(np.fft.ifft2(F * 1j * k[:, None]))
    yy, xx = np.mgrid[:n, :n] - (n - 1) / 2
    J = np.stack([gx.ravel(), gy.ravel(), (xx * gy - yy * gx).ravel(), (xx * gx + yy * gy).ravel()], 1)
    C = np.linalg.inv(J.T @ J) * 2 * noise * noise
    return math.degrees(math.sqrt(C[2, 2])), math.sqrt(C[3, 3]), math.sqrt(C[0, 0] + C[1, 1])


def run_vantor(frames, model):
    t0 = time.perf_counter()
    d = vantor.measure(frames, model=model, threads=1)
    dt = time.perf_counter() - t0
    out = []
    turned = "angle" in d.dtype.names  # the translation model has no angle or scale
    for r in d[1:]:
        out.append((r["angle"] if turned else 0.0, r["scale"] if turned else 1.0,
                    np.array([r["dx"], r["dy"]]), r["quality"] != "failed"))
    return out, dt


def run_ecc(frames, motion):
    ref = frames[0].astype(np.float32)
    out, t0 = [], time.perf_counter()
    crit = (cv2.TERM_CRITERIA_EPS | cv2.TERM_CRITERIA_COUNT, 100, 1e-6)
    for f in frames[1:]:
        W = np.eye(2, 3, dtype=np.float32)
        try:
            _, W = cv2.findTransformECC(ref, f.astype(np.float32), W, motion, crit, None, 5)
            ok = True
        except cv2.error:
            ok = False
        A = np.linalg.inv(np.vstack([W.astype(np.float64), [0, 0, 1]]))
        out.append(from_matrix(A, C) + (ok,))
    return out, time.perf_counter() - t0


def paired(ours, theirs, truths):
    """Over the frames both keep: for angle, scale and centre, the RMS ratio
    ours / theirs and the mean difference of squared errors in standard
    errors (negative: ours closer; beyond -2 or 2 more than chance)."""
    rows = []
    for (a, s, c, ok), (ta_, ts_, tc_, tok), (ta, ts, tc) in zip(ours, theirs, truths):
        e1, e2 = np.hypot(*(np.asarray(c) - tc)), np.hypot(*(np.asarray(tc_) - tc))
        if ok and tok and e1 < 1.0 and e2 < 1.0:
            rows.append(((a - ta) ** 2, (s - ts) ** 2, e1 ** 2, (ta_ - ta) ** 2, (ts_ - ts) ** 2, e2 ** 2))
    v = np.array(rows)
    out = []
    for j in range(3):
        d = v[:, j] - v[:, j + 3]
        se = d.std(ddof=1) / math.sqrt(len(d)) if len(d) > 1 else float("nan")
        out.append((math.sqrt(v[:, j].mean() / v[:, j + 3].mean()), d.mean() / se if se > 0 else 0.0))
    return len(v), out


def score(est, truths):
    ea, es, ec, lost = [], [], [], 0
    for (a, s, c, ok), (ta, ts, tc) in zip(est, truths):
        err = float(np.hypot(*(np.asarray(c) - tc)))
        if not ok or not err < 1.0:
            lost += 1
            continue
        ea.append(a - ta)
        es.append(s - ts)
        ec.append(err)
    rms = lambda v: math.sqrt(np.mean(np.square(v))) if v else float("nan")  # noqa: E731
    return rms(ea), rms(es), rms(ec), lost


C = None


def main():
    global C
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", default="512")
    ap.add_argument("--frames", type=int, default=12)
    ap.add_argument("--noises", default="2,8")
    ap.add_argument("--depths", default="8,16")
    ap.add_argument("--samples", default=os.path.join(here, "..", "..", "shared", "samples"))
    a = ap.parse_args()
    rng = np.random.default_rng(7)
    shifted = []  # (scene, size, bits, noise, frames, truths) moved by translation alone
    versus = []  # the similarity against ECC affine, frame by frame
    print("| scene | size | bits | noise | method | angle RMS (deg) | scale RMS | centre RMS (px) | lost | frames/s |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for size in map(int, a.sizes.split(",")):
        pad = size // 2
        C = np.array([(size - 1) / 2, (size - 1) / 2])
        for scene in ("microscope", "photo"):
            big = microscope_base(size + 2 * pad, rng) if scene == "microscope" else photo_base(size + 2 * pad, a.samples)
            if big is None:
                continue
            ps = poses(a.frames, rng, size)
            Ws = [forward(p, C) for p in ps]
            clean = [render(big, W, size, pad) for W in Ws]
            truths = [truth_of(W, C) for W in Ws[1:]]
            Ts = [forward((0.0, 1.0, (0.0, 0.0), p[3]), C) for p in ps]
            moved = [render(big, W, size, pad) for W in Ts]
            moved_truths = [truth_of(W, C) for W in Ts[1:]]
            for bits in map(int, a.depths.split(",")):
                for noise in map(float, a.noises.split(",")):
                    gain = 256.0 if bits == 16 else 1.0
                    top = 65535 if bits == 16 else 255
                    frames = np.stack([np.clip(np.round((f + rng.normal(0, noise, f.shape)) * gain), 0, top)
                                       for f in clean]).astype(np.uint16 if bits == 16 else np.uint8)
                    runs = [("vantor rigid", run_vantor(frames, "rigid")),
                            ("vantor similarity", run_vantor(frames, "similarity")),
                            ("ECC euclidean", run_ecc(frames, cv2.MOTION_EUCLIDEAN)),
                            ("ECC affine", run_ecc(frames, cv2.MOTION_AFFINE))]
                    for name, (est, dt) in runs:
                        ra, rs, rc, lost = score(est, truths)
                        print(f"| {scene} | {size} | {bits} | {noise:g} | {name} | {ra:.4f} | {rs:.1e} | "
                              f"{rc:.4f} | {lost} | {(len(frames) - 1) / dt:.1f} |", flush=True)
                    n, pr = paired(runs[1][1][0], runs[3][1][0], truths)
                    versus.append(f"| {scene} | {size} | {bits} | {noise:g} | {n} | " +
                                  " | ".join(f"{r:.2f} ({z:+.1f})" for r, z in pr) + " |")
                    ba, bs, bc = bound(clean[0], noise)
                    print(f"| {scene} | {size} | {bits} | {noise:g} | bound | {ba:.4f} | {bs:.1e} | {bc:.4f} | | |",
                          flush=True)
                    plain = np.stack([np.clip(np.round((f + rng.normal(0, noise, f.shape)) * gain), 0, top)
                                      for f in moved]).astype(frames.dtype)
                    shifted.append((scene, size, bits, noise, plain, moved_truths))
    print()
    print("| scene | size | bits | noise | pairs | angle: vantor similarity / ECC affine (z) | scale | centre |")
    print("|---|---|---|---|---|---|---|---|")
    print("\n".join(versus))
    print()
    print("| scene | size | bits | noise | translation: centre RMS (px) | rigid: centre RMS (px) | rigid / translation |")
    print("|---|---|---|---|---|---|---|")
    for scene, size, bits, noise, frames, truths in shifted:
        rc = [score(run_vantor(frames, model)[0], truths)[2] for model in ("translation", "rigid")]
        print(f"| {scene} | {size} | {bits} | {noise:g} | {rc[0]:.4f} | {rc[1]:.4f} | {rc[1] / rc[0]:.2f} |",
              flush=True)


if __name__ == "__main__":
    main()
