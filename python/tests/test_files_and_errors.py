"""Reading files into arrays, and the reasons given for bad input."""

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


def test_bad_input_raises_with_the_reason():
    a, b = frames_of([(0, 0), (1, 1)], np.uint8)
    with pytest.raises(TypeError, match="int32"):
        vantor.register(a.astype(np.int32), b.astype(np.int32))
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
    assert done.stdout.strip() == "MemoryError: DriftFrameCreateWith: out of memory", done.stderr
