#include "registration/registration.h"

#include <atomic>
#include <cmath>
#include <cstdint>

#include "generic/clock.h"
#include "generic/histinfo.h"
#include "generic/last_error.h"
#include "generic/simplex.h"
#include "memrect/memrect.h"
#include "memrect/neifun.h"
#include "memrect/pixelwise.h"
#include "memrect/rect_owner.h"
#include "memrect/statistics.h"
#include "memrect/subsample.h"
#include "improc/perspective_internal.h"
#include "kernels/kernel_path.h"
#include "registration/checks.h"
#include "registration/perspective.h"
#include "registration/registration_internal.h"

namespace err = vantor::err;

namespace vantor {
namespace {

using reg::MemoryFailed;

std::atomic<double> g_mask_fraction{0.5};

// Cost wrapper that counts evaluations and the time spent in them.
struct CountingContext {
  ResolvedPair pair;
  int evaluations = 0;
  double milliseconds = 0;
};

double CountingCost(const double* params, void* context) {
  auto* c = static_cast<CountingContext*>(context);
  long double t0 = GetTimeMsec();
  double v = ResolvedCost(params, &c->pair);
  c->milliseconds += static_cast<double>(GetTimeMsec() - t0);
  ++c->evaluations;
  return v;
}

}  // namespace

ResolvedPair ResolvePair(int32_t imageA, int32_t imageB, int32_t mask, int32_t sampling) {
  ResolvedPair p;
  p.sampling = sampling;
  p.path = CurrentKernelPath();
  void* a = nullptr;
  void* b = nullptr;
  if (mrGetExtendedInfo(imageA, &p.aw, &p.ah, &p.ap, &a) != 8) return p;
  if (mrGetExtendedInfo(imageB, &p.bw, &p.bh, &p.bp, &b) != 8) return p;
  if (mask != 0) {
    int32_t mw = 0, mh = 0;
    void* m = nullptr;
    if (mrGetExtendedInfo(mask, &mw, &mh, &p.mp, &m) != 1) return p;
    if (mw != p.bw || mh != p.bh) return p;
    p.mask = static_cast<const uint8_t*>(m);
  }
  p.a = static_cast<const uint8_t*>(a);
  p.b = static_cast<const uint8_t*>(b);
  p.valid = true;
  return p;
}

double ResolvedMatrixCost(const double* m, const ResolvedPair& p) {
  if (!p.valid) return -1.0;
  return RunOnPath(p.path, PerspectiveMaskDiffScalar, PerspectiveMaskDiffVector, p.a, p.aw, p.ah,
                   p.ap, p.b, p.bw, p.bh, p.bp, p.mask, p.mp, m, p.sampling,
                   nullptr);  // no count wanted
}

double ResolvedCost(const double* params, void* context) {
  const double m[9] = {params[2], params[3], params[0], -params[3], params[2], params[1],
                       0.0,       0.0,       1.0};
  return ResolvedMatrixCost(m, *static_cast<const ResolvedPair*>(context));
}

// What a search needs before it starts: B 8-bit and a record to write. *w, *h
// receive B's size.
bool CheckSearch(int32_t imageB, const double* record, int32_t* w, int32_t* h) {
  RectView b;
  if (!reg::CheckDepth(imageB, 8, &b)) return false;
  if (record == nullptr) return err::Fail(err::kParameter, "the record is null");
  *w = b.width;
  *h = b.height;
  return true;
}

// Whether every cost of the pair can be evaluated: A 8-bit, the mask 1-bit of
// B's size with a set pixel. When not, the cause is stated. Asked only after a
// search found no cost (the search runs in any case, from the first vertex
// with every cost -1, as it always did), so that a pair pays for it only then.
bool PairComparable(int32_t imageA, int32_t imageB, int32_t mask) {
  RectView a, b, m;
  if (!reg::CheckDepth(imageA, 8, &a) || !reg::CheckDepth(imageB, 8, &b)) return false;
  return mask == 0 || (reg::CheckMask(mask, imageB, b, &m) && reg::CheckNotEmpty(mask, m));
}

// A wider block is clipped to the image anyway, and the fraction may come
// straight from the command line.
int32_t CentralHalfSpan(int32_t size, double fraction) {
  const double v = size * fraction * 0.5;
  if (std::isnan(v) || v < 1.0) return 0;
  if (v >= size) return size;
  return static_cast<int32_t>(v);
}

int32_t CentralMaskWithFraction(int32_t image, double fraction) {
  int32_t w = 0, h = 0;
  if (mrGetRectInfo(image, &w, &h) < 1) return err::FailHandle(image), 0;
  RectOwner mask(mrCreate(1, w, h));
  if (!mask) return 0;
  if (w > 0 && h > 0) mrPutPixel(mask.get(), w / 2, h / 2, 1);
  mrNeiFun(mask.get(), "DILATEh2", CentralHalfSpan(w, fraction));
  mrNeiFun(mask.get(), "DILATEv2", CentralHalfSpan(h, fraction));
  // A half-dilated block would be another mask.
  if (MemoryFailed()) return err::FailMemory(), 0;
  return mask.release();
}

double RegisterPairFrom(int32_t imageA, int32_t imageB, int32_t mask, double* record,
                        double startStep, double finalStep, double minDiff, int32_t timeLimit,
                        int32_t flags) {
  int32_t w = 0, h = 0;
  if (!CheckSearch(imageB, record, &w, &h)) return -1.0;
  if (!(startStep > 0.0))
    return err::Fail(err::kParameter, "start step %g is not above 0", startStep), -1.0;
  const int32_t m = w < h ? w : h;
  const double k = m > 0 ? 2.0 / m : 0.0;
  record[2] = 1.0;
  record[3] = 0.0;
  double steps[4] = {startStep, startStep, startStep * k, startStep * k};
  for (int i = 0; i < 4; ++i) {
    if (flags & (256 << i)) steps[i] = 0.0;
  }
  ResolvedPair pair = ResolvePair(imageA, imageB, mask, flags & kRegNearestSampling);
  const double best = SimplexMinimum(4, record, steps, finalStep / startStep, minDiff, timeLimit,
                                     ResolvedCost, &pair);
  if (MemoryFailed()) return err::FailMemory(), -1.0;
  if (best < 0.0) {
    if (PairComparable(imageA, imageB, mask)) reg::NothingCompared();
    return -1.0;
  }
  return std::sqrt(best);
}

double RegisterPairWithStats(int32_t imageA, int32_t imageB, int32_t mask, double* record,
                             double startStep, double finalStep, double minDiff,
                             int32_t coarseSize, int32_t timeLimit, int32_t flags,
                             RegisterStats* stats) {
  double result = -1.0;
  int32_t w = 0, h = 0;
  if (!CheckSearch(imageB, record, &w, &h)) return -1.0;
  if (coarseSize < 1)
    return err::Fail(err::kParameter, "coarse size %d is below 1", static_cast<int>(coarseSize)),
           -1.0;

  const int32_t sampling = flags & kRegNearestSampling;
  int32_t workA = imageA, workB = imageB;
  RectOwner copyA, copyB;
  if (flags & kRegEqualiseBrightness) {
    const int32_t d = EqualiseMeans(imageA, imageB, 10, &workA, &workB);
    if (d < 0) return -1.0;
    if (d > 0) {
      copyA = RectOwner(workA);
      copyB = RectOwner(workB);
    }
  }

  const int32_t m = w < h ? w : h;
  record[0] = 0.0;
  record[1] = 0.0;
  record[2] = 1.0;
  record[3] = 0.0;
  // The step of S and A that moves a point at distance m / 2 by one pixel.
  const double k = m > 0 ? 2.0 / m : 0.0;
  const int32_t f = (coarseSize / 2 + m) / coarseSize;
  if (stats != nullptr) stats->levels = 1;

  if (f > 1) {
    RectOwner coarseA(mrBlockSubsampling(workA, 0, f, f, "MEAN"));
    RectOwner coarseB(mrBlockSubsampling(workB, 0, f, f, "MEAN"));
    RectOwner coarseMask, dilated;
    if (mask != 0) {
      coarseMask = RectOwner(mrCreateAsWithPix(coarseA.get(), 1));
      dilated = RectOwner(mrCopyAs(mask));
      mrNeiFun(dilated.get(), "DILATE84", f);
      mrZoomMask(dilated.get(), coarseMask.get());
    }
    // A coarse level made without memory would start the search elsewhere.
    if (MemoryFailed()) return err::FailMemory(), -1.0;
    RegisterStats coarseStats;
    const double coarse = RegisterPairWithStats(coarseA.get(), coarseB.get(), mask != 0 ? coarseMask.get() : 0,
                                   record, startStep, finalStep, minDiff, m, timeLimit,
                                   flags & 0xFFFB, stats != nullptr ? &coarseStats : nullptr);
    // A coarse level that ran short of memory is no level skipped.
    if (MemoryFailed()) return err::FailMemory(), -1.0;
    result = coarse;
    if (stats != nullptr) {
      stats->levels = 2;
      stats->coarseEvaluations = coarseStats.fineEvaluations;
      stats->costMilliseconds += coarseStats.costMilliseconds;
    }
    record[0] *= f;
    record[1] *= f;
    startStep /= f;
  }

  double steps[4] = {startStep, startStep, startStep * k, startStep * k};
  for (int i = 0; i < 4; ++i) {
    if (flags & (256 << i)) steps[i] = 0.0;
  }
  CountingContext ctx{ResolvePair(workA, workB, mask, sampling)};
  const double minSize = finalStep / startStep;
  double best;
  if (stats != nullptr) {
    best = SimplexMinimum(4, record, steps, minSize, minDiff, timeLimit, CountingCost, &ctx);
    stats->fineEvaluations = ctx.evaluations;
    stats->costMilliseconds += ctx.milliseconds;
  } else {
    best = SimplexMinimum(4, record, steps, minSize, minDiff, timeLimit, ResolvedCost, &ctx.pair);
  }
  if (MemoryFailed()) return err::FailMemory(), -1.0;
  if (best >= 0.0) result = std::sqrt(best);
  if (result < 0.0 && PairComparable(imageA, imageB, mask)) reg::NothingCompared();
  return result;
}

}  // namespace vantor

extern "C" {

double RegisterPair(int32_t imageA, int32_t imageB, int32_t mask, double* record,
                    double startStep, double finalStep, double minDiff, int32_t coarseSize,
                    int32_t timeLimit, int32_t flags) {
  return err::GuardedWhen(__func__, -1.0, [](double r) { return r < 0.0; }, [&] {
    return vantor::RegisterPairWithStats(imageA, imageB, mask, record, startStep, finalStep,
                                         minDiff, coarseSize, timeLimit, flags, nullptr);
  });
}

double PairCost(const double* params, void* context) {
  return err::GuardedWhen(__func__, -1.0, [](double r) { return r < 0.0; }, [&]() -> double {
    if (params == nullptr || context == nullptr)
      return err::Fail(err::kParameter, "the parameters or the context are null"), -1.0;
    const auto* c = static_cast<const PairCostContext*>(context);
    double matrix[9] = {params[2], params[3], params[0], -params[3], params[2], params[1],
                        0.0,       0.0,       1.0};
    vantor::RectOwner m(mrMakeExtern(matrix, 64, 3, 3, 24));
    if (m.get() < 1) return err::FailMemory(), -1.0;
    return mrPerspectiveMaskDiff(c->imageA, c->imageB, c->mask, m.get(), c->sampling);
  });
}

int32_t GreyMeanStd(int32_t image, int32_t* mean, int32_t* stdDev) {
  return err::Guarded(__func__, int32_t(0), [&]() -> int32_t {
    int32_t hist[256] = {};
    int32_t w = 0, h = 0;
    const int32_t depth = mrGetRectInfo(image, &w, &h);
    if (depth < 1) return err::FailHandle(image), 0;
    if (mrHistogram(image, hist) <= 0) {
      if (vantor::reg::MemoryFailed()) return err::FailMemory(), 0;
      return err::Fail(err::kParameter, "image %d (depth %d, %d x %d) gives no histogram",
                       static_cast<int>(image), static_cast<int>(depth), static_cast<int>(w),
                       static_cast<int>(h)),
             0;
    }
    double s[16] = {};
    HistInfo(hist, 256, s);
    if (mean != nullptr) *mean = static_cast<int32_t>(std::floor(s[4] + 0.5));
    if (stdDev != nullptr) *stdDev = static_cast<int32_t>(std::floor(std::sqrt(s[5]) + 0.5));
    return 1;
  });
}

int32_t EqualiseMeans(int32_t imageA, int32_t imageB, int32_t threshold, int32_t* outA,
                      int32_t* outB) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (outA == nullptr || outB == nullptr)
      return err::Fail(err::kParameter, "an output is null"), -1;
    *outA = imageA;
    *outB = imageB;
    int32_t meanA = 0, meanB = 0;
    // Without a histogram of either image there is nothing to equalise to,
    // unless memory was short.
    if (GreyMeanStd(imageA, &meanA, nullptr) == 0 || GreyMeanStd(imageB, &meanB, nullptr) == 0)
      return vantor::reg::MemoryFailed() ? (err::FailMemory(), -1) : 0;
    const int32_t d = meanA > meanB ? meanA - meanB : meanB - meanA;
    if (d < threshold) return 0;
    vantor::RectOwner copyA(mrCopyAs(imageA));
    vantor::RectOwner copyB(mrCopyAs(imageB));
    if (copyA.get() < 1 || copyB.get() < 1) return err::FailMemory(), -1;
    const int32_t t = (meanA + meanB) / 2;
    if (mrMulDiv(copyA.get(), static_cast<uint32_t>(t), static_cast<uint32_t>(meanA)) < 0 ||
        mrMulDiv(copyB.get(), static_cast<uint32_t>(t), static_cast<uint32_t>(meanB)) < 0 ||
        vantor::reg::MemoryFailed())
      return err::FailMemory(), -1;
    *outA = copyA.release();
    *outB = copyB.release();
    return d;
  });
}

int32_t CentralMask(int32_t image) {
  return err::Guarded(__func__, int32_t(0), [&] {
    return vantor::CentralMaskWithFraction(image, vantor::g_mask_fraction.load());
  });
}

int32_t CentralMaskFraction(int32_t image, double fraction) {
  return err::Guarded(__func__, int32_t(0),
                      [&] { return vantor::CentralMaskWithFraction(image, fraction); });
}

double SetMaskFraction(double fraction) { return vantor::g_mask_fraction.exchange(fraction); }

double GetMaskFraction(void) { return vantor::g_mask_fraction.load(); }

}  // extern "C"
