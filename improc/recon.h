/* Morphological reconstruction of binary masks: the mask pixels connected to
 * a marker. */
#ifndef VANTOR_IMPROC_RECON_H
#define VANTOR_IMPROC_RECON_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Reduces the 1-bit marker (width x height, in place) to the pixels of the
 * 1-bit mask that can be reached from a pixel set in both by steps between
 * set mask pixels that are left, right, above or below one another (4-
 * connectivity). Bits past the width and bytes past each row's last byte are
 * neither read as pixels nor written. mask and marker may be the same memory;
 * other overlaps are not supported. Pixel addresses are those of pixel (0, 0);
 * the arguments are not checked. */
VANTOR_API void MaskReconMask(const uint8_t* maskPixels, int32_t width, int32_t height,
                              int32_t maskPitch, uint8_t* markerPixels, int32_t markerPitch);

VANTOR_END_C

#endif
