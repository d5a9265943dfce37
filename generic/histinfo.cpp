// Histogram statistics, including the best two-class split (the normalised
// between-class variance of the classes below and above a bin).
#include "generic/histinfo.h"

#include "generic/last_error.h"

namespace {

// Added to the variance in the split criterion so that a narrow histogram does
// not divide by (almost) zero: the variance of one bin read as a uniform unit
// interval, as this ten-digit decimal (deliberately not exactly 1/12).
constexpr double kBinVariance = 0.08333333333;

}  // namespace

extern "C" int32_t HistInfo(const int32_t* histogram, int32_t count, double* stats) {
  if (histogram == nullptr || stats == nullptr) {
    return vantor::err::Report(__func__, VANTOR_ERROR_PARAMETER, "no histogram or no stats given"),
           0;
  }
  int32_t nonEmpty = 0;
  int32_t first = 0;
  int32_t last = 0;
  double total = 0.0;
  double sum1 = 0.0;
  double sum2 = 0.0;
  int32_t modeCount = count > 0 ? histogram[0] : 0;
  int32_t modeBin = 0;
  for (int32_t k = 0; k < count; ++k) {
    const int32_t n = histogram[k];
    if (n <= 0) continue;
    if (nonEmpty == 0) first = k;
    last = k;
    ++nonEmpty;
    total += n;
    sum1 += static_cast<double>(k) * n;
    sum2 += static_cast<double>(k) * k * n;
    if (n > modeCount) {
      modeCount = n;
      modeBin = k;
    }
  }
  if (nonEmpty == 0) {
    stats[0] = 0.0;
    stats[1] = 0.0;
    stats[2] = static_cast<double>(count) - 1.0;
    return 0;
  }
  const double mean = sum1 / total;
  const double variance = sum2 / total - mean * mean;
  stats[0] = nonEmpty;
  stats[1] = first;
  stats[2] = last;
  stats[3] = total;
  stats[4] = mean;
  stats[5] = variance;
  if (nonEmpty == 1) return 1;

  // Walk the splits t = first .. last - 1 over non-empty bins; the lower class
  // is every bin up to t.
  const double denominator = total * total * (variance + kBinVariance);
  double n0 = 0.0, s0 = 0.0, q0 = 0.0;
  double best = -1.0;
  int32_t bestBin = first;
  double bestN0 = 0.0, bestS0 = 0.0, bestQ0 = 0.0;
  for (int32_t t = first; t < last; ++t) {
    const int32_t n = histogram[t];
    if (n <= 0) continue;
    n0 += n;
    s0 += static_cast<double>(t) * n;
    q0 += static_cast<double>(t) * t * n;
    const double n1 = total - n0;
    const double m0 = s0 / n0;
    const double m1 = (sum1 - s0) / n1;
    const double criterion = n0 * n1 * (m1 - m0) * (m1 - m0) / denominator;
    if (criterion > best) {
      best = criterion;
      bestBin = t;
      bestN0 = n0;
      bestS0 = s0;
      bestQ0 = q0;
    }
  }
  int32_t above = bestBin + 1;
  while (above < last && histogram[above] <= 0) ++above;
  const double n1 = total - bestN0;
  const double m0 = bestS0 / bestN0;
  const double m1 = (sum1 - bestS0) / n1;
  stats[6] = (static_cast<double>(bestBin) + above) / 2.0;
  stats[7] = bestN0;
  stats[8] = n1;
  stats[9] = m0;
  stats[10] = m1;
  stats[11] = bestQ0 / bestN0 - m0 * m0;
  stats[12] = (sum2 - bestQ0) / n1 - m1 * m1;
  stats[13] = best;
  stats[14] = modeCount;
  stats[15] = modeBin;
  return nonEmpty;
}
