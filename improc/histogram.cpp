// The 8-bit histogram with the sum of the pixel values, which is taken from
// the counts (the same value modulo 2^32 as adding every pixel). The counting
// is the histogram kernel's.
#include "improc/pixelops.h"
#include "kernels/kernels.h"

extern "C" uint32_t PictHist(const uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                             int32_t* histogram) {
  uint32_t counts[256];
  tmHist8(pixels, width, height, pitch, counts, 1);
  uint32_t sum = 0;
  for (uint32_t v = 0; v < 256; ++v) {
    histogram[v] = static_cast<int32_t>(counts[v]);
    sum += v * counts[v];
  }
  return sum;
}
