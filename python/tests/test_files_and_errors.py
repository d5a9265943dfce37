"""Reading files into arrays, and the reasons given for bad input."""

import os
import subprocess
import sys

import numpy as np
import pytest
import tifffile

import vantor
from conftest import frames_of


def test_read_returns_top_row_first_in_every_depth(tmp_path):
    rng = np.random.default_rng(3)
    cases = {
        "u8": rng.integers(0, 256, (9, 13), dtype=np.uint8),
        "u16": rng.integers(0, 65536, (9, 13), dtype=np.uint16),
        "rgb8": rng.integers(0, 256, (9, 13, 3), dtype=np.uint8),
        "rgb16": rng.integers(0, 65536, (9, 13, 3), dtype=np.uint16),
        "f32": rng.standard_normal((9, 13)).astype(np.float32),
        "bits": rng.integers(0, 2, (9, 13)).astype(bool),
    }
    for name, a in cases.items():
        path = tmp_path / f"{name}.tif"
        tifffile.imwrite(path, a, photometric="rgb" if a.ndim == 3 else "minisblack")
        got = vantor.read(str(path))
        expect = a.astype(np.float64) if a.dtype == np.float32 else a
        assert got.dtype == expect.dtype and np.array_equal(got, expect), name
        assert vantor.page_count(path) == 1
    stack = rng.integers(0, 256, (3, 5, 7), dtype=np.uint8)
    tifffile.imwrite(tmp_path / "pages.tif", stack, photometric="minisblack")
    assert vantor.page_count(tmp_path / "pages.tif") == 3
    for k in range(3):
        assert np.array_equal(vantor.read(tmp_path / "pages.tif", page=k + 1), stack[k])
    with pytest.raises(ValueError, match="3 pages"):
        vantor.read(tmp_path / "pages.tif", page=4)


def test_unreadable_files_raise_oserror_with_the_reason(tmp_path):
    with pytest.raises(FileNotFoundError) as e:
        vantor.read(tmp_path / "missing.tif")
    assert e.value.filename == str(tmp_path / "missing.tif")
    junk = tmp_path / "junk.tif"
    junk.write_bytes(b"II*\x00" + b"\xff" * 20)
    for call in (vantor.read, vantor.page_count):
        with pytest.raises(OSError, match="junk.tif: .+"):
            call(junk)


def test_read_checks_the_frame_memory_budget_before_decoding(tmp_path):
    tifffile.imwrite(tmp_path / "a.tif", np.zeros((50, 60), np.uint16))
    with pytest.raises(OSError, match=r"a\.tif: the frame would need 5\.9 KiB \(60 x 50, "
                       r"16-bit\); the budget is 5\.0 KiB \(max_frame_memory\)"):
        vantor.read(tmp_path / "a.tif", max_frame_memory=5120)
    assert vantor.read(tmp_path / "a.tif", max_frame_memory=6000).shape == (50, 60)
    for bad in (0, -1, 1.5, "1M"):
        with pytest.raises((ValueError, TypeError), match="max_frame_memory"):
            vantor.read(tmp_path / "a.tif", max_frame_memory=bad)


def test_bad_input_raises_with_the_reason():
    a, b = frames_of([(0, 0), (1, 1)], np.uint8)
    with pytest.raises(TypeError, match="int64"):
        vantor.register(a.astype(np.int64), b.astype(np.int64))
    with pytest.raises(TypeError, match="colour.+int32"):
        vantor.register(np.stack([a] * 3, -1).astype(np.int32), np.stack([b] * 3, -1))
    with pytest.raises(TypeError, match="image is uint8, reference int32"):
        vantor.register(a.astype(np.int32), b)
    with pytest.raises(TypeError, match="frame 1 is uint8, frame 0 bool"):
        vantor.measure([a > 100, b])
    with pytest.raises(TypeError, match="colour"):
        vantor.register(np.stack([a] * 3, -1).astype(np.float32), np.stack([b] * 3, -1))
    with pytest.raises(TypeError, match="shape"):
        vantor.register(a[0], b[0])
    with pytest.raises(TypeError, match="uint16"):
        vantor.register(a, b.astype(np.uint16))
    with pytest.raises(ValueError, match="height x width"):
        vantor.register(a, b[:-1])
    with pytest.raises(ValueError, match="frame 2"):
        vantor.measure([a, b, b[:, :-3]])
    with pytest.raises(ValueError, match="method"):
        vantor.register(a, b, method="fast")
    with pytest.raises(ValueError, match="mode"):
        vantor.measure([a, b], mode="last")
    for bad in ({"start_step": 0}, {"final_step": float("nan")}, {"mask_fraction": 1.5},
                {"threads": 0}):
        with pytest.raises(ValueError):
            vantor.measure([a, b], **bad)
    with pytest.raises(ValueError, match="no frames"):
        vantor.measure([])
    with pytest.raises(ValueError, match="2 shifts for 3 frames"):
        vantor.align([a, b, b], np.zeros((2, 2)))
    with pytest.raises(ValueError, match="finite"):
        vantor.align([a, b], [[0, 0], [np.nan, 0]])
    one = vantor.measure([a])
    assert len(one) == 1 and one[0]["quality"] == "ok"
    assert vantor.__version__.count(".") == 2


def test_bad_arguments_are_named_without_printing_the_data(tmp_path):
    a, b = frames_of([(0, 0), (1, 1)], np.uint8)
    frames = np.stack([a, b])
    cases = [
        ({"mode": 1}, TypeError, 'mode must be "first" or "previous", not 1'),
        ({"mode": "last"}, ValueError, 'mode must be "first" or "previous", not "last"'),
        ({"mode": frames}, TypeError, "not a value of type numpy.ndarray"),
        ({"method": None}, TypeError, 'method must be "precise" (the default), "search" or '
                                      '"classic", not None'),
        ({"method": "fast"}, ValueError, 'not "fast"'),
        ({"threads": "2"}, TypeError, 'threads must be None or a whole number of at least 1, '
                                      'not "2"'),
        ({"threads": 1.0}, TypeError, "not 1.0"),
        ({"threads": True}, TypeError, "not True"),
        ({"threads": 0}, ValueError, "not 0"),
        ({"start_step": "4"}, TypeError, 'start_step must be a number of pixels above 0 and '
                                         'at most 65536, not "4"'),
        ({"start_step": 0}, ValueError, "start_step must be a number of pixels above 0"),
        ({"start_step": 1e308}, ValueError, "at most 65536, not 1e+308"),
        ({"final_step": float("nan")}, ValueError, "final_step must be a number of pixels"),
        # A step beyond the frames' larger side (144 pixels) moves everything off them.
        ({"start_step": 145}, ValueError, "start_step must be a number of pixels above 0 and "
                                          "at most 144 (the frames' larger side), not 145"),
        ({"final_step": 150.5, "method": "classic"}, ValueError, "at most 144"),
        ({"final_step": [1]}, TypeError, "not a value of type list"),
        ({"min_diff": -1}, ValueError, "min_diff must be a number of at least 0, not -1"),
        ({"min_diff": 10**400}, ValueError, "min_diff"),
        ({"mask_fraction": 1.5}, ValueError, "mask_fraction must be a number from 0.01 to 1, "
                                             "not 1.5"),
        ({"mask_fraction": 1e-300}, ValueError, "not 1e-300"),
        ({"mask_fraction": b"0.5"}, TypeError, "mask_fraction"),
    ]
    for kwargs, error, text in cases:
        with pytest.raises(error) as e:
            vantor.measure(frames, **kwargs)
        assert text in str(e.value) and len(str(e.value)) < 120, (kwargs, str(e.value))
    with pytest.raises(TypeError, match="method must be"):
        vantor.register(a, b, method=2)
    with pytest.raises(ValueError, match="at most 144 .+ not 200"):
        vantor.register(a, b, start_step=200)
    assert vantor.measure(frames, start_step=144, final_step=144, method="search")[1]["quality"]
    with pytest.raises(TypeError, match="threads must be"):
        vantor.align(frames, np.zeros((2, 2)), threads="all")
    with pytest.raises(TypeError, match='page must be a whole number of at least 1, not "1"'):
        vantor.read(tmp_path / "x.tif", page="1")
    # Numbers of numpy's types are numbers; counts beyond 32 bits are not refused.
    expect = vantor.measure(frames, threads=1)
    got = vantor.measure(frames, threads=np.int64(10**12), start_step=np.float32(4),
                         min_diff=np.int16(3), mask_fraction=np.float64(0.5))
    assert got.tobytes() == expect.tobytes()
    tifffile.imwrite(tmp_path / "one.tif", a)
    with pytest.raises(ValueError, match="has 1 page, not a page 1099511627776"):
        vantor.read(tmp_path / "one.tif", page=2**40)


_SHORT_OF_MEMORY = """
import resource, sys
import numpy as np
import vantor
frames = np.zeros((2, 3000, 3000), np.uint8)
frames[:, ::7, ::5] = 200
with open("/proc/self/statm") as f:
    mapped = int(f.read().split()[0]) * resource.getpagesize()
# Room for a little more than what is mapped, not for a frame's float copy.
resource.setrlimit(resource.RLIMIT_AS, (mapped + (24 << 20), resource.RLIM_INFINITY))
try:
    vantor.measure(frames, method="precise", threads=1)
except MemoryError as e:
    print("MemoryError:", e)
"""


def test_read_names_what_is_not_a_regular_file(tmp_path):
    tifffile.imwrite(tmp_path / "ok.tif", np.zeros((4, 5), np.uint8))
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for call in (vantor.read, vantor.page_count):
        # A NUL would cut the path short: read would give ok.tif.
        for path in (str(tmp_path / "ok.tif") + "\0junk", bytes(tmp_path / "ok.tif") + b"\0x"):
            with pytest.raises(ValueError, match="NUL"):
                call(path)
        with pytest.raises(IsADirectoryError, match="is a folder") as e:
            call(tmp_path)
        assert e.value.filename == str(tmp_path)
        for path in ("/dev/zero", fifo):  # neither blocks nor reads forever
            with pytest.raises(OSError, match="is not a regular file"):
                call(path)


def test_library_failures_raise_by_kind_with_the_cause(tmp_path):
    # Files: OSError naming the file, with the library's reason.
    folder = tmp_path / "folder"
    folder.mkdir()
    with pytest.raises(OSError, match="folder: .+") as e:
        vantor.read(folder)
    assert not isinstance(e.value, MemoryError)
    junk = tmp_path / "short.tif"
    junk.write_bytes(b"II*\x00")
    with pytest.raises(OSError, match="short.tif: .+"):
        vantor.read(junk)
    # Memory: MemoryError with the text of the operation that ran short.
    done = subprocess.run([sys.executable, "-c", _SHORT_OF_MEMORY], capture_output=True,
                          text=True, timeout=120)
    assert done.stdout.strip() == "MemoryError: DriftFrameCreateReusing: out of memory", done.stderr
