// The grey-level reconstruction behind mrReconstruct, reachable for tests and
// benchmarks.
#ifndef VANTOR_IMPROC_RECON_INTERNAL_H
#define VANTOR_IMPROC_RECON_INTERNAL_H

#include <cstddef>
#include <cstdint>

namespace vantor {

// Grey reconstruction by dilation with 8-connectivity: the 8-bit marker
// (in place) becomes the fixed point of marker := min(mask, 3 x 3 dilation of
// marker). mask and marker may be the same memory; other overlaps are not
// supported. Returns the number of raster passes made (at least 2), or -1
// when scratch memory cannot be had (nothing changed).
int32_t GreyReconstruct(const uint8_t* mask, int32_t width, int32_t height, ptrdiff_t maskPitch,
                        uint8_t* marker, ptrdiff_t markerPitch);

}  // namespace vantor

#endif
