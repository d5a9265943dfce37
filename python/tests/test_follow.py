"""follow: frames written while the generator runs (one slowly, in pieces)
come one by one in frame order with measure's numbers for the same frames."""

import os
import threading
import time

import numpy as np
import pytest
import tifffile

import vantor
from conftest import frames_of

SHIFTS = [(0, 0), (1.3, -0.6), (2.7, 0.8), (-0.5, 1.9), (0.4, -1.3), (3.1, 1.4)]


def test_frames_written_while_following_match_measure(tmp_path):
    frames = frames_of(SHIFTS, np.uint16)
    for k in range(2):
        tifffile.imwrite(tmp_path / f"f{k}.tif", frames[k])

    def write():
        for k in range(2, len(SHIFTS)):
            time.sleep(0.05 * k)
            path = tmp_path / f"f{k}.tif"
            if k % 2:
                tifffile.imwrite(path, frames[k])
                continue
            tifffile.imwrite(tmp_path / "scratch", frames[k])
            data = open(tmp_path / "scratch", "rb").read()
            os.remove(tmp_path / "scratch")
            with open(path, "wb") as f:  # in pieces, flushed, with pauses
                for i in range(3):
                    f.write(data[len(data) * i // 3:len(data) * (i + 1) // 3])
                    f.flush()
                    time.sleep(0.05)

    writer = threading.Thread(target=write)
    writer.start()
    got = []
    try:
        for f in vantor.follow(str(tmp_path / "*.tif"), idle=1.0, mode="previous", threads=1):
            got.append(f)
    finally:
        writer.join()
    assert [f.frame for f in got] == list(range(1, len(SHIFTS) + 1))
    assert [f.file for f in got] == [f"f{k}.tif" for k in range(len(SHIFTS))]
    assert not any(f.out_of_order for f in got)
    expect = vantor.measure(frames, mode="previous", threads=1)
    for f, e in zip(got, expect):
        for field in ("dx", "dy", "dx_first", "dy_first", "distance", "sigma"):
            assert getattr(f, field) == pytest.approx(e[field], abs=1e-9, nan_ok=True), (f, field)
        assert f.quality == e["quality"]


def test_closing_the_generator_ends_following_and_bad_arguments_are_named(tmp_path):
    tifffile.imwrite(tmp_path / "a.tif", frames_of(SHIFTS[:1], np.uint8)[0])
    start = time.monotonic()
    run = vantor.follow(tmp_path / "*.tif", idle=30)
    assert next(run).frame == 1
    run.close()
    assert time.monotonic() - start < 5
    with pytest.raises(OSError, match="no image file"):
        list(vantor.follow(str(tmp_path / "*.png"), idle=0.2))
    with pytest.raises(ValueError, match="idle"):
        next(vantor.follow(str(tmp_path / "*.tif"), idle=-1))
