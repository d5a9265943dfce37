// The 8-bit histogram kernel. Counts go to four interleaved tables so that
// runs of equal bytes do not serialise on one counter, and the sum of the
// pixel values is taken from the counts at the end (the same value modulo 2^32
// as adding every pixel).
#include <cstddef>
#include <cstring>

#include "improc/pixelops.h"

namespace {

void CountRun(const uint8_t* p, size_t n, uint32_t (&h)[4][256]) {
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t v;
    std::memcpy(&v, p + i, 8);
    ++h[0][v & 0xFF];
    ++h[1][(v >> 8) & 0xFF];
    ++h[2][(v >> 16) & 0xFF];
    ++h[3][(v >> 24) & 0xFF];
    ++h[0][(v >> 32) & 0xFF];
    ++h[1][(v >> 40) & 0xFF];
    ++h[2][(v >> 48) & 0xFF];
    ++h[3][v >> 56];
  }
  for (; i < n; ++i) ++h[i & 3][p[i]];
}

}  // namespace

extern "C" uint32_t PictHist(const uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                             int32_t* histogram) {
  uint32_t h[4][256];
  std::memset(h, 0, sizeof h);
  if (width > 0 && height > 0) {
    if (pitch == width) {
      // Rows without padding: one run, so the block loop does not break at row ends.
      CountRun(pixels, static_cast<size_t>(width) * static_cast<size_t>(height), h);
    } else {
      for (int32_t y = 0; y < height; ++y) {
        CountRun(pixels + static_cast<ptrdiff_t>(y) * pitch, static_cast<size_t>(width), h);
      }
    }
  }
  uint32_t sum = 0;
  for (uint32_t v = 0; v < 256; ++v) {
    const uint32_t c = h[0][v] + h[1][v] + h[2][v] + h[3][v];
    histogram[v] = static_cast<int32_t>(c);
    sum += v * c;
  }
  return sum;
}
