"""register, measure and align against known displacements and against the
batch program's own table."""

import concurrent.futures
import multiprocessing
import os
import pickle
import subprocess

import numpy as np
import pytest
import tifffile

import vantor
from conftest import frames_of

SHIFTS = [(0, 0), (2.3, -1.6), (-3.7, 0.8), (1.25, 2.5), (0.4, -0.3), (-1.9, -2.2), (3.1, 1.4)]
KINDS = [np.uint8, np.uint16, np.float32, np.float64, (np.uint8,), (np.uint16,)]


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: str(k))
def test_register_finds_known_shift_in_every_dtype(kind):
    ref, img = frames_of([(0, 0), (2.3, -1.6)], kind)
    # The scene moved 2.3 columns right and 1.6 rows up: a feature of img lies
    # 2.3 columns left of and 1.6 rows below its place in the reference.
    for method, tol in (("search", 0.08), ("precise", 0.03)):
        r = vantor.register(ref, img, min_diff=0, method=method)
        assert abs(r.dx + 2.3) < tol and abs(r.dy - 1.6) < tol, (method, r)
        assert r.quality == "ok" and r.distance >= 0


def test_float_frames_use_the_first_frames_range():
    ref, img = frames_of([(0, 0), (1.7, 0.6)], np.uint8)
    assert ref.min() == 0 and ref.max() == 255
    expect = vantor.register(ref, img, method="search")
    # An affine map of the grey levels comes back exactly to the 8-bit frames.
    got = vantor.register(ref * 0.25 - 7.0, img * 0.25 - 7.0, method="search")
    assert got == expect
    # NaN and infinities are data holes, not failures.
    holey = img.astype(np.float64)
    holey[:3, :3] = np.nan
    holey[-1, -1] = np.inf
    r = vantor.register(ref.astype(np.float64), holey)
    assert abs(r.dx - expect.dx) < 0.05 and abs(r.dy - expect.dy) < 0.05


def test_views_give_the_same_result_as_copies():
    ref, img = frames_of([(0, 0), (1.3, 2.1)], (np.uint8,), h=140, w=160)
    wide = np.zeros((140, 200, 3), np.uint8)
    wide[:, 17:177] = img
    view = wide[:, 17:177]  # rows longer than the frame
    strided = np.ascontiguousarray(img[:, :, ::-1])[:, :, ::-1]  # channels reversed in memory
    expect = vantor.register(ref, img)
    assert vantor.register(ref, view) == expect
    assert vantor.register(ref, strided) == expect
    g_ref, g = frames_of([(0, 0), (0.6, -1.1)], np.uint16, w=147)
    for view in (lambda a: a[::-1], lambda a: a[:, ::2], lambda a: a[1:-2, 3:-5]):
        assert vantor.register(view(g_ref), view(g)) == vantor.register(
            np.ascontiguousarray(view(g_ref)), np.ascontiguousarray(view(g)))
    odd = vantor.register(g_ref[1:-2, 3:-5], g[1:-2, 3:-5], min_diff=0)
    assert abs(odd.dx + 0.6) < 0.1 and abs(odd.dy - 1.1) < 0.1


def test_sign_matches_the_program_table(tmp_path, program):
    frames = frames_of(SHIFTS[:3], np.uint8)
    for k, f in enumerate(frames):
        tifffile.imwrite(tmp_path / f"f{k}.tif", f)  # row 0 at the top of the picture
    rows = program(str(tmp_path), "1", "4", "0.05", "0")
    got = vantor.measure([vantor.read(tmp_path / f"f{k}.tif") for k in range(3)], min_diff=0)
    for row, r in zip(rows, got):
        # The table's DY counts upward in the picture, Python's dy rows down.
        assert abs(float(row["dx"]) - r["dx"]) < 0.05
        assert abs(float(row["dy"]) + r["dy"]) < 0.05


@pytest.mark.parametrize("mode,method,kind", [
    ("first", "search", np.uint16), ("previous", "search", np.float32),
    ("first", "precise", (np.uint8,)), ("previous", "precise", np.uint16),
    ("first", "classic", np.uint8), ("previous", "classic", (np.uint16,))], ids=str)
def test_measure_gives_the_programs_numbers(tmp_path, program, mode, method, kind):
    frames = frames_of(SHIFTS, kind)
    for k, f in enumerate(frames):
        tifffile.imwrite(tmp_path / f"f{k}.tif", f,
                         photometric="rgb" if f.ndim == 3 else "minisblack")
    args = ["0" if mode == "previous" else "1", "--threads=1"]
    if method != "default":
        args.append("--" + method)
    rows = program(str(tmp_path), *args)
    read = [vantor.read(tmp_path / f"f{k}.tif") for k in range(len(frames))]
    got = vantor.measure(read, mode=mode, method=method, threads=2)
    assert len(rows) == len(got) == len(frames)
    for row, r in zip(rows, got):
        # The same numbers as the CSV prints them; its dy counts up the picture.
        for field, sign in (("dx", 1), ("dy", -1), ("dx_first", 1), ("dy_first", -1),
                            ("distance", 1)):
            assert float(row[field]) == float(f"{sign * r[field]:.6f}"), (field, row, r)
        assert row["quality"] == r["quality"]
        if "sigma" in row:
            assert (row["sigma"] == "") == np.isnan(r["sigma"])
            assert row["sigma"] == "" or float(row["sigma"]) == float(f"{r['sigma']:.6f}")
    assert tuple(got[0])[:6] == (0, 0, 0, 0, 0, "ok")
    expect = np.array(SHIFTS)
    assert np.abs(got["dx_first"] + expect[:, 0]).max() < 0.2
    assert np.abs(got["dy_first"] + expect[:, 1]).max() < 0.2


@pytest.mark.parametrize("reference", ["mean:4", "template"])
def test_a_mean_or_template_reference_gives_the_programs_numbers(tmp_path, program, reference):
    *frames, template = frames_of(SHIFTS + [(0.6, 1.1)], np.uint16)
    (tmp_path / "in").mkdir()
    for k, f in enumerate(frames):
        tifffile.imwrite(tmp_path / "in" / f"f{k}.tif", f)
    tifffile.imwrite(tmp_path / "t.tif", template)
    given = str(tmp_path / "t.tif") if reference == "template" else reference
    rows = program(str(tmp_path / "in"), "--reference=" + given)
    got = vantor.measure(frames, reference=given, threads=1)
    for row, r in zip(rows, got):
        for field, sign in (("dx_first", 1), ("dy_first", -1), ("distance", 1)):
            assert float(row[field]) == float(f"{sign * r[field]:.6f}"), (field, row, r)
    # The first frame is measured: against the template, its known displacement.
    assert got[0]["quality"] == "ok" and got[0]["sigma"] > 0
    if reference == "template":
        assert abs(got[0]["dx"] - 0.6) < 0.05 and abs(got[0]["dy"] - 1.1) < 0.05
        assert np.array_equal(vantor.measure(frames, reference=template), got)
    else:
        assert abs(got[0]["dx"]) < 0.05 and abs(got[0]["dy"]) < 0.05


def test_references_that_cannot_be_used_are_refused(tmp_path):
    frames = frames_of(SHIFTS[:3], np.uint8)
    for bad, error in (("mean:0", ValueError), ("mean:x", ValueError), ("mean:4", ValueError),
                       (3, TypeError), (frames[0][:20], ValueError),
                       (tmp_path / "none.tif", OSError)):
        with pytest.raises(error, match="reference"):
            vantor.measure(frames, reference=bad)
    with pytest.raises(ValueError, match='mode "previous" and reference "mean:2"'):
        vantor.measure(frames, mode="previous", reference="mean:2")
    assert np.array_equal(vantor.measure(frames, reference="previous"),
                          vantor.measure(frames, mode="previous"))


def test_every_thread_count_gives_the_same_results():
    frames = frames_of(SHIFTS * 2, np.uint8)
    for mode in ("first", "previous"):
        one = vantor.measure(frames, mode=mode, threads=1)
        two = vantor.measure(frames, mode=mode, threads=2)
        assert one.tobytes() == two.tobytes()
        assert vantor.measure(frames, mode=mode, threads=5).tobytes() == one.tobytes()


@pytest.mark.parametrize("kind", KINDS, ids=lambda k: str(k))
def test_align_moves_frames_onto_the_first(kind):
    frames = frames_of(SHIFTS[:4], kind)
    stack = np.stack(frames)
    shifts = vantor.measure(stack, min_diff=0)
    out = vantor.align(stack, shifts)
    assert out.dtype == stack.dtype and out.shape == stack.shape
    span = float(stack.max()) - float(stack.min())
    inner = (slice(8, -8), slice(8, -8))
    for k in range(1, 4):
        diff = np.abs(out[k][inner].astype(np.float64) - stack[0][inner].astype(np.float64))
        assert diff.mean() < 0.01 * span, k
    # The second frame moved 2.3 columns right and 1.6 rows up: its last two
    # columns and the first row have no source, they are the fill.
    filled = vantor.align(stack, shifts, fill=0)
    assert not filled[1][:, -2:].any() and not filled[1][0].any()
    # The list form and an (n, 2) array give the same frames.
    pairs = np.stack([shifts["dx_first"], shifts["dy_first"]], axis=1)
    listed = vantor.align(frames, pairs, threads=1)
    assert isinstance(listed, list) and all(np.array_equal(a, b, equal_nan=a.dtype.kind == "f")
                                               for a, b in zip(listed, out))


def test_results_pickle_and_cross_a_process_pool():
    frames = frames_of(SHIFTS[:3], np.uint8, h=64, w=72)
    pairs = [(frames[0], f) for f in frames[1:]]
    serial = [vantor.register(a, b) for a, b in pairs]
    r = pickle.loads(pickle.dumps(serial[0]))
    assert type(r) is vantor.Registration and r == serial[0]
    drift = vantor.measure(frames)
    assert pickle.loads(pickle.dumps(drift)).tobytes() == drift.tobytes()
    context = multiprocessing.get_context("forkserver")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        assert list(pool.map(vantor.register, *zip(*pairs))) == serial


def test_int32_and_bool_frames_from_files_are_measured_and_aligned(tmp_path):
    shifts = SHIFTS[:3]
    wide = [(f.astype(np.int64) * 100000 - 2**30).astype(np.int32)
            for f in frames_of(shifts, np.uint16)]
    for k, f in enumerate(wide):
        tifffile.imwrite(tmp_path / f"i{k}.tif", f)
        tifffile.imwrite(tmp_path / f"b{k}.tif", f > np.median(f))
    ints = np.stack([vantor.read(tmp_path / f"i{k}.tif") for k in range(3)])
    bits = [vantor.read(tmp_path / f"b{k}.tif") for k in range(3)]
    assert ints.dtype == np.int32 and bits[0].dtype == bool
    # int32 is measured as the same values in float64, bool as 0 and 255.
    drift = vantor.measure(ints, min_diff=0)
    assert drift.tobytes() == vantor.measure(ints.astype(np.float64), min_diff=0).tobytes()
    assert np.abs(drift["dx_first"] + np.array(shifts)[:, 0]).max() < 0.1
    bytes_ = [b.astype(np.uint8) * 255 for b in bits]
    assert vantor.register(*bits[:2]) == vantor.register(*bytes_[:2])
    assert vantor.measure(bits).tobytes() == vantor.measure(bytes_).tobytes()
    # align gives them back in their own dtype.
    out = vantor.align(ints, drift)
    expect = np.rint(vantor.align(ints.astype(np.float64), drift, fill=0))
    assert out.dtype == np.int32 and np.array_equal(out, expect)
    moved = vantor.align(bits, drift)
    assert isinstance(moved, list) and moved[1].dtype == bool
    assert np.array_equal(moved[1], vantor.align(bytes_, drift)[1] >= 128)


QUARTERS = [(0, 0), (0.25, 0), (-0.25, 0), (0, 0.25), (0, -0.25)]


def test_quarter_pixel_shifts_fill_one_side_as_the_program_does(tmp_path):
    """Each direction: the fill on exactly the uncovered row or column; the
    program's --apply files hold the same pixels (16-bit and float32)."""
    exe = os.environ.get("VANTOR_EXE")
    for dtype, fill in ((np.uint16, 65535), (np.float32, None)):
        frames = np.stack(frames_of([(0, 0)] * len(QUARTERS), dtype, h=40, w=48))
        out = vantor.align(frames, np.array(QUARTERS), fill=fill)
        assert out.dtype == dtype
        for k, (dx, dy) in enumerate(QUARTERS):
            blank = np.zeros(frames[0].shape, bool)
            if dx:
                blank[:, 0 if dx > 0 else -1] = True
            if dy:
                blank[0 if dy > 0 else -1, :] = True
            got = np.isnan(out[k]) if fill is None else out[k] == fill
            assert np.array_equal(got, blank), (dtype, k)
        if not exe:
            continue
        folder = tmp_path / np.dtype(dtype).name
        folder.mkdir()
        rows = ["frame,file,dx_first,dy_first"]
        for k, (dx, dy) in enumerate(QUARTERS):
            tifffile.imwrite(folder / f"f{k}.tif", frames[k])
            rows.append("%d,f%d.tif,%f,%f" % (k + 1, k, dx, -dy))  # the program counts dy up
        (folder / "drift.csv").write_text("\n".join(rows) + "\n")
        args = [exe, str(folder / "*.tif"), "--apply=" + str(folder / "drift.csv"),
                "--aligned=" + str(folder / "out"), "--quiet"]
        if fill is not None:
            args.append("--fill=%d" % fill)
        r = subprocess.run(args, capture_output=True, text=True, timeout=120)
        assert r.returncode == 0, r.stderr
        for k in range(len(QUARTERS)):
            written = tifffile.imread(folder / "out" / f"f{k}.tif")
            assert written.dtype == dtype
            assert np.array_equal(written, out[k], equal_nan=True), (dtype, k)
        # apply with the CSV reads the same shifts.
        again = vantor.apply(frames, folder / "drift.csv", fill=fill)
        assert np.array_equal(again, out, equal_nan=True)
    table = tmp_path / "three.csv"
    table.write_text("frame,dx_first,dy_first\n1,0,0\n2,1,0\n3,0,1\n")
    with pytest.raises(ValueError, match="holds 3 frames, but 4"):
        vantor.apply(frames[:4], table)


def test_align_undoes_the_whole_motion_as_the_programs_aligned(tmp_path, program):
    from scipy import ndimage
    rng = np.random.default_rng(4)
    base = ndimage.gaussian_filter(rng.normal(size=(200, 240)), 3) * 400 + 120
    frames = [base, ndimage.rotate(base, 3.0, reshape=False, order=3, mode="reflect"),
              ndimage.zoom(base, 1.03, order=3)[3:203, 3:243]]
    frames = np.clip(np.stack(frames), 0, 255).astype(np.uint8)
    for k, f in enumerate(frames):
        tifffile.imwrite(tmp_path / f"f{k}.tif", f)
    drift = vantor.measure(frames, model="similarity")
    program(str(tmp_path), "--model=similarity", "--aligned=" + str(tmp_path / "out"))
    csv = tmp_path / "out.csv"
    # The program moves by the motion as its table gives it (six decimals),
    # and --apply with that table (or apply) moves by the same.
    for name in ("dx_first", "dy_first", "a11_first", "a12_first", "a21_first", "a22_first"):
        drift[name] = [float("%.6f" % v) for v in drift[name]]
    out = vantor.align(frames, drift)
    r = subprocess.run([os.environ["VANTOR_EXE"], str(tmp_path / "f*.tif"), "--apply=" + str(csv),
                        "--aligned=" + str(tmp_path / "again"), "--quiet"], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    applied = vantor.apply(frames, csv)
    for k in range(3):
        assert np.array_equal(out[k], tifffile.imread(tmp_path / "out" / f"f{k}.tif")), k
        assert np.array_equal(out[k], tifffile.imread(tmp_path / "again" / f"f{k}.tif")), k
        assert np.array_equal(out[k], applied[k]), k
    # Turned back: the middle of the turned frame matches the first again.
    assert np.abs(out[1][60:140, 60:180].astype(float) - frames[0][60:140, 60:180]).mean() < 2


def test_model_gives_the_turn_composed_in_both_modes():
    from scipy import ndimage
    rng = np.random.default_rng(1)
    base = ndimage.gaussian_filter(rng.normal(size=(384, 384)), 3) * 400 + 120
    turned = [ndimage.rotate(base, a, reshape=False, order=3, mode="reflect") for a in (2.0, 4.0)]
    frames = np.clip(np.stack([base] + turned), 0, 255).astype(np.uint8)
    first = vantor.measure(frames, model="similarity")
    previous = vantor.measure(frames, mode="previous", model="similarity")
    # rotate turns counter-clockwise as displayed: the frame turns back onto the first.
    assert np.allclose(first["angle"], [0, -2, -4], atol=0.01)
    assert np.allclose(previous["angle"], [0, -2, -2], atol=0.01)
    assert np.allclose(previous["angle_first"], first["angle"], atol=0.01)
    assert np.allclose(first["scale"], 1, atol=1e-4)
    assert np.allclose(first[["dx", "dy"]].tolist(), 0, atol=0.02)
    assert "angle" not in vantor.measure(frames).dtype.names
    with pytest.raises(ValueError, match="model"):
        vantor.measure(frames, model="spin")
