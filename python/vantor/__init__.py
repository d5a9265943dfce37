"""Sub-pixel drift measurement of image sequences.

Frames are numpy arrays, row 0 the top of the picture: 2-D grey (uint8,
uint16, int32, float32, float64, bool) or (height, width, 3) colour of uint8
or uint16 -- every array read() returns.

    register(reference, image)   -> Registration(dx, dy, distance, quality)
    measure(frames, mode=...)    -> structured array, one row per frame
    follow(pattern, ...)         -> a Followed per frame as files are written
    align(frames, shifts)        -> the frames moved onto the first
    read(path, page=1)           -> a file's pixels; page_count(path)

dx counts columns to the right and dy rows down: a feature at (x, y) of a
frame lies at (x + dx, y + dy) of its reference.

A folder's frames, measured and moved onto the first:

    import glob
    import numpy as np
    import vantor

    frames = np.stack([vantor.read(f) for f in sorted(glob.glob("/data/run7/*.tif"))])
    drift = vantor.measure(frames, mode="first")
    print(drift[["dx_first", "dy_first", "quality"]])
    aligned = vantor.align(frames, drift)

Results pickle (Registration, measure's structured array), so the functions
also run in process pools. Bad arguments raise TypeError (a wrong type) or
ValueError (a value out of range) naming the argument and what it takes.
"""

import collections
import math
import numbers
import os

import numpy as np

from vantor import _core
from vantor._core import __version__

__all__ = ["Followed", "Registration", "align", "follow", "measure", "page_count", "read",
           "register", "__version__"]

Registration = collections.namedtuple("Registration", "dx dy distance quality", module="vantor")
Registration.__doc__ = """\
The displacement of an image against its reference: a feature at column x,
row y of the image lies at (x + dx, y + dy) of the reference (dx columns to
the right, dy rows down); distance is the root mean square grey difference
there on the 8-bit scale (-1 when not measured); quality is "ok", "rescued",
"suspect" or "failed"."""
Registration.dx.__doc__ = "Columns to the right."
Registration.dy.__doc__ = "Rows down."
Registration.distance.__doc__ = "RMS grey difference on the 8-bit scale; -1 when not measured."
Registration.quality.__doc__ = '"ok", "rescued", "suspect" or "failed".'

Followed = collections.namedtuple(
    "Followed", "frame file dx dy dx_first dy_first distance quality sigma out_of_order",
    module="vantor")
Followed.__doc__ = """\
One frame of a followed folder (see follow): its position in the sequence
(from 1), its file's name ("name[k]" for page k of a multi-page file), then
the fields of measure's rows, and out_of_order, True when its name sorts
before that of a frame that arrived earlier."""

_MODES = ("first", "previous")
_METHODS = ("precise", "default", "search", "classic")
_INT_MAX = 2**31 - 1


# --- Arguments --------------------------------------------------------------

def _shown(value):
    """The value as an error message gives it: numbers as written, strings
    quoted, anything else (an array, a list) by its type only."""
    if isinstance(value, str):
        return '"%s"' % value if len(value) <= 40 else '"%s..."' % value[:40]
    if value is None or isinstance(value, (bool, int, float, np.generic)):
        text = repr(value)
        if len(text) <= 40:
            return text
    kind = type(value)
    name = kind.__qualname__
    if kind.__module__ != "builtins":
        name = kind.__module__ + "." + name
    return "a value of type " + name


def _fail(name, wording, value, wrong_type):
    error = TypeError if wrong_type else ValueError
    raise error("%s must be %s, not %s" % (name, wording, _shown(value)))


def _choice(name, value, allowed, wording):
    if isinstance(value, str) and value in allowed:
        return str(value)
    _fail(name, wording, value, not isinstance(value, str))


def _real(name, value, wording, ok):
    if not isinstance(value, numbers.Real) or isinstance(value, (bool, np.bool_)):
        _fail(name, wording, value, True)
    try:
        v = float(value)
    except OverflowError:  # an int beyond the doubles
        v = math.inf if value > 0 else -math.inf
    if not ok(v):
        _fail(name, wording, value, False)
    return v


def _whole(name, value, wording, least):
    if not isinstance(value, numbers.Integral) or isinstance(value, (bool, np.bool_)):
        _fail(name, wording, value, True)
    if value < least:
        _fail(name, wording, value, False)
    return int(value)


# The program's limits: a step beyond 65536 pixels or a compared area below a
# hundredth of each side cannot mean anything for a measurement.
_LARGEST_STEP = 65536


def _search_options(start_step, final_step, min_diff, mask_fraction, method):
    steps = "a number of pixels above 0 and at most %d" % _LARGEST_STEP
    return dict(
        start_step=_real("start_step", start_step, steps, lambda v: 0 < v <= _LARGEST_STEP),
        final_step=_real("final_step", final_step, steps, lambda v: 0 < v <= _LARGEST_STEP),
        min_diff=_real("min_diff", min_diff, "a number of at least 0",
                       lambda v: 0 <= v < math.inf),
        mask_fraction=_real("mask_fraction", mask_fraction, "a number from 0.01 to 1",
                            lambda v: 0.01 <= v <= 1),
        method=_choice("method", method, _METHODS,
                       '"precise" (the default), "search" or "classic"'))


def _steps_fit(options, frame):
    """Refuses a step beyond the frames' larger side (it moves every compared
    pixel off the frame). frame: the first frame (anything else is left to
    the library to name)."""
    shape = np.shape(frame) if isinstance(frame, np.ndarray) else ()
    if len(shape) < 2:
        return
    side = max(shape[0], shape[1])
    for name in ("start_step", "final_step"):
        if options[name] > side:
            raise ValueError("%s must be a number of pixels above 0 and at most %d (the frames' "
                             "larger side), not %s" % (name, side, _shown(options[name])))


def _threads(threads):
    if threads is None:
        return None
    # The library runs no more threads than there are frames.
    return min(_whole("threads", threads, "None or a whole number of at least 1", 1), _INT_MAX)


# --- Frames -----------------------------------------------------------------
# read() gives int32 for 32-bit integer files and bool for 1-bit ones, which
# the library does not take from memory: int32 goes as float64 (every value
# exact, mapped by the first frame's range like any float frame), bool as
# uint8 0 and 255 (as the program reads a 1-bit file).

def _convertible(a, grey_ndim):
    if not isinstance(a, np.ndarray) or a.ndim != grey_ndim:
        return False
    return a.dtype.kind == "b" or (a.dtype.kind == "i" and a.dtype.itemsize == 4)


def _widened(a):
    return a.astype(np.float64) if a.dtype.kind == "i" else a.view(np.uint8) * np.uint8(255)


def _narrowed(a, dtype):
    """An aligned widened frame back in its own dtype: int32 rounded and
    clipped, bool set where the frame is at least half white."""
    if dtype.kind == "b":
        return a >= 128
    info = np.iinfo(dtype)
    return np.clip(np.rint(a), info.min, info.max).astype(dtype)


def _take_frames(frames, what, names=None):
    """frames with int32 and bool grey frames made ones the library takes,
    and the dtype align gives back (None when nothing was converted)."""
    if isinstance(frames, np.ndarray):
        if _convertible(frames, 3):
            return _widened(frames), frames.dtype
        return frames, None
    if not isinstance(frames, (list, tuple)):
        return frames, None  # the library names what it needs
    arrays = [f if isinstance(f, np.ndarray) else np.asarray(f) for f in frames]
    if not any(_convertible(a, 2) for a in arrays):
        return frames, None
    name = (lambda k: names[k]) if names else (lambda k: "frame %d" % k)
    for k, a in enumerate(arrays[1:], 1):
        if a.dtype != arrays[0].dtype:
            raise TypeError("%s: %s is %s, %s %s"
                            % (what, name(k), a.dtype, name(0), arrays[0].dtype))
    return [_widened(a) if _convertible(a, 2) else a for a in arrays], arrays[0].dtype


# --- Functions --------------------------------------------------------------

def register(reference, image, *, start_step=4.0, final_step=0.05, min_diff=3.0,
             mask_fraction=0.5, method="precise"):
    """Measures how far image has moved against reference.

    Both are 2-D grey arrays (uint8, uint16, int32, float32, float64 or bool)
    or 3-D colour arrays (height, width, 3) of uint8 or uint16, of one size
    and dtype; row 0 is the top of the picture. They are reduced to 8-bit
    grey as the vantor program reduces files (16-bit by the shift that brings
    the largest value into 8 bits, colour as the mean of the channels, bool
    as 0 and 255, floats from the reference's finite minimum and maximum onto
    0..255, NaN and infinities 0). int32 frames are taken as float64, every
    value exact, and mapped as floats (the program narrows 32-bit files by a
    shift instead, so its numbers for them can differ).

    Returns Registration(dx, dy, distance, quality): a feature at column x,
    row y of image lies at (x + dx, y + dy) of reference, so dx counts
    columns to the right and dy rows down.

    method: "precise" (the default: a robust sub-pixel refinement on the full
    depth; "default" names it too), "search" (the simplex search checked by a
    global whole-pixel search that rescues lost pairs) or "classic" (the
    search alone). start_step, final_step and min_diff steer the search
    (pixels, pixels, mean square grey difference; not used by "precise"; a
    step must lie above 0 and at most at 65536 and the frames' larger side);
    mask_fraction is the fraction of each dimension compared, about the
    centre (0.01 to 1). Raises TypeError for an unsupported dtype or shape or an argument
    of the wrong type, ValueError for differing sizes or an argument out of
    range, MemoryError when memory runs out and RuntimeError when the library
    finds no result, each with the reason.

        r = vantor.register(vantor.read("a.tif"), vantor.read("b.tif"))
        print(r.dx, r.dy, r.quality)
    """
    options = _search_options(start_step, final_step, min_diff, mask_fraction, method)
    _steps_fit(options, reference)
    reference, image = _take_frames([reference, image], "register", ("reference", "image"))[0]
    return _core.register(reference, image, **options)


def measure(frames, *, mode="first", start_step=4.0, final_step=0.05, min_diff=3.0,
            mask_fraction=0.5, method="precise", threads=None, model="translation"):
    """Measures the drift of a sequence.

    frames: a 3-D array (frames, height, width), a 4-D colour array (frames,
    height, width, 3) or a sequence of 2-D (or colour) arrays, all of one
    size and dtype (as for register; int32 and floats are mapped by the first
    frame's range). mode "first" measures every frame against the first,
    "previous" against the frame before it. threads: how many threads
    (default: one per processor); every count gives the same results.

    Returns a structured array with one row per frame and the fields dx, dy
    (the displacement against the reference, columns right and rows down),
    dx_first, dy_first (against the first frame: the same in mode "first",
    the running sums in mode "previous"), distance, quality ("ok", "rescued",
    "suspect", "failed") and sigma (the standard error of "precise", NaN
    where it has none); the first frame's row is zeros and "ok". Frames are
    classified over the whole sequence (suspect distances, out-of-focus
    frames) unless the method is "classic". Other keywords as for register.

    model: "translation" (the default), "rigid", "similarity" or "affine"
    (the precise method only): the motion about the frame's centre. The
    array then also has angle and scale of each pair (degrees,
    counter-clockwise as the picture is displayed), angle_first and
    scale_first (composed in mode "previous") and the pair's matrix a11,
    a12, a21, a22 (columns right, rows down); dx, dy are the displacement of
    the frame's centre.

        frames = np.stack([vantor.read(f) for f in sorted(glob.glob("run7/*.tif"))])
        drift = vantor.measure(frames, mode="first")
        print(drift[["dx_first", "dy_first", "quality"]])
    """
    mode = _choice("mode", mode, _MODES, '"first" or "previous"')
    options = _search_options(start_step, final_step, min_diff, mask_fraction, method)
    threads = _threads(threads)
    if isinstance(frames, np.ndarray):
        _steps_fit(options, frames[0] if frames.ndim >= 3 and len(frames) else None)
    elif isinstance(frames, (list, tuple)) and frames:
        _steps_fit(options, frames[0])
    model = _choice("model", model, ("translation", "rigid", "similarity", "affine"),
                    '"translation", "rigid", "similarity" or "affine"')
    frames, _ = _take_frames(frames, "measure")
    return _core.measure(frames, mode=mode, threads=threads, model=model, **options)


def follow(pattern, *, idle=60.0, mode="first", start_step=4.0, final_step=0.05, min_diff=3.0,
           mask_fraction=0.5, method="precise", threads=None):
    """Measures the files matching pattern as they are written: yields one
    Followed per frame, in frame order, as soon as its result is final.

    pattern: a path whose last part may hold * and ?. The files there are
    measured first (in name order), then each new matching file as soon as
    it is complete (never half-written); one whose name sorts before an
    earlier frame's is measured where it arrived (out_of_order). Following
    ends when no new frame has come for idle seconds or a file named STOP
    appears in the folder; closing the generator (or leaving a loop over it)
    ends it as well. Results are those of measure on the finished sequence
    (dy counts rows down, as for arrays read with read). Other keywords as
    for measure; OSError when no file came or one cannot be read.

        for f in vantor.follow("/data/run7/*.tif", idle=120):
            print(f.frame, f.file, f.dx_first, f.dy_first, f.quality)
    """
    mode = _choice("mode", mode, _MODES, '"first" or "previous"')
    options = _search_options(start_step, final_step, min_diff, mask_fraction, method)
    threads = _threads(threads)
    idle = _real("idle", idle, "a number of seconds of at least 0", lambda v: 0 <= v < math.inf)
    pattern = os.fspath(pattern)
    if not isinstance(pattern, str):
        _fail("pattern", "a path", pattern, True)
    run = _core._Follow(pattern, mode=mode, idle=idle, threads=threads, **options)
    try:
        while True:
            row = run.next(options["method"] in ("precise", "default"))
            if row is None:
                return
            yield Followed(*row)
    finally:
        run.stop()
        del run


def align(frames, shifts, *, threads=None):
    """Moves every frame onto the first.

    frames as for measure; shifts: measure's result (its dx_first and
    dy_first are used) or an (n, 2) array of dx, dy per frame against the
    first frame. Output pixel (x, y) of frame k is frame k sampled bilinearly
    at (x - dx, y - dy), 0 where the frame has no pixel. Returns the same
    kind of container (an array or a list), dtype and shape; int32 frames are
    rounded, bool frames set where the sample is at least half white.

        aligned = vantor.align(frames, vantor.measure(frames))
    """
    threads = _threads(threads)
    taken, dtype = _take_frames(frames, "align")
    out = _core.align(taken, shifts, threads=threads)
    if dtype is None:
        return out
    if isinstance(out, list):
        return [_narrowed(a, dtype) for a in out]
    return _narrowed(out, dtype)


def read(path, page=1, *, max_frame_memory=None):
    """Reads an image file (TIFF, PNG, BMP or JPEG) as a numpy array, top row first.

    The dtype follows the file's depth: 1-bit bool, 4- and 8-bit uint8,
    16-bit uint16, 32-bit int32, floating point float64, colour (height,
    width, 3) uint8 or uint16 in red, green, blue order; measure, align and
    register take every one of them. page counts the pages of a multi-page
    TIFF file from 1. Raises OSError (naming the file and the reason) for a
    file that cannot be read (IsADirectoryError for a folder; a device or a
    pipe is "not a regular file" and is not opened), ValueError for a page
    the file does not have or a path holding a NUL character.
    max_frame_memory: bytes the decoded image may take, checked before it is
    decoded (default: a quarter of the physical memory, at most 2 GiB); a
    file over it raises OSError saying what it would need.
    """
    page = _whole("page", page, "a whole number of at least 1", 1)
    budget = 0 if max_frame_memory is None else _whole(
        "max_frame_memory", max_frame_memory, "None or a whole number of bytes of at least 1", 1)
    return _core.read(path, min(page, 2**63 - 1), min(budget, 2**62))


def page_count(path):
    """The number of pages of an image file: the pages of a TIFF file, 1 for
    other formats. Raises OSError for a file that cannot be read."""
    return _core.page_count(path)
