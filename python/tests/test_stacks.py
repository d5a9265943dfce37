"""Hyperstacks written by tifffile (ImageJ and OME, channels of different
structure, z-stacks, uint16 and float32): one channel measured per time
point by the program and the module, and the aligned copy read back with
its axes, dtype and calibration, every channel on the first time point."""

import csv
import os
import subprocess

import numpy as np
import pytest

import vantor
from conftest import moved, scene

tifffile = pytest.importorskip("tifffile")

H, W = 96, 112


def write_stack(path, kind, t=6, c=2, z=1, dtype=np.uint16, seed=3):
    """A TZCYX stack whose channels hold different scenes, each slice a
    different brightness; returns the truth, (dx, dy) rows down per time point."""
    rng = np.random.default_rng(seed)
    shifts = np.vstack([[0.0, 0.0], rng.uniform(-3, 3, (t - 1, 2))])
    scenes = [scene(H, W, seed=10 + k) for k in range(c)]
    a = np.empty((t, z, c, H, W))
    for ti, (sx, sy) in enumerate(shifts):
        for ci in range(c):
            img = moved(scenes[ci], sx, sy)
            img = (img - img.min()) / np.ptp(img)
            for zi in range(z):
                a[ti, zi, ci] = img * (0.4 + 0.6 * (zi + 1) / z)
    a = (a * 60000).astype(dtype) if np.dtype(dtype).kind == "u" else a.astype(dtype)
    if kind == "imagej":
        tifffile.imwrite(path, a, imagej=True, resolution=(4.0, 4.0),
                         metadata={"axes": "TZCYX", "unit": "um", "spacing": 2.0,
                                   "finterval": 1.5})
    else:
        tifffile.imwrite(path, a, ome=True, photometric="minisblack", resolution=(4.0, 4.0),
                         metadata={"axes": "TZCYX", "PhysicalSizeX": 0.25,
                                   "PhysicalSizeY": 0.25, "PhysicalSizeZ": 2.0,
                                   "TimeIncrement": 1.5})
    return -shifts  # a feature of frame t lies at (x + dx, y + dy) of the first


def run(path, *args):
    exe = os.environ.get("VANTOR_EXE")
    if not exe or not os.path.exists(exe):
        pytest.skip("VANTOR_EXE does not name the built program")
    return subprocess.run([exe, str(path), *args], capture_output=True, text=True, timeout=300)


def rows(csv_path):
    with open(csv_path, newline="") as fh:
        return list(csv.DictReader(fh))


CASES = [("imagej", 2, 1, np.uint16, 2, "max"),
         ("ome", 3, 1, np.float32, 3, "max"),
         ("imagej", 2, 3, np.float32, 1, "mean"),
         ("ome", 2, 3, np.uint16, 2, "2")]


@pytest.mark.parametrize("kind,c,z,dtype,channel,zpick", CASES)
def test_program_measures_one_channel_and_aligns_every_plane(tmp_path, kind, c, z, dtype,
                                                             channel, zpick):
    path = tmp_path / "stack.tif"
    truth = write_stack(path, kind, c=c, z=z, dtype=dtype)
    out = tmp_path / "aligned"
    r = run(path, "--csv=" + str(tmp_path / "d.csv"), "--aligned=" + str(out),
            f"--channel={channel}", f"--z={zpick}")
    assert r.returncode == 0, r.stderr
    got = rows(tmp_path / "d.csv")
    assert [g["file"] for g in got] == [f"stack.tif[t={k}]" for k in range(1, len(truth) + 1)]
    dx = np.array([float(g["dx_first"]) for g in got])
    dy = -np.array([float(g["dy_first"]) for g in got])  # the table counts upward
    assert np.abs(dx - truth[:, 0]).max() < 0.05 and np.abs(dy - truth[:, 1]).max() < 0.05

    src, dst = tifffile.TiffFile(path), tifffile.TiffFile(out / "stack.tif")
    assert dst.series[0].axes == src.series[0].axes
    assert dst.series[0].shape == src.series[0].shape
    assert dst.series[0].dtype == np.dtype(dtype)
    assert dst.pages[0].tags["XResolution"].value == src.pages[0].tags["XResolution"].value
    if kind == "imagej":
        assert dst.is_imagej and dst.imagej_metadata == src.imagej_metadata
    else:
        assert dst.is_ome and dst.ome_metadata == src.ome_metadata
    # Every plane on its first time point's, inside the margin no pixel left.
    a = dst.asarray().reshape(len(truth), z, c, H, W).astype(np.float64)
    inner = (slice(8, -8), slice(8, -8))
    for t in range(1, len(truth)):
        for p in np.ndindex(z, c):
            before = src.asarray().reshape(a.shape)[t][p][inner].astype(np.float64)
            first = a[0][p][inner]
            assert np.abs(a[t][p][inner] - first).mean() < 0.1 * np.abs(before - first).mean()
    # The saved table moves the hyperstack again to the same bytes.
    r = run(path, "--apply=" + str(tmp_path / "d.csv"), "--aligned=" + str(tmp_path / "again"))
    assert r.returncode == 0, r.stderr
    assert (tmp_path / "again" / "stack.tif").read_bytes() == (out / "stack.tif").read_bytes()


def test_followed_hyperstack_is_written_as_a_plain_run_writes_it(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    write_stack(folder / "stack.tif", "imagej", t=4)
    plain = run(folder / "stack.tif", "--aligned=" + str(tmp_path / "plain"))
    followed = run(folder / "*.tif", "--follow=1", "--aligned=" + str(tmp_path / "followed"))
    assert plain.returncode == 0 and followed.returncode == 0, followed.stderr
    assert ((tmp_path / "followed" / "stack.tif").read_bytes()
            == (tmp_path / "plain" / "stack.tif").read_bytes())


def test_python_reads_measures_and_aligns_stacks(tmp_path):
    path = tmp_path / "cells.tif"
    truth = write_stack(path, "ome", c=2, z=3, dtype=np.float32)
    stack = vantor.read_stack(path)
    assert stack.axes == "TZCYX" and stack.pixels.shape == (6, 3, 2, H, W)
    assert stack.pixels.dtype == np.float32
    assert stack.pixel_size == (0.25, 0.25) and stack.unit == "\u00b5m"
    assert stack.z_spacing == 2.0 and stack.frame_interval == 1.5
    for channel, z in ((1, "max"), (2, "mean"), (2, 3)):
        d = vantor.measure(stack, channel=channel, z=z)
        assert np.abs(d["dx_first"] - truth[:, 0]).max() < 0.05
        assert np.abs(d["dy_first"] - truth[:, 1]).max() < 0.05
    # The same array in another axis order, aligned as such.
    tczyx = np.moveaxis(stack.pixels, 2, 1)
    moved_back = vantor.align(tczyx, d, axes="TCZYX")
    assert moved_back.shape == tczyx.shape and moved_back.dtype == np.float32
    again = vantor.measure(moved_back, axes="TCZYX", channel=1)
    assert np.abs(again["dx_first"]).max() < 0.05 and np.abs(again["dy_first"]).max() < 0.05
    # A motion model's result moves every plane by its whole motion.
    turned = vantor.measure(stack, channel=1, model="similarity")
    planes = vantor.align(tczyx, turned, axes="TCZYX")
    assert np.array_equal(planes[:, 1, 2], vantor.align(tczyx[:, 1, 2], turned), equal_nan=True)
    with pytest.raises(ValueError, match="channel 3: the frames have 2 channels"):
        vantor.measure(stack, channel=3)
    with pytest.raises(ValueError, match="need the frames' axes"):
        vantor.measure(stack.pixels[:, 0, 0], channel=2)


def test_channel_beyond_the_file_is_a_parameter_error(tmp_path):
    path = tmp_path / "s.tif"
    write_stack(path, "imagej", t=3, c=2)
    r = run(path, "--channel=3")
    assert r.returncode == 2 and f"--channel=3: {path} has 2 channels" in r.stderr
    r = run(path, "--z=2")
    assert r.returncode == 2 and "has 1 slice" in r.stderr


HOSTILE = [
    "ImageJ=1.11a\nimages=4\nchannels=3\nframes=2\nhyperstack=true",    # 6 != 4 pages
    "ImageJ=1.11a\nchannels=99999999999999\nframes=1",                  # absurd
    "ImageJ=1.11a\nchannels=2147483647\nslices=2147483647\nframes=2",   # products overflow
    "ImageJ=1.11a\nchannels=-2\nframes=-2",
    '<OME><Image><Pixels DimensionOrder="XYCZT" SizeX="8" SizeY="8" SizeC="2"',  # cut short
    '<OME><Image><Pixels DimensionOrder="XYCCT" SizeX="8" SizeY="8" SizeC="2" SizeZ="1" '
    'SizeT="2"/></Image></OME>',
    '<OME><Image><Pixels DimensionOrder="XYCZT" SizeX="8" SizeY="8" SizeC="4000000000" '
    'SizeZ="1" SizeT="1"/></Image></OME>',
]


@pytest.mark.parametrize("description", HOSTILE)
def test_descriptions_that_do_not_fit_leave_plain_pages(tmp_path, description):
    path = tmp_path / "p.tif"
    frames = np.stack([(moved(scene(64, 64), k, 0) * 1000 + 2000).astype(np.uint16)
                       for k in range(4)])
    tifffile.imwrite(path, frames, description=description, metadata=None,
                     photometric="minisblack")
    r = run(path, "--csv=" + str(tmp_path / "d.csv"))
    assert r.returncode == 0, r.stderr
    assert [g["file"] for g in rows(tmp_path / "d.csv")] == [f"p.tif[{k}]" for k in range(1, 5)]
    assert vantor.read_stack(path).axes == "TYX"


def test_ome_set_of_several_files_is_refused(tmp_path):
    path = tmp_path / "part1.ome.tif"
    xml = ('<OME><Image><Pixels DimensionOrder="XYCZT" SizeX="64" SizeY="64" SizeC="2" '
           'SizeZ="1" SizeT="2"><TiffData IFD="0"><UUID FileName="part2.ome.tif">u</UUID>'
           '</TiffData></Pixels></Image></OME>')
    tifffile.imwrite(path, np.zeros((2, 64, 64), np.uint16), description=xml, metadata=None,
                     photometric="minisblack")
    r = run(path)
    assert r.returncode == 1 and "part2.ome.tif" in r.stderr and str(path) in r.stderr
    with pytest.raises(OSError, match="several files"):
        vantor.read_stack(path)


def test_ome_with_time_not_slowest_is_written_time_point_by_time_point(tmp_path):
    path, out = tmp_path / "ctyx.tif", tmp_path / "aligned"
    shifts = [(0, 0), (1.3, -0.7), (2.1, 0.4), (-1.2, 1.9)]
    a = np.empty((2, len(shifts), H, W), np.uint16)
    for c in range(2):
        f = scene(H, W, seed=5 + c)
        for t, (sx, sy) in enumerate(shifts):
            img = moved(f, sx, sy)
            a[c, t] = (img - img.min()) / np.ptp(img) * 50000
    tifffile.imwrite(path, a, ome=True, photometric="minisblack", metadata={"axes": "CTYX"})
    r = run(path, "--aligned=" + str(out), "--channel=2")
    assert r.returncode == 0, r.stderr
    dst = tifffile.TiffFile(out / "ctyx.tif")
    assert dst.series[0].axes == "TCYX"  # the pages' order is said anew
    b = dst.asarray().astype(np.float64)
    inner = (slice(8, -8), slice(8, -8))
    for t in range(1, len(shifts)):
        for c in range(2):
            assert np.abs(b[t, c][inner] - b[0, c][inner]).mean() < 300


@pytest.mark.parametrize("kind", ["imagej", "ome"])
def test_part_of_the_time_points_is_a_hyperstack_of_those(tmp_path, kind):
    path, out = tmp_path / "s.tif", tmp_path / "aligned"
    write_stack(path, kind, t=5, c=2, z=2)
    r = run(path, "--frames=2:4", "--aligned=" + str(out))
    assert r.returncode == 0, r.stderr
    dst = tifffile.TiffFile(out / "s.tif")
    assert dst.series[0].axes == "TZCYX" and dst.series[0].shape == (3, 2, 2, H, W)
