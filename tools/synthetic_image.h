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

// Sparse point sources: a star field of count stars 1 to 1.6 pixels wide.
inline std::vector<Blob> MakeStars(int w, int h, int count, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> ux(-0.2 * w, 1.2 * w), uy(-0.2 * h, 1.2 * h);
  std::uniform_real_distribution<double> us(1.0, 1.6), ua(30.0, 200.0);
  std::vector<Blob> stars(static_cast<size_t>(count));
  for (auto& b : stars) b = {ux(rng), uy(rng), us(rng), ua(rng)};
  return stars;
}

// The field displaced by (dx, dy), as values, row 0 first: the value at (x, y)
// is the field at (x - dx, y - dy), so a feature at p moves to p + d. Only
// blobs within 4 sigma of a pixel are summed.
inline std::vector<double> RenderValues(const std::vector<Blob>& blobs, int w, int h, double dx,
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
  return acc;
}

// Values rounded and clipped to 0..255.
inline std::vector<uint8_t> ToBytes(const std::vector<double>& v) {
  std::vector<uint8_t> out(v.size());
  for (size_t i = 0; i < v.size(); ++i) {
    const double r = std::round(v[i]);
    out[i] = static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
  }
  return out;
}

// 8-bit pixels of the displaced field (see RenderValues).
inline std::vector<uint8_t> RenderBlobs(const std::vector<Blob>& blobs, int w, int h, double dx,
                                        double dy, double offset = 80.0) {
  return ToBytes(RenderValues(blobs, w, h, dx, dy, offset));
}

// Adds Gaussian noise of the given standard deviation.
inline void AddNoise(std::vector<double>& v, double sigma, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> n(0.0, sigma);
  for (double& x : v) x += n(rng);
}

// Gaussian blur (edges replicated), as a lens out of focus.
inline std::vector<double> Blur(const std::vector<double>& v, int w, int h, double sigma) {
  const int r = static_cast<int>(std::ceil(3 * sigma));
  std::vector<double> k(2 * r + 1);
  double s = 0;
  for (int i = -r; i <= r; ++i) s += k[i + r] = std::exp(-0.5 * i * i / (sigma * sigma));
  for (double& x : k) x /= s;
  std::vector<double> t(v.size()), out(v.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double a = 0;
      for (int i = -r; i <= r; ++i) a += k[i + r] * v[static_cast<size_t>(y) * w + std::clamp(x + i, 0, w - 1)];
      t[static_cast<size_t>(y) * w + x] = a;
    }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      double a = 0;
      for (int i = -r; i <= r; ++i) a += k[i + r] * t[static_cast<size_t>(std::clamp(y + i, 0, h - 1)) * w + x];
      out[static_cast<size_t>(y) * w + x] = a;
    }
  return out;
}

}  // namespace vantor::tools

#endif
