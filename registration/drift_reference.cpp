// The reference side of the precise method: a frame smoothed over its
// compared rectangle and a margin, its gradients and Laplacian there, the
// noise they carry, and, where noise makes up most of them (faint, sparse
// fields), the gradients shrunk by their local signal share.
#include <cstdint>

#include "registration/drift_internal.h"

namespace vantor::drift {
namespace {

// The reference's smoothing reaches this far past its rectangle, so that a
// frame displaced by up to about this much from the next one needs no second
// smoothing as that pair's current frame.
constexpr int32_t kReuseMargin = 12;
// The reference's gradients are shrunk where their noise makes up more than
// this share of their mean energy over the compared area; their local
// energy is the mean over a Gaussian window of this sigma (pixels), about
// the size of a bead's gradients after smoothing.
constexpr double kShrinkShare = 0.5;
constexpr double kShrinkWindow = 2.5;

// The shrunk gradients of the reference (see ReferenceData): each pixel's
// gradient times max(0, 1 - noise energy / local energy), the Wiener factor
// of its signal share. In expectation the sum of their squares is then the
// signal's own, so the normal equations need no share of noise taken off.
// Empty when the gradients are mostly signal.
bool ShrinkGradients(ReferenceData* ref, const DriftKernels& k, Workspace& ws) {
  ref->shrunkX.Clear();  // empty, their memory kept for the next frame
  ref->shrunkY.Clear();
  const int32_t w = ref->gx.w, h = ref->gx.h;
  FloatImage& e = ws.shrinkEnergy;
  if (!e.Allocate(w, h)) return false;
  double sum = 0;
  for (int32_t y = 0; y < h; ++y) {
    const float* gx = ref->gx.Row(y);
    const float* gy = ref->gy.Row(y);
    float* er = e.Row(y);
    float row = 0;
    for (int32_t x = 0; x < w; ++x) {
      er[x] = gx[x] * gx[x] + gy[x] * gy[x];
      row += er[x];
    }
    sum += row;
  }
  const double noiseEnergy = 2.0 * ref->gradientNoise;
  if (!(noiseEnergy > kShrinkShare * sum / (static_cast<double>(w) * h))) return true;
  FloatImage& local = ws.energySmooth;
  if (!SmoothRegion(e, Rect{0, 0, w, h}, kShrinkWindow, &local, k, ws) ||
      !ref->shrunkX.Allocate(w, h) || !ref->shrunkY.Allocate(w, h))
    return false;
  const float n = static_cast<float>(noiseEnergy);
  for (int32_t y = 0; y < h; ++y) {
    const float* m = local.Row(y);
    const float* gx = ref->gx.Row(y);
    const float* gy = ref->gy.Row(y);
    float* sx = ref->shrunkX.Row(y);
    float* sy = ref->shrunkY.Row(y);
    for (int32_t x = 0; x < w; ++x) {
      const float f = m[x] > n ? 1.0f - n / m[x] : 0.0f;
      sx[x] = f * gx[x];
      sy[x] = f * gy[x];
    }
  }
  return true;
}

}  // namespace

bool PrepareReference(const FloatImage& full, const Rect& mask, double sigma, double noise,
                      ReferenceData* ref, const DriftKernels& k, Workspace& ws, bool shrink) {
  if (mask.Area() <= 0) return false;
  // The gradients need one pixel around the rectangle; the rest of the margin
  // lets the frame be refined as a current frame from this smoothing.
  constexpr int32_t m = 1 + kReuseMargin;
  ref->wideRect = Rect{mask.x0 - m, mask.y0 - m, mask.x1 + m, mask.y1 + m};
  if (!SmoothRegion(full, ref->wideRect, sigma, &ref->wide, k, ws)) return false;
  const FloatImage& s = ref->wide;
  const int32_t w = mask.Width(), h = mask.Height();
  ref->rect = mask;
  if (!ref->gx.Allocate(w, h) || !ref->gy.Allocate(w, h) || !ref->lap.Allocate(w, h))
    return false;
  for (int32_t y = 0; y < h; ++y) {
    const float* mid = s.Row(y + m) + (m - 1);
    k.gradient_row(mid + s.pitch, mid, mid - s.pitch, w, ref->gx.Row(y), ref->gy.Row(y),
                   ref->lap.Row(y));
  }
  ref->sigma = sigma;
  ref->gradientNoise = noise * noise * NoiseGain(sigma) * 0.5;
  ref->valueNoise = noise * noise * ValueNoiseGain(sigma);
  if (!shrink) {
    ref->shrunkX.Clear();
    ref->shrunkY.Clear();
    return true;
  }
  return ShrinkGradients(ref, k, ws);
}

}  // namespace vantor::drift
