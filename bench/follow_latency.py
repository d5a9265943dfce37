#!/usr/bin/python3
"""Latency of following: from the moment a frame's file is complete until its
CSV line is out.

Writes a first 2048 x 2048 16-bit TIFF of a smooth random texture, starts
`vantor DIR/*.tif 1 --follow=2 --csv=- --threads=1` (pinned to one processor)
and then writes FRAMES more frames, each shifted a little further, one every
INTERVAL seconds: each is written under a hidden name and renamed into place,
and the time of the rename is taken as the time it is complete. A thread reads
the program's standard output and stamps every CSV line as it arrives. Prints
the median, 90th percentile and largest latency in milliseconds, the
program's processor time per frame (its whole run over the frames) and the
load average, since other work on the machine lengthens the latency.

    bench/follow_latency.py [--build DIR] [--frames N] [--interval S] [--method M] [--size N]
"""
import argparse
import io
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import numpy as np
import tifffile


def texture(size, seed=7):
    """A smooth random texture filling most of the 16-bit range."""
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal((size, size))
    f = np.fft.rfft2(noise)
    fy = np.fft.fftfreq(size)[:, None]
    fx = np.fft.rfftfreq(size)[None, :]
    f *= np.exp(-(fx ** 2 + fy ** 2) / (2 * 0.02 ** 2))
    t = np.fft.irfft2(f, s=(size, size))
    t = (t - t.min()) / (t.max() - t.min())
    return 2000 + 50000 * t


def shifted(base, dx, dy, seed):
    """base moved by (dx, dy) (bilinear between whole-pixel rolls), with noise, as uint16."""
    ix, iy = int(np.floor(dx)), int(np.floor(dy))
    fx, fy = dx - ix, dy - iy
    a = np.roll(base, (iy, ix), axis=(0, 1))
    b = np.roll(a, 1, axis=1)
    c = np.roll(a, 1, axis=0)
    d = np.roll(b, 1, axis=0)
    img = (1 - fy) * ((1 - fx) * a + fx * b) + fy * ((1 - fx) * c + fx * d)
    img += np.random.default_rng(seed).normal(0, 200, img.shape)
    return np.clip(img, 0, 65535).astype(np.uint16)


def tiff_bytes(img):
    out = io.BytesIO()
    tifffile.imwrite(out, img)
    return out.getvalue()


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="build")
    ap.add_argument("--frames", type=int, default=50)
    ap.add_argument("--interval", type=float, default=0.4)
    ap.add_argument("--method", default="--precise")
    ap.add_argument("--size", type=int, default=2048,
                    help="frame width and height (a small one shows what following itself costs)")
    args = ap.parse_args()
    exe = os.path.abspath(os.path.join(args.build, "vantor"))
    base = texture(args.size)
    print(f"making {args.frames + 1} frames ...", file=sys.stderr)
    frames = [tiff_bytes(shifted(base, 0.37 * k, -0.23 * k, k)) for k in range(args.frames + 1)]
    cpu = sorted(os.sched_getaffinity(0))[-1]
    with tempfile.TemporaryDirectory() as folder:
        def put(k):
            name = f"frame{k:03d}.tif"
            hidden = os.path.join(folder, "." + name + ".part")
            with open(hidden, "wb") as f:
                f.write(frames[k])
            os.rename(hidden, os.path.join(folder, name))
            return time.monotonic()

        put(0)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        proc = subprocess.Popen(
            [exe, os.path.join(folder, "*.tif"), "1", args.method, "--follow=2", "--csv=-",
             "--threads=1", "--quiet"],
            stdout=subprocess.PIPE, preexec_fn=lambda: os.sched_setaffinity(0, {cpu}))
        arrived = {}

        def read():
            for line in proc.stdout:
                arrived[line.split(b",")[0]] = time.monotonic()

        reader = threading.Thread(target=read)
        reader.start()
        time.sleep(1.0)  # the first frame measured, the program waiting
        complete = {}
        for k in range(1, args.frames + 1):
            complete[k + 1] = put(k)
            time.sleep(args.interval)
        proc.wait()
        reader.join()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu_ms = 1000 * ((after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime))
    lat = [1000 * (arrived[str(k).encode()] - t) for k, t in complete.items()
           if str(k).encode() in arrived]
    if len(lat) != args.frames or proc.returncode != 0:
        print(f"only {len(lat)} of {args.frames} lines came (status {proc.returncode})")
        return 1
    lat.sort()
    print(f"{args.frames} frames of {args.size} x {args.size} x 16 bits, {args.method}, one thread on one "
          f"processor: latency median {statistics.median(lat):.1f} ms, 90th percentile "
          f"{lat[int(0.9 * len(lat)) - 1]:.1f} ms, largest {lat[-1]:.1f} ms; the program's "
          f"processor time {cpu_ms / (args.frames + 1):.1f} ms a frame; load average "
          f"{os.getloadavg()[0]:.1f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
