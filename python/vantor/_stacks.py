"""Hyperstacks: files whose pages are time points of channels and z-slices
(ImageJ, OME-TIFF) read as one array with its axes, and arrays with axes
reduced to the frames that are measured or moved time point by time point."""

import collections

import numpy as np

from vantor import _core

Stack = collections.namedtuple(
    "Stack", "pixels axes pixel_size unit z_spacing frame_interval", module="vantor")
Stack.__doc__ = """\
A file's pixels with their axes (see read_stack): pixels is a numpy array
whose axes axes names, a subset of "TZCYX" in that order; pixel_size is
(width, height) of a pixel in unit (0 when the file does not say), z_spacing
the distance between slices in unit and frame_interval the time between
time points in seconds (0 when not said)."""

_ORDER = "TZCYX"


def read_stack(path, read, max_frame_memory=None):
    info = _core.stack_axes(path)
    c, z, t = info["channels"], info["slices"], info["times"]
    sc, sz, st = info["strides"]
    first = read(path, 1, max_frame_memory=max_frame_memory)
    if first.ndim != 2:
        raise ValueError(f"{path}: colour pages are not a stack of grey planes")
    dtype = np.float32 if info["float32"] else first.dtype
    out = np.empty((t, z, c) + first.shape, dtype)
    for ti in range(t):
        for zi in range(z):
            for ci in range(c):
                page = 1 + ci * sc + zi * sz + ti * st
                out[ti, zi, ci] = first if page == 1 else read(
                    path, page, max_frame_memory=max_frame_memory)
    keep = [i for i, n in enumerate((t, z, c)) if n > 1]
    axes = "".join(_ORDER[i] for i in keep) + "YX"
    out = out.reshape(tuple(out.shape[i] for i in keep) + first.shape)
    return Stack(out, axes, info["pixel_size"], info["unit"], info["z_spacing"],
                 info["frame_interval"])


def _tzc(frames, axes):
    """frames as a (T, Z, C, Y, X) view, with the order back to axes;
    slices only are time points, as the program takes them."""
    if not isinstance(axes, str) or len(set(axes)) != len(axes) or not axes.endswith("YX") or \
            any(a not in _ORDER for a in axes):
        raise ValueError(f'axes must be a subset of "TZCYX" ending in "YX", not {axes!r}')
    a = np.asarray(frames)
    if a.ndim != len(axes):
        raise ValueError(f"axes {axes!r} name {len(axes)} axes; the frames have {a.ndim}")
    if "T" not in axes and "Z" in axes:
        axes = axes.replace("Z", "T")
    for name in "TZC":
        if name not in axes:
            a = a[np.newaxis]
            axes = name + axes
    src = [axes.index(n) for n in _ORDER]
    return np.transpose(a, src), src


def planes(frames, axes, channel, z):
    """The frames measured: one per time point, of channel (from 1) and z
    ("max", "mean" or a slice from 1)."""
    a, _ = _tzc(frames, axes)
    t, nz, nc = a.shape[:3]
    if not isinstance(channel, (int, np.integer)) or isinstance(channel, bool) or channel < 1:
        raise ValueError(f"channel must be a whole number from 1, not {channel!r}")
    if channel > nc:
        raise ValueError(f"channel {channel}: the frames have {nc} channel{'s' * (nc != 1)}")
    a = a[:, :, channel - 1]
    if z == "max":
        return a.max(axis=1)
    if z == "mean":
        if a.dtype.kind in "ui":
            return np.floor(a.mean(axis=1) + 0.5).astype(a.dtype)
        return a.mean(axis=1).astype(a.dtype)
    if isinstance(z, (int, np.integer)) and not isinstance(z, bool) and z >= 1:
        if z > nz:
            raise ValueError(f"z {z}: the frames have {nz} slice{'s' * (nz != 1)}")
        return a[:, z - 1]
    raise ValueError(f'z must be "max", "mean" or a slice number from 1, not {z!r}')


def align_planes(frames, axes, shifts, align):
    """Every plane of time point t moved by t's shift, in frames' own axes."""
    a, src = _tzc(frames, axes)
    t = a.shape[0]
    if isinstance(shifts, np.ndarray) and shifts.dtype.names:
        rows = np.stack([shifts["dx_first"], shifts["dy_first"]], axis=1)
    else:
        rows = np.asarray(shifts, dtype=np.float64)
    if rows.shape != (t, 2):
        raise ValueError(f"shifts must give {t} time points a dx and dy, not shape {rows.shape}")
    per = a.shape[1] * a.shape[2]
    flat = np.ascontiguousarray(a).reshape((t * per,) + a.shape[3:])
    # A motion model's result goes whole, so that its matrices are undone too.
    turned = isinstance(shifts, np.ndarray) and "a11_first" in (shifts.dtype.names or ())
    moved = align(flat, np.repeat(shifts if turned else rows, per, axis=0)).reshape(a.shape)
    back = np.transpose(moved, np.argsort(src))
    return back.reshape(np.asarray(frames).shape)
