// Smooth textured test pictures: a sum of Gaussian blobs evaluated
// analytically, so that a copy displaced by any sub-pixel amount is exact.
#ifndef VANTOR_TOOLS_SYNTHETIC_IMAGE_H
#define VANTOR_TOOLS_SYNTHETIC_IMAGE_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace vantor::tools {

struct Blob {
  double x, y, sigma, amplitude;
};

// Blobs spread over a w x h field (with a margin so that shifted copies stay textured).
inline std::vector<Blob> MakeBlobs(int w, int h, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(-0.1 * w, 1.1 * w), uy(-0.1 * h, 1.1 * h);
  std::uniform_real_distribution<double> us(2.0, 2.0 + 0.03 * (w < h ? w : h));
  std::uniform_real_distribution<double> ua(-60.0, 90.0);
  std::vector<Blob> blobs(static_cast<size_t>(count));
  for (auto& b : blobs) b = {ux(rng), uy(rng), us(rng), ua(rng)};
  return blobs;
}

// 8-bit pixels, row 0 first, of the field displaced by (dx, dy): the value at
// (x, y) is the field at (x - dx, y - dy), so a feature at p moves to p + d.
// Only blobs within 4 sigma of a pixel are summed.
inline std::vector<uint8_t> RenderBlobs(const std::vector<Blob>& blobs, int w, int h, double dx,
                                        double dy, double offset = 80.0) {
  std::vector<double> acc(static_cast<size_t>(w) * h, offset);
  for (const Blob& b : blobs) {
    const double r = 4.0 * b.sigma;
    const double cx = b.x + dx, cy = b.y + dy;
    const int x0 = std::max(0, static_cast<int>(std::floor(cx - r)));
    const int x1 = std::min(w - 1, static_cast<int>(std::ceil(cx + r)));
    const int y0 = std::max(0, static_cast<int>(std::floor(cy - r)));
    const int y1 = std::min(h - 1, static_cast<int>(std::ceil(cy + r)));
    const double k = -0.5 / (b.sigma * b.sigma);
    for (int y = y0; y <= y1; ++y)
      for (int x = x0; x <= x1; ++x) {
        const double ddx = x - cx, ddy = y - cy;
        acc[static_cast<size_t>(y) * w + x] += b.amplitude * std::exp(k * (ddx * ddx + ddy * ddy));
      }
  }
  std::vector<uint8_t> out(acc.size());
  for (size_t i = 0; i < acc.size(); ++i) {
    const double v = std::round(acc[i]);
    out[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
  return out;
}

}  // namespace vantor::tools

#endif
