// The classification of a sequence's drift results: which measured pairs
// look unreliable, from their distance against the typical distance around
// them and from what each measurement says of itself.
#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "registration/drift_internal.h"

namespace vantor::drift {
namespace {

// A focus difference of more than this (pixels of Gaussian blur) is suspect.
constexpr double kSuspectFocus = 2.0;
// A rotation or scale change moving the compared area's corners by more than
// this (pixels) is more than the translation can follow.
constexpr double kSuspectTurn = 1.0;

}  // namespace

int32_t Classify(DriftResult* results, int32_t n) {
  if (results == nullptr || n < 2) return 0;
  // The distance limit of every result, from the measured results around it
  // (before any is marked).
  std::vector<double> limits(static_cast<size_t>(n), std::numeric_limits<double>::infinity());
  std::vector<double> d, s;
  for (int32_t i = 1; i < n; ++i) {
    d.clear();
    for (int32_t j = std::max(1, i - kClassifyWindow); j <= std::min(n - 1, i + kClassifyWindow);
         ++j)
      if (results[j].quality != kDriftFailed && results[j].distance >= 0.0)
        d.push_back(results[j].distance);
    if (d.size() < 5) continue;
    s = d;
    const size_t mid = s.size() / 2;
    std::nth_element(s.begin(), s.begin() + mid, s.end());
    const double med = s[mid];
    for (double& v : s) v = std::fabs(v - med);
    std::nth_element(s.begin(), s.begin() + mid, s.end());
    // Two grey levels above the median at least: in a clean sequence the
    // distances are small and vary with where each search stopped.
    limits[i] = std::max({1.5 * med, med + 4.0 * 1.4826 * s[mid], med + 2.0});
  }
  int32_t marked = 0;
  for (int32_t i = 1; i < n; ++i) {
    DriftResult& r = results[i];
    if (r.quality == kDriftFailed) continue;
    const bool far = r.inliers < 0.0 && r.distance > limits[i];
    const bool flat = r.distinctness >= 0.0 && r.distinctness < kIndistinct;
    const bool loose = r.precision > 0.1;
    const bool focus = std::fabs(r.focus) > kSuspectFocus;
    const bool outliers = r.inliers >= 0.0 && r.inliers < 0.5;
    const bool turned = r.turn > kSuspectTurn;
    // A motion beyond what the start looks for may be a false match.
    const bool beyond = r.scale > 0.0 && (r.scale < 0.78 || r.scale > 1.28 || std::fabs(r.angle) > 31.0);
    if (far || flat || loose || focus || outliers || turned || beyond) {
      r.quality = kDriftSuspect;
      ++marked;
    }
  }
  return marked;
}

}  // namespace vantor::drift
