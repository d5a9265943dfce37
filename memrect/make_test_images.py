#!/usr/bin/python3
"""Writes image files for the loader tests with writers independent of ours:
tifffile, tiffcp (libtiff-tools) and PIL, in the compressions, layouts and
sample formats the loader must read, plus the raw pixels each must give.

  make_test_images.py OUTDIR [png]

OUTDIR/manifest.txt has one line per file:
  file reference dtype height width channels pages check
where reference is a raw C-order array (pages x height x width x channels, in
machine byte order) of what the file holds, dtype a numpy type name ("bool"
for bilevel) and check "exact" or "lossy". Exit status 3: a writer is missing.
"""
import os
import subprocess
import sys

try:
    import numpy as np
    import tifffile
    from PIL import Image
except ImportError as e:
    print("missing:", e)
    sys.exit(3)

OUT = sys.argv[1]
WANT_PNG = len(sys.argv) > 2 and sys.argv[2] == "png"
H, W = 37, 53  # awkward sizes: partial strips and tiles
lines = []


def ramp(dtype, channels=1, pages=1, seed=0):
    rng = np.random.default_rng(seed)
    shape = (pages, H, W, channels)
    if dtype == "bool":
        return rng.integers(0, 2, shape).astype(bool)
    if np.issubdtype(np.dtype(dtype), np.floating):
        a = rng.normal(0, 1000, shape).astype(dtype)
        a.flat[0], a.flat[1], a.flat[2], a.flat[3] = np.nan, np.inf, -np.inf, -0.0
        return a
    info = np.iinfo(dtype)
    a = rng.integers(info.min, int(info.max) + 1, shape, dtype=np.int64).astype(dtype)
    a.flat[0], a.flat[1] = info.min, info.max
    return a


def reference(name, a):
    path = os.path.join(OUT, name + ".raw")
    np.ascontiguousarray(a.astype(np.float64) if a.dtype == np.float16 else a).tofile(path)
    return path


def add(path, ref, a, check="exact"):
    dtype = "bool" if a.dtype == bool else "float64" if a.dtype == np.float16 else a.dtype.name
    lines.append(f"{path} {ref} {dtype} {a.shape[1]} {a.shape[2]} {a.shape[3]} {a.shape[0]} {check}")


def squeeze(a):
    b = a[0] if a.shape[0] == 1 else a
    return b[..., 0] if b.shape[-1] == 1 else b


def tiffcp(src, name, *opts):
    dst = os.path.join(OUT, name)
    subprocess.run(["tiffcp", *opts, src, dst], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return dst


def have_tiffcp():
    try:
        subprocess.run(["tiffcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return True
    except OSError:
        return False


def tiffs():
    if not have_tiffcp():
        print("missing: tiffcp")
        sys.exit(3)
    sets = {
        "g8": ramp(np.uint8, seed=1),
        "g16": ramp(np.uint16, seed=2),
        "s16": ramp(np.int16, seed=3),
        "f32": ramp(np.float32, seed=4),
        "f64": ramp(np.float64, seed=5),
        "f16": ramp(np.float16, seed=6),
        "rgb8": ramp(np.uint8, 3, seed=7),
        "rgb16": ramp(np.uint16, 3, seed=8),
        "frgb": ramp(np.float32, 3, seed=9),
        "stack": ramp(np.uint16, pages=4, seed=10),
        "b1": ramp("bool", seed=11),
    }
    for name, a in sets.items():
        ref = reference(name, a)
        colour = a.shape[3] == 3
        photometric = "rgb" if colour else "minisblack"
        floating = a.dtype.kind == "f"
        base = os.path.join(OUT, name + ".tif")
        tifffile.imwrite(base, squeeze(a), photometric=photometric)
        add(base, ref, a)
        if a.dtype == bool:  # tifffile compresses no bilevel data: libtiff's encoders
            for codec in ("g4", "g3", "packbits", "lzw"):
                add(tiffcp(base, f"{name}_{codec}.tif", "-c", codec), ref, a)
            add(tiffcp(base, f"{name}_tiles.tif", "-c", "g4", "-t", "-w", "16", "-l", "16"), ref, a)
            continue
        # tifffile's own Deflate, predictor, tiles, planes, BigTIFF, byte order.
        t = lambda suffix, **kw: tifffile.imwrite(p := os.path.join(OUT, f"{name}_{suffix}.tif"),
                                                 squeeze(a), photometric=photometric, **kw) or p
        add(t("zlib", compression="zlib"), ref, a)
        if not floating:
            add(t("zlib_pred", compression="zlib", predictor=True), ref, a)
        add(t("tiles", tile=(16, 16)), ref, a)
        add(t("tiles_zlib_big", tile=(32, 16), compression="zlib", bigtiff=True), ref, a)
        add(t("mm", byteorder=">", compression="zlib", rowsperstrip=5), ref, a)
        if colour:
            p = os.path.join(OUT, f"{name}_planar.tif")
            tifffile.imwrite(p, np.moveaxis(squeeze(a), -1, 0), photometric="rgb",
                             planarconfig="separate", compression="zlib")
            add(p, ref, a)
        # libtiff's encoders through tiffcp.
        pred = "3" if floating else "2"
        variants = [
            ("lzw", ["-c", "lzw"]),
            ("lzw_pred", ["-c", "lzw:" + pred]),
            ("zip_pred", ["-c", "zip:" + pred]),
            ("packbits", ["-c", "packbits"]),
            ("zstd_pred", ["-c", "zstd:" + pred]),
            ("lzma", ["-c", "lzma"]),
            ("lzw_tiles", ["-c", "lzw:" + pred, "-t", "-w", "16", "-l", "32"]),
            # libtiff's own writer and reader disagree on the floating-point
            # predictor in big-endian files: big-endian floats without it.
            ("lzw_strips_mm", ["-c", "lzw:" + ("1" if floating else pred), "-r", "3", "-B"]),
            ("zip_big", ["-c", "zip", "-8"]),
        ]
        if colour and a.dtype == np.uint8:  # tiffcp changes planes of 8-bit samples only
            variants.append(("lzw_planar_tiles", ["-c", "lzw:" + pred, "-p", "separate", "-t"]))
        if name == "f16":
            variants = [v for v in variants if "pred" not in v[0]]
        for suffix, opts in variants:
            add(tiffcp(base, f"{name}_{suffix}.tif", *opts), ref, a)
    # JPEG inside TIFF: lossy, colour as YCbCr and as RGB.
    rgb = sets["rgb8"]
    smooth = np.clip(np.indices((H, W)).sum(0)[None, ..., None] * 2 + np.array([0, 60, 120]),
                     0, 255).astype(np.uint8)
    ref = reference("smooth", smooth)
    src = os.path.join(OUT, "smooth.tif")
    tifffile.imwrite(src, smooth[0], photometric="rgb")
    add(tiffcp(src, "smooth_jpeg.tif", "-c", "jpeg:90"), ref, smooth, "lossy")
    add(tiffcp(src, "smooth_jpeg_rgb.tif", "-c", "jpeg:r:90"), ref, smooth, "lossy")
    # PIL: alpha dropped, CMYK converted, palette indices kept.
    rgba = np.concatenate([rgb, np.full((1, H, W, 1), 77, np.uint8)], axis=3)
    ref = reference("rgb8_alpha", rgb)
    p = os.path.join(OUT, "pil_rgba_lzw.tif")
    Image.fromarray(rgba[0], "RGBA").save(p, compression="tiff_lzw")
    add(p, ref, rgb)
    grey = sets["g8"]
    la = np.concatenate([grey, np.full((1, H, W, 1), 200, np.uint8)], axis=3)
    p = os.path.join(OUT, "pil_la_deflate.tif")
    Image.fromarray(la[0], "LA").save(p, compression="tiff_adobe_deflate")
    add(p, reference("g8_la", grey), grey)
    cmy = rgb.copy()
    cmyk = np.concatenate([255 - cmy, np.zeros((1, H, W, 1), np.uint8)], axis=3)
    p = os.path.join(OUT, "pil_cmyk.tif")
    Image.fromarray(cmyk[0], "CMYK").save(p, compression="packbits")
    add(p, reference("cmyk_rgb", cmy), cmy)
    p = os.path.join(OUT, "pil_palette_lzw.tif")
    pal = Image.fromarray(grey[0, ..., 0], "L").convert("P")
    pal.save(p, compression="tiff_lzw")
    idx = np.asarray(pal)[None, ..., None]
    add(p, reference("palette_idx", idx), idx)
    p = os.path.join(OUT, "pil_i16_lzw.tif")
    Image.fromarray(sets["g16"][0, ..., 0]).save(p, compression="tiff_lzw")
    add(p, reference("g16_pil", sets["g16"]), sets["g16"])


def png_chunk(kind, data):
    import zlib
    body = kind + data
    return len(data).to_bytes(4, "big") + body + (zlib.crc32(body) & 0xFFFFFFFF).to_bytes(4, "big")


def write_png(path, a, colour_type, interlace=False):
    """A PNG writer of our own for what PIL cannot write (16-bit colour)."""
    import zlib
    img = a[0]
    big = img.astype(img.dtype.newbyteorder(">")) if img.dtype.itemsize == 2 else img
    raw = b"".join(b"\0" + big[y].tobytes() for y in range(img.shape[0]))
    depth = img.dtype.itemsize * 8
    ihdr = (img.shape[1].to_bytes(4, "big") + img.shape[0].to_bytes(4, "big") +
            bytes([depth, colour_type, 0, 0, 0]))
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", ihdr) +
                png_chunk(b"IDAT", zlib.compress(raw, 6)) + png_chunk(b"IEND", b""))


def pngs():
    g8 = ramp(np.uint8, seed=21)
    g16 = ramp(np.uint16, seed=22)
    rgb8 = ramp(np.uint8, 3, seed=23)
    rgb16 = ramp(np.uint16, 3, seed=24)
    save = lambda name, img, **kw: img.save(p := os.path.join(OUT, name), **kw) or p
    add(save("g8.png", Image.fromarray(g8[0, ..., 0], "L")), reference("pg8", g8), g8)
    add(save("g8_interlaced.png", Image.fromarray(g8[0, ..., 0], "L"), interlace=1),
        reference("pg8i", g8), g8)
    add(save("g16.png", Image.fromarray(g16[0, ..., 0].astype(np.int32), "I").convert("I;16")),
        reference("pg16", g16), g16)
    add(save("rgb8.png", Image.fromarray(rgb8[0], "RGB")), reference("prgb8", rgb8), rgb8)
    rgba = np.concatenate([rgb8, np.full((1, H, W, 1), 9, np.uint8)], axis=3)
    add(save("rgba8.png", Image.fromarray(rgba[0], "RGBA")), reference("prgba8", rgb8), rgb8)
    la = np.concatenate([g8, np.full((1, H, W, 1), 9, np.uint8)], axis=3)
    add(save("la8.png", Image.fromarray(la[0], "LA")), reference("pla8", g8), g8)
    pal = Image.fromarray(rgb8[0], "RGB").quantize(colors=200)
    expanded = np.asarray(pal.convert("RGB"))[None]
    add(save("palette.png", pal), reference("ppal", expanded), expanded)
    p = os.path.join(OUT, "rgb16.png")
    write_png(p, rgb16, 2)
    add(p, reference("prgb16", rgb16), rgb16)
    rgba16 = np.concatenate([rgb16, np.full((1, H, W, 1), 5, np.uint16)], axis=3)
    p = os.path.join(OUT, "rgba16.png")
    write_png(p, rgba16, 6)
    add(p, reference("prgba16", rgb16), rgb16)
    bits = ramp("bool", seed=25)
    p = save("bilevel.png", Image.fromarray(bits[0, ..., 0]).convert("1"))
    grey = (bits.astype(np.uint8) * 255)
    add(p, reference("pbits", grey), grey)


if WANT_PNG:
    pngs()
else:
    tiffs()
with open(os.path.join(OUT, "manifest.txt"), "w") as f:
    f.write("\n".join(lines) + "\n")
