#!/usr/bin/python3
"""Speed of the whole program against the time to only load the frames and
against phase correlation, per frame size and depth, in one run.

Makes sequences from the bundled photograph (noise sigma 8, drift with jumps,
as bench/accuracy.py makes them) and times, best of --repeat runs: loading
and converting the frames only (build/load_frames), the default method with
one thread and with two (each against the first frame), and scikit-image's
phase correlation (upsample 20, central half, file reading included). Also
gives the program's minor page faults per frame once it is warm (the run of
all frames less the run of the first half, over the second half's frames).

    bench/speed.py [--build DIR] [--repeat N] [--only 512,1024-16]
"""
import argparse
import importlib.util
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
_spec = importlib.util.spec_from_file_location("accuracy", os.path.join(HERE, "accuracy.py"))
acc = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(acc)

# name, size, frames, depth (24: colour; 16 holds 12-bit values)
PLAN = [("512", 512, 40, 8), ("1024", 1024, 30, 8), ("1024-16", 1024, 30, 16),
        ("1024-colour", 1024, 30, 24), ("2048", 2048, 16, 8), ("2048-16", 2048, 16, 16)]


def child_faults(cmd):
    """Minor page faults of one run of cmd."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt
    subprocess.run(cmd, check=True, capture_output=True)
    return resource.getrusage(resource.RUSAGE_CHILDREN).ru_minflt - before


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default=os.environ.get("VANTOR_BUILD", os.path.join(HERE, "..", "build")))
    ap.add_argument("--samples", default=os.path.join(HERE, "..", "..", "shared", "samples"))
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--only", help="comma-separated names: " + ",".join(p[0] for p in PLAN))
    args = ap.parse_args()
    photo = acc.load_photo(os.path.join(args.samples, "cell.tif"))
    colour = acc.load_photo(os.path.join(args.samples, "hubble_deep_field.jpg"))
    plan = [p for p in PLAN if not args.only or p[0] in args.only.split(",")]
    vantor = os.path.join(args.build, "vantor")
    rng = np.random.default_rng(20261210)
    work = tempfile.mkdtemp(prefix="vantor-speed-")
    print("ms per frame, one thread unless said; best of %d; load average %.1f"
          % (args.repeat, os.getloadavg()[0]))
    print("| frames | load only | default | default, 2 threads | phase correlation | "
          "default / load | pc / default | 2 threads / 1 | page faults / frame |")
    print("|---|---|---|---|---|---|---|---|---|")
    for name, size, frames, depth in plan:
        folder = os.path.join(work, name)
        source = colour if depth == 24 else photo
        acc.make_sequence(folder, source, size, frames, 8, depth, rng, magnify=max(1, size // 512),
                          centre=acc.CELL_CENTRE if depth != 24 else (0.5, 0.5))
        load = acc.run_load_only(args.build, folder, frames, args.repeat) / frames

        def run(threads, extra=()):
            return lambda: subprocess.run([vantor, folder, "1", "--threads=%d" % threads,
                                           "--csv=" + os.path.join(folder, "out.csv"), *extra],
                                          check=True, capture_output=True)
        one = acc.best_time(run(1), args.repeat) / frames
        two = acc.best_time(run(2), args.repeat) / frames
        pc = min(acc.run_phase_correlation(folder, frames, 1)[1] for _ in range(max(1, args.repeat - 1)))
        pc /= frames
        half = frames // 2
        first = os.path.join(work, name + "-half")
        os.makedirs(first)
        for k in range(half):
            os.symlink(os.path.join(folder, "f%03d.tif" % (k + 1)), os.path.join(first, "f%03d.tif" % (k + 1)))
        warm = (child_faults([vantor, folder, "1", "--threads=1", "--csv=" + os.path.join(folder, "f.csv")]) -
                child_faults([vantor, first, "1", "--threads=1", "--csv=" + os.path.join(first, "f.csv")])) / (frames - half)
        label = "%d x %d, %s" % (size, size, {8: "8-bit", 16: "12-bit in 16", 24: "colour"}[depth])
        print("| %s | %.2f | %.2f | %.2f | %.1f | %.1f | %.1f | %.2f | %.0f |"
              % (label, 1e3 * load, 1e3 * one, 1e3 * two, 1e3 * pc, one / load, pc / one, one / two,
                 max(0.0, warm)))
        sys.stdout.flush()


if __name__ == "__main__":
    main()
