#!/usr/bin/env python3
"""Times --aligned on a hyperstack against only reading and writing it.

Writes an ImageJ hyperstack of T time points x C channels of 16-bit
SIZE x SIZE frames (drifting random texture), then times, each best of
--repeat runs with the file in the page cache:
  read+write   tifffile reads the stack and writes it again as ImageJ, then
               fsync (vantor's outputs are on disk before they are renamed
               into place; without the fsync too, for reference)
  measure      vantor STACK (the drift of channel 1 only)
  align        vantor STACK --aligned=DIR (measure and write every plane moved)
The cost of moving is align - measure.

    python3 bench/hyperstack_align.py --vantor build/vantor [--frames 100 --size 1024]
"""

import argparse
import os
import shutil
import subprocess
import tempfile
import time

import numpy as np
import tifffile


def make(path, frames, channels, size):
    rng = np.random.default_rng(7)
    pad = 16
    base = [rng.integers(0, 4000, (size + 2 * pad, size + 2 * pad)).astype(np.float32)
            for _ in range(channels)]
    # Smooth the texture a little so that whole-pixel steps look like drift.
    base = [(b + np.roll(b, 1, 0) + np.roll(b, 1, 1) + np.roll(b, (1, 1), (0, 1))) / 4
            for b in base]
    data = np.empty((frames, channels, size, size), np.uint16)
    for t in range(frames):
        dy, dx = rng.integers(-pad, pad, 2) if t else (0, 0)
        for c in range(channels):
            data[t, c] = base[c][pad + dy:pad + dy + size, pad + dx:pad + dx + size]
    tifffile.imwrite(path, data, imagej=True, resolution=(2.0, 2.0),
                     metadata={"axes": "TCYX", "unit": "um", "finterval": 2.0})


def best(repeat, fn):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--vantor", default="build/vantor")
    ap.add_argument("--frames", type=int, default=100)
    ap.add_argument("--channels", type=int, default=2)
    ap.add_argument("--size", type=int, default=1024)
    ap.add_argument("--threads", type=int, default=0, help="--threads for vantor (0: default)")
    ap.add_argument("--repeat", type=int, default=2)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="vantor_hyperstack_")
    try:
        stack = os.path.join(work, "stack.tif")
        make(stack, args.frames, args.channels, args.size)
        mb = os.path.getsize(stack) / 2**20
        threads = [f"--threads={args.threads}"] if args.threads else []

        def read_write(sync=True):
            with tifffile.TiffFile(stack) as t:
                data = t.asarray()
                meta = t.imagej_metadata
            copy = os.path.join(work, "copy.tif")
            tifffile.imwrite(copy, data, imagej=True,
                             metadata={"axes": "TCYX", "unit": meta.get("unit", "")})
            if sync:
                fd = os.open(copy, os.O_RDONLY)
                os.fsync(fd)
                os.close(fd)

        def vantor(*extra):
            r = subprocess.run([args.vantor, stack, "--quiet", *threads, *extra],
                               capture_output=True, text=True)
            if r.returncode != 0:
                raise SystemExit(r.stderr)

        rw = best(args.repeat, read_write)
        cached = best(args.repeat, lambda: read_write(False))
        measure = best(args.repeat, vantor)
        align = best(args.repeat, lambda: vantor("--aligned=" + os.path.join(work, "aligned")))
        print(f"{args.frames} time points x {args.channels} channels of {args.size} x "
              f"{args.size} 16-bit ({mb:.0f} MiB), {os.cpu_count()} processors")
        print(f"read+write (tifffile)     {rw:7.2f} s  ({cached:.2f} s without the fsync)")
        print(f"measure (vantor)          {measure:7.2f} s")
        print(f"measure + align (vantor)  {align:7.2f} s")
        print(f"moving every plane        {align - measure:7.2f} s = {(align - measure) / rw:.2f} x "
              f"read+write; the whole run {align / rw:.2f} x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
