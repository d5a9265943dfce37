// What moves on its own, found among the refinement's rejected residuals:
// a template over how the residuals are read, so that the refinement's own
// model of the pair gives them.
#ifndef VANTOR_REGISTRATION_DRIFT_MOVERS_H
#define VANTOR_REGISTRATION_DRIFT_MOVERS_H

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "generic/last_error.h"
#include "registration/drift_internal.h"

namespace vantor::drift {

// A residual left out of the fit: beyond any weight's limit, its square
// still finite in float.
inline constexpr float kLeftOut = 1e15f;

// What moves on its own (people walking by, a passing car) leaves whole
// regions of rejected residuals, but along their soft edges the residuals
// pass the robust weights while the reference's gradients there are the
// mover's own: enough of them pull the shift. A block of 8 x 8 pixels is a
// mover's when more than half of it is rejected (on every other pixel) and
// what the two frames show there hardly correlates (below 0.5): something
// came or went. A bright point source not yet aligned is rejected too, but
// both frames show it (correlation 1 - (shift / its width)^2 / 2); isolated
// outliers (hot pixels, cosmic rays and trails) never fill half a block: a
// scene without movers is compared as before. The movers' blocks
// and those around them are left out (residuals set beyond any weight);
// *ring gets how many compared pixels were left out around them (not
// counted as compared: they may well fit). at(x, y, &a, &e) gives the
// reference and the model error at a pixel. False only for memory.
template <typename At>
bool ExcludeMovers(FloatImage& resid, int32_t w, int32_t h, int32_t rowStep, float c,
                   const At& at, Workspace& ws, int64_t* ring) {
  *ring = 0;
  constexpr int32_t kBlock = 8;
  const int32_t gw = (w + kBlock - 1) / kBlock, gh = (h + kBlock - 1) / kBlock;
  const size_t blocks = static_cast<size_t>(gw) * gh;
  // Per block: samples and rejected ones, then whether it is a mover's.
  std::vector<int32_t>& count = ws.moverBlocks;
  try {
    count.assign(2 * blocks, 0);
  } catch (const std::bad_alloc&) {
    return vantor::err::FailMemory(), false;
  }
  const int32_t step = 2 * rowStep;
  float a, e;
  for (int32_t y = 0; y < h; y += step) {
    int32_t* row = count.data() + 2 * static_cast<size_t>(y / kBlock) * gw;
    for (int32_t x = 0; x < w; x += 2) {
      at(x, y, &a, &e);
      row[2 * (x / kBlock)] += 1;
      row[2 * (x / kBlock) + 1] += std::fabs(e) >= c ? 1 : 0;
    }
  }
  // The blocks more than half rejected: do both frames show the same there?
  // (q = a + e, what the current frame shows in the reference's terms.)
  bool any = false;
  for (int32_t by = 0; by < gh; ++by)
    for (int32_t bx = 0; bx < gw; ++bx) {
      int32_t* b = count.data() + 2 * (static_cast<size_t>(by) * gw + bx);
      const bool rejected = b[0] >= 4 && 2 * b[1] > b[0];
      b[1] = 0;
      if (!rejected) continue;
      double sa = 0, saa = 0, sq = 0, sqq = 0, saq = 0;
      const int32_t y0 = (by * kBlock + step - 1) / step * step;
      for (int32_t y = y0; y < std::min(h, (by + 1) * kBlock); y += step)
        for (int32_t x = bx * kBlock; x < std::min(w, (bx + 1) * kBlock); x += 2) {
          at(x, y, &a, &e);
          const double q = static_cast<double>(a) + e;
          sa += a;
          saa += static_cast<double>(a) * a;
          sq += q;
          sqq += q * q;
          saq += a * q;
        }
      const double n = b[0];
      const double ea = saa - sa * sa / n, eq = sqq - sq * sq / n, cov = saq - sa * sq / n;
      if (!(cov > 0.5 * std::sqrt(std::max(0.0, ea * eq)))) b[1] = any = true;
    }
  if (!any) return true;
  for (int32_t by = 0; by < gh; ++by)
    for (int32_t bx = 0; bx < gw; ++bx) {
      bool near = false;
      for (int32_t j = std::max(0, by - 1); j <= std::min(gh - 1, by + 1) && !near; ++j)
        for (int32_t i = std::max(0, bx - 1); i <= std::min(gw - 1, bx + 1) && !near; ++i)
          near = count[2 * (static_cast<size_t>(j) * gw + i) + 1] == 1;
      if (!near) continue;
      const bool itself = count[2 * (static_cast<size_t>(by) * gw + bx) + 1] == 1;
      for (int32_t y = by * kBlock; y < std::min(h, (by + 1) * kBlock); ++y) {
        if (y % rowStep != 0) continue;
        float* r = resid.Row(y);
        const int32_t x1 = std::min(w, (bx + 1) * kBlock);
        for (int32_t x = bx * kBlock; x < x1; ++x) r[x] = kLeftOut;
        if (!itself) *ring += x1 - bx * kBlock;
      }
    }
  return true;
}

}  // namespace vantor::drift

#endif  // VANTOR_REGISTRATION_DRIFT_MOVERS_H
