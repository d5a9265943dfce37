"""Sub-pixel drift measurement of image sequences.

Frames are numpy arrays, row 0 the top of the picture: 2-D grey (uint8,
uint16, int32, float32, float64, bool) or (height, width, 3) colour of uint8
or uint16 -- every array read() returns.

    register(reference, image)   -> Registration(dx, dy, distance, quality)
    measure(frames, mode=...)    -> structured array, one row per frame
    follow(pattern, ...)         -> a Followed per frame as files are written
    align(frames, shifts)        -> the frames moved onto the first
    apply(frames, table)         -> frames moved by a saved drift (a CSV or measure's result)
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
from vantor import _stacks
from vantor._stacks import Stack

__all__ = ["Followed", "Registration", "Stack", "align", "apply", "follow", "measure",
           "page_count", "read", "read_stack", "register", "__version__"]

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


def _reference(reference, mode):
    """measure's reference and mode together: (mode, what the library
    takes: None, ("mean", N), ("file", path) or ("array", array))."""
    if reference is None:
        return _choice("mode", "first" if mode is None else mode, _MODES,
                       '"first" or "previous"'), None
    wording = ('"first", "previous", "mean:N" (N a whole number of at least 1), a template '
               'file\'s path or a template array')
    if mode is not None:
        mode = _choice("mode", mode, _MODES, '"first" or "previous"')
    if isinstance(reference, np.ndarray):
        chosen, fixed = "first", ("array", _take_frames([reference], "measure")[0][0])
    elif isinstance(reference, (str, os.PathLike)):
        text = os.fspath(reference)
        if not isinstance(text, str):
            _fail("reference", wording, reference, True)
        if text in _MODES:
            chosen, fixed = text, None
        elif text.startswith("mean:"):
            n = text[5:]
            if not (n.isascii() and n.isdigit() and 1 <= int(n) <= _INT_MAX):
                _fail("reference", wording, reference, False)
            chosen, fixed = "first", ("mean", int(n))
        elif not text or "\0" in text:
            _fail("reference", wording, reference, False)
        else:
            chosen, fixed = "first", ("file", text)
    else:
        _fail("reference", wording, reference, True)
    if mode is not None and mode != chosen:
        raise ValueError('mode "%s" and reference %s say different things: "previous" measures '
                         'each frame against the one before it, "first" against the first frame '
                         'or another fixed reference; give one of them' % (mode, _shown(reference)))
    return chosen, fixed


def measure(frames, *, mode=None, start_step=4.0, final_step=0.05, min_diff=3.0,
            mask_fraction=0.5, method="precise", threads=None, axes=None, channel=1, z="max",
            reference=None, model="translation"):
    """Measures the drift of a sequence.

    frames: a 3-D array (frames, height, width), a 4-D colour array (frames,
    height, width, 3) or a sequence of 2-D (or colour) arrays, all of one
    size and dtype (as for register; int32 and floats are mapped by the first
    frame's range). mode "first" (the default) measures every frame against
    the first, "previous" against the frame before it. threads: how many
    threads (default: one per processor); every count gives the same results.

    reference: what the frames are measured against, as the program's
    --reference: "first" or "previous" (the modes), "mean:N" (the mean of the
    first N frames: frames 2..N measured against the first, moved onto it at
    full depth and averaged, failed ones left out), a template image's path
    (a str or os.PathLike; "./first" names a file called first) or a template
    array (as a frame), of the frames' size. Against a mean or a template the
    first frame is measured too: its row is a measurement, and dx_first,
    dy_first are the displacement from the first frame (the mean lies on its
    grid) or from the template. A mode that says otherwise ("previous" with a
    mean or template) is a ValueError, as are N above the number of frames
    and a template of another size; a template file that cannot be read is
    an OSError.

    Returns a structured array with one row per frame and the fields dx, dy
    (the displacement against the reference, columns right and rows down),
    dx_first, dy_first (against the first frame: the same in mode "first",
    the running sums in mode "previous"), distance, quality ("ok", "rescued",
    "suspect", "failed") and sigma (the standard error of "precise", NaN
    where it has none); the first frame's row is zeros and "ok" (measured
    against a mean or a template: a measurement like the others). Frames are
    classified over the whole sequence (suspect distances, out-of-focus
    frames) unless the method is "classic". Other keywords as for register.

    model: "translation" (the default), "rigid", "similarity" or "affine"
    (the precise method only): the motion about the frame's centre. The
    array then also has angle and scale of each pair (degrees,
    counter-clockwise as the picture is displayed), angle_first and
    scale_first (composed in mode "previous"), the pair's matrix a11,
    a12, a21, a22 (columns right, rows down) and the one from the first
    frame, a11_first .. a22_first (which align undoes); dx, dy are the
    displacement of the frame's centre.

        frames = np.stack([vantor.read(f) for f in sorted(glob.glob("run7/*.tif"))])
        drift = vantor.measure(frames, mode="first")
        print(drift[["dx_first", "dy_first", "quality"]])

    Hyperstacks: with axes (a subset of "TZCYX" ending in "YX", or a Stack
    from read_stack, whose axes are used), one row per time point of channel
    (from 1) and z ("max" or "mean" projection, or a slice from 1); slices
    without a T axis are the time points.

        stack = vantor.read_stack("/data/run7/cells.tif")
        drift = vantor.measure(stack, channel=2)
    """
    if isinstance(frames, Stack):
        frames, axes = frames.pixels, frames.axes if axes is None else axes
    if axes is not None:
        frames = _stacks.planes(frames, axes, channel, z)
    elif channel != 1 or z != "max":
        raise ValueError("channel and z need the frames' axes (axes=, or a Stack)")
    mode, fixed = _reference(reference, mode)
    options = _search_options(start_step, final_step, min_diff, mask_fraction, method)
    threads = _threads(threads)
    if isinstance(frames, np.ndarray):
        _steps_fit(options, frames[0] if frames.ndim >= 3 and len(frames) else None)
    elif isinstance(frames, (list, tuple)) and frames:
        _steps_fit(options, frames[0])
    model = _choice("model", model, ("translation", "rigid", "similarity", "affine"),
                    '"translation", "rigid", "similarity" or "affine"')
    frames, _ = _take_frames(frames, "measure")
    return _core.measure(frames, mode=mode, threads=threads, reference=fixed, model=model,
                         **options)


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


_INTERPOLATIONS = {"nearest": 0, "linear": 1, "cubic": 2}


def _first_dtype(frames):
    if isinstance(frames, np.ndarray):
        return frames.dtype
    if isinstance(frames, (list, tuple)) and frames:
        return np.asarray(frames[0]).dtype
    return None


def _fill(fill, dtype):
    """The fill for frames of dtype: None gives 0, NaN for floating point.
    bool frames take 0 or 1 (they are moved as 0 and 255); int32 its range."""
    floating = dtype is not None and dtype.kind == "f"
    if fill is None:
        return math.nan if floating else 0.0
    v = _real("fill", fill, "None or a number", lambda v: True)
    if math.isnan(v) and not floating:
        raise ValueError("fill must be a number for %s frames, not nan (NaN only for "
                         "floating-point frames)" % dtype)
    if dtype is not None and dtype.kind == "b":
        if v not in (0.0, 1.0):
            _fail("fill", "0 or 1 for bool frames", fill, False)
        return 255.0 * v
    if dtype is not None and dtype.kind == "i" and not -2**31 - 0.5 <= v < 2**31 - 0.5:
        _fail("fill", "a number within the range of int32 frames", fill, False)
    return v


def align(frames, shifts, *, interpolation="cubic", fill=None, threads=None, axes=None):
    """Moves every frame onto the first.

    frames as for measure; shifts: measure's result (its dx_first and
    dy_first are used) or an (n, 2) array of dx, dy per frame against the
    first frame. Output pixel (x, y) of frame k is frame k resampled at
    (x - dx, y - dy) by the library's ResampleAffine, the one the program's
    --aligned uses (the same frames and shifts give the same pixels); a
    result measured with a motion model has its whole motion undone (its
    a11_first .. a22_first about the frame's centre, as --aligned does):
    interpolation "cubic" (Keys, a = -0.5; the default), "linear" or
    "nearest"; results clipped to the dtype's range, integers rounded.
    fill goes wherever that position lies outside the frame
    ([0, width - 1] x [0, height - 1]), on every side alike; None: 0, NaN for
    floating-point frames. Returns the same kind of container (an array or a
    list), dtype and shape; int32 frames are rounded, bool frames set where
    the sample is at least half white.

        aligned = vantor.align(frames, vantor.measure(frames))

    With axes (or a Stack, which comes back as a Stack), every channel and
    slice of time point t is moved by t's shift.
    """
    if isinstance(frames, Stack):
        pixels = align(frames.pixels, shifts, interpolation=interpolation, fill=fill,
                       threads=threads, axes=frames.axes)
        return frames._replace(pixels=pixels)
    if axes is not None:
        return _stacks.align_planes(frames, axes, shifts,
                                    lambda f, s: align(f, s, interpolation=interpolation, fill=fill,
                                                      threads=threads))
    threads = _threads(threads)
    method = _INTERPOLATIONS.get(interpolation) if isinstance(interpolation, str) else None
    if method is None:
        _fail("interpolation", '"cubic", "linear" or "nearest"', interpolation,
              not isinstance(interpolation, str))
    value = _fill(fill, _first_dtype(frames))
    taken, dtype = _take_frames(frames, "align")
    out = _core.align(taken, shifts, interpolation=method, fill=value, threads=threads)
    if dtype is None:
        return out
    if isinstance(out, list):
        return [_narrowed(a, dtype) for a in out]
    return _narrowed(out, dtype)


def _table_shifts(path, count):
    """dx_first and dy_first of the program's CSV (dy turned to count rows
    down) as an (n, 2) array, rows matched to frames by their frame number;
    a motion model's CSV (with a11_first .. a22_first) as a record array of
    those six fields, which align undoes whole."""
    import csv
    matrix = ("a11_first", "a12_first", "a21_first", "a22_first")
    with open(path, newline="") as fh:
        reader = csv.reader(fh)
        header = next(reader, None)
        if header is None:
            raise ValueError("%s: the drift table is empty" % os.fspath(path))
        for name in ("frame", "dx_first", "dy_first"):
            if name not in header:
                raise ValueError("%s line 1: the header has no column %s"
                                 % (os.fspath(path), name))
        cf, cx, cy = (header.index(n) for n in ("frame", "dx_first", "dy_first"))
        turned = [n in header for n in matrix]
        if any(turned) and not all(turned):
            raise ValueError("%s line 1: the header has some of %s but not all four"
                             % (os.fspath(path), ", ".join(matrix)))
        cm = [header.index(n) for n in matrix] if all(turned) else []
        rows = {}
        for row in reader:
            if not row:
                continue
            where = "%s line %d" % (os.fspath(path), reader.line_num)
            try:
                frame, dx, dy = int(row[cf]), float(row[cx]), float(row[cy])
                m = tuple(float(row[c]) for c in cm)
            except (ValueError, IndexError):
                raise ValueError("%s: cannot be read as frame, dx_first, dy_first%s"
                                 % (where, ", a11_first .. a22_first" if cm else "")) from None
            if frame in rows:
                raise ValueError("%s: frame %d comes twice" % (where, frame))
            # Rows counted down: dy and the matrix's off-diagonal terms turn.
            rows[frame] = (dx, -dy) + ((m[0], -m[1], -m[2], m[3]) if m else ())
    if len(rows) != count:
        raise ValueError("apply: the table holds %d frames, but %d frames were given"
                         % (len(rows), count))
    if sorted(rows) != list(range(1, count + 1)):
        raise ValueError("apply: the table's frames are not numbered 1 to %d" % count)
    values = [rows[k] for k in range(1, count + 1)]
    if not cm:
        return np.array(values, dtype=np.float64)
    fields = [(n, np.float64) for n in ("dx_first", "dy_first") + matrix]
    return np.array(values, dtype=fields)


def apply(frames, table, *, interpolation="cubic", fill=None, threads=None):
    """Moves frames by a saved drift: align(frames, shifts) with the shifts of
    table, either measure's result or the path of a CSV the program wrote
    with --csv (its dx_first, dy_first; the program counts dy up the picture,
    so it is turned to count rows down; a motion model's a11_first ..
    a22_first too; rows matched to frames by their frame number, the counts
    must agree). The same frames and the program's CSV
    give the pixels of the program's --apply and --aligned.

        red = vantor.apply(red_frames, "/data/run7/drift.csv")
    """
    if isinstance(table, (str, bytes, os.PathLike)):
        count = len(frames) if isinstance(frames, (list, tuple, np.ndarray)) else 0
        table = _table_shifts(table, count)
    return align(frames, table, interpolation=interpolation, fill=fill, threads=threads)


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


def read_stack(path, *, max_frame_memory=None):
    """Reads a multi-page file as a Stack: its pixels in the axes the file
    says (ImageJ hyperstacks and OME-TIFF: time points, z-slices, channels),
    as a subset of "TZCYX" (axes of one left out; a plain multi-page file is
    "TYX"), with its pixel size, unit, z spacing and frame interval. 32-bit
    float files stay float32; other dtypes as read gives them. Raises
    OSError as read does, also for an OME-TIFF set of several files.

        stack = vantor.read_stack("cells.tif")   # stack.axes == "TCYX"
        drift = vantor.measure(stack, channel=1)
        moved = vantor.align(stack, drift)
    """
    return _stacks.read_stack(path, read, max_frame_memory)


def page_count(path):
    """The number of pages of an image file: the pages of a TIFF file, 1 for
    other formats. Raises OSError for a file that cannot be read."""
    return _core.page_count(path)
