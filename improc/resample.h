/* Resampling of a frame through an affine map with cubic, linear or nearest
 * interpolation and one fill rule on every side: the operation behind the
 * aligned frames of the program, the sequence engine and the Python module.
 * Buffer-level: the caller's memory, any row pitch. */
#ifndef VANTOR_IMPROC_RESAMPLE_H
#define VANTOR_IMPROC_RESAMPLE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Sample types of ResampleAffine (each pixel holds `channels` of them). */
enum {
  kResampleU8 = 0,  /* unsigned 8-bit */
  kResampleU16 = 1, /* unsigned 16-bit */
  kResampleF32 = 2, /* 32-bit float */
  kResampleF64 = 3, /* 64-bit float */
  kResampleS32 = 4  /* signed 32-bit */
};

/* Interpolations of ResampleAffine. */
enum {
  kResampleNearest = 0, /* the pixel at floor(s + 0.5) */
  kResampleLinear = 1,  /* bilinear, 2 x 2 pixels */
  kResampleCubic = 2    /* cubic convolution (Keys, a = -0.5), 4 x 4 pixels */
};

/* Resamples src (srcWidth x srcHeight) into dst (dstWidth x dstHeight): every
 * destination pixel (x, y) takes the source at sx = m0 x + m1 y + m2,
 * sy = m3 x + m4 y + m5 (matrix: six doubles, row order, destination to
 * source). Both buffers hold `type` samples, `channels` (1 to 4) interleaved
 * per pixel, each channel resampled alone; pitches are in bytes and may be
 * negative (the addresses are those of row 0); the buffers must not overlap.
 *
 * A destination pixel is the fill value exactly when (sx, sy) lies outside
 * [0, srcWidth - 1] x [0, srcHeight - 1] (a position within 1e-6 of a whole
 * number counts as that number, so a whole-pixel shift copies the edge);
 * on every side alike. Inside, taps beyond the edge take the nearest edge
 * pixel, and taps of weight 0 are left out (a whole-pixel shift copies every
 * value exactly, NaN included, without its neighbours).
 * The weights of each axis apply one after the other (columns within each
 * source row, then rows), in float for 8- and 16-bit samples and in double
 * for the others; results are clipped to the type's range, integers rounded
 * half up. A pure translation (m0 = m4 = 1, m1 = m3 = 0) takes a separable
 * path with constant weights; every kernel mode gives the same pixels.
 *
 * fill: for integer types a number within the type's range (rounded half
 * up), for float types any value including NaN (float32: within its range).
 * Returns 0, or -1 (kind PARAMETER: a null buffer, a size below 1, a
 * channel count, type or interpolation not listed, a fill out of range;
 * kind MEMORY). */
VANTOR_API int32_t ResampleAffine(const void* src, int32_t srcWidth, int32_t srcHeight,
                                  int64_t srcPitch, void* dst, int32_t dstWidth,
                                  int32_t dstHeight, int64_t dstPitch, int32_t type,
                                  int32_t channels, const double* matrix, int32_t interpolation,
                                  double fill);

/* The matrix (six doubles into m, as ResampleAffine takes it, for memory whose
 * first row is the picture's top) that moves a frame of width x height back
 * onto the reference through a motion measured with y counting up the picture
 * (the program's table): a feature at p of the frame lies at
 * A (p - c) + c + (dx, dy) of the reference, c the frame's centre
 * ((width - 1) / 2, (height - 1) / 2), A = (a[0] a[1]; a[2] a[3]) or the
 * identity when a is null. Output pixel q takes the frame at
 * A^-1 (q - c - d) + c (rows turned over). Returns 0, or -1 (kind
 * PARAMETER) for a singular or non-finite A or displacement. */
VANTOR_API int32_t ResampleMotionMatrix(const double* a, double dx, double dy, int32_t width,
                                        int32_t height, double* m);

/* Nonzero when fill is a valid fill value for `type` as ResampleAffine takes it. */
VANTOR_API int32_t ResampleFillValid(int32_t type, double fill);

VANTOR_END_C

#endif
