#!/usr/bin/env python3
"""Cost of moving frames: `vantor DIR --apply=drift.csv --aligned=OUT` on 100
frames of 1024 x 1024 16-bit (reading + cubic resampling + writing) against
the same run with zero shifts and nearest interpolation (a copy of every row:
reading + writing only). Prints the best of --repeat runs of each and their
ratio. Frames go to a temporary folder (TMPDIR).

    /usr/bin/python3 bench/apply_bench.py [--program build/vantor] [--frames 100]
"""

import argparse
import os
import subprocess
import tempfile
import time

import numpy as np
import tifffile


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--program", default=os.path.join(here, "..", "build", "vantor"))
    p.add_argument("--frames", type=int, default=100)
    p.add_argument("--size", type=int, default=1024)
    p.add_argument("--repeat", type=int, default=3)
    a = p.parse_args()
    rng = np.random.default_rng(1)
    with tempfile.TemporaryDirectory() as tmp:
        src = os.path.join(tmp, "in")
        os.mkdir(src)
        base = rng.integers(0, 65535, (a.size, a.size), dtype=np.uint16)
        for k in range(a.frames):
            tifffile.imwrite(os.path.join(src, "f%04d.tif" % k), np.roll(base, k, axis=1))
        tables = {}
        for name, shift in (("moved", lambda k: rng.uniform(-20, 20, 2)), ("copy", lambda k: (0, 0))):
            path = os.path.join(tmp, name + ".csv")
            with open(path, "w") as fh:
                fh.write("frame,file,dx_first,dy_first\n")
                for k in range(a.frames):
                    dx, dy = (0, 0) if k == 0 else shift(k)
                    fh.write("%d,f%04d.tif,%.6f,%.6f\n" % (k + 1, k, dx, dy))
            tables[name] = path
        runs = {"cubic": ("moved", "cubic"), "linear": ("moved", "linear"),
                "read+write": ("copy", "nearest")}
        best = {}
        for _ in range(a.repeat):
            for label, (table, interpolation) in runs.items():
                out = os.path.join(tmp, "out")
                t0 = time.perf_counter()
                subprocess.run([a.program, os.path.join(src, "*.tif"), "--apply=" + tables[table],
                                "--aligned=" + out, "--interpolation=" + interpolation, "--quiet"],
                               check=True)
                best[label] = min(best.get(label, 1e9), time.perf_counter() - t0)
        print("%d frames of %d x %d, 16-bit, one thread:" % (a.frames, a.size, a.size))
        for label, t in best.items():
            print("  %-11s %7.3f s  %6.2f ms/frame  %.2fx read+write"
                  % (label, t, 1000 * t / a.frames, t / best["read+write"]))


if __name__ == "__main__":
    main()
