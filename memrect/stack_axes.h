/* What the pages of a multi-page TIFF file are: time points, channels and
 * z-slices, as an ImageJ hyperstack (the first page's ImageDescription with
 * images=, channels=, slices=, frames=) or an OME-TIFF (OME-XML in the first
 * ImageDescription) says, with the file's calibration.
 *
 * Every count is checked against the file's pages: a description whose
 * counts do not multiply to the page count, that is malformed or absurd, is
 * ignored and the file is plain pages (one time point each). An OME-TIFF
 * whose planes lie in other files is refused. Safe in several threads. */
#ifndef VANTOR_MEMRECT_STACK_AXES_H
#define VANTOR_MEMRECT_STACK_AXES_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Where a file's axes came from. */
#define VANTOR_STACK_PLAIN 0  /* nothing said: every page a time point */
#define VANTOR_STACK_IMAGEJ 1 /* an ImageJ description */
#define VANTOR_STACK_OME 2    /* OME-XML */

typedef struct VantorStackAxes {
  int32_t kind;                 /* VANTOR_STACK_* */
  int32_t pages;                /* the file's pages */
  int32_t channels, slices, times; /* sizes of C, Z and T (product: pages) */
  /* Page (1-based) of channel c, slice z, time t (0-based each):
   * 1 + c * strideC + z * strideZ + t * strideT. */
  int32_t strideC, strideZ, strideT;
  int32_t width, height;        /* of the first page */
  int32_t bitsPerSample;        /* of the first page */
  int32_t sampleFormat;         /* 1 unsigned, 2 signed, 3 floating point */
  int32_t samplesPerPixel;      /* of the first page */
  double pixelWidth, pixelHeight; /* in unit; 0 when the file does not say */
  double zSpacing;              /* between slices, in unit; 0 when not said */
  double frameInterval;         /* between time points in seconds; 0 when not said */
  char unit[32];                /* of the pixel size ("" when not said) */
} VantorStackAxes;

/* Fills *axes for the file at path (any image file: a file of one page, BMP,
 * PNG or JPEG is plain with one page). Returns 0, or -1 (kind FILE: missing
 * or unreadable; FORMAT: of no known format, or an OME-TIFF set of several
 * files, naming the file). */
VANTOR_API int32_t mrStackAxes(const char* path, VantorStackAxes* axes);

VANTOR_END_C

#endif
