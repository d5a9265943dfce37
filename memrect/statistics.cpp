// Image statistics: histograms (through the 8-bit histogram kernel, or counted
// after the reduction to 8 bits for deeper images) and the extremes and sums.
#include "memrect/statistics.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "generic/last_error.h"
#include "improc/pixelops.h"
#include "improc/pixelops_internal.h"
#include "memrect/rect_view.h"

namespace vantor {
namespace {

namespace err = vantor::err;

// The image to measure, or false with the cause.
bool Measurable(int32_t h, RectView& r) {
  if (!ResolveRect(h, r)) return false;
  if (r.Empty())
    return err::Fail(err::kParameter, "image %d is empty (%d x %d)", h, r.width, r.height);
  return true;
}

template <class T>
T LoadAt(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof(T));
  return v;
}

// Largest channel of every colour pixel of a row (channels of C: uint8_t for
// 24-bit pixels, uint16_t for 48-bit ones).
template <class C>
void LargestChannels(const uint8_t* row, int32_t width, C* out) {
  for (int32_t x = 0; x < width; ++x) {
    const uint8_t* p = row + static_cast<size_t>(x) * 3 * sizeof(C);
    out[x] = std::max({LoadAt<C>(p), LoadAt<C>(p + sizeof(C)), LoadAt<C>(p + 2 * sizeof(C))});
  }
}

// 16-bit images: counts of all 65536 values first, then the reduction to 8 bits
// on the counts (v * 255 / M when the maximum M exceeds 255).
int32_t Histogram16(const RectView& r, int32_t* hist) {
  std::vector<uint32_t> counts(65536, 0);
  for (int32_t y = 0; y < r.height; ++y) {
    const uint8_t* row = r.Row(y);
    for (int32_t x = 0; x < r.width; ++x) ++counts[LoadAt<uint16_t>(row + 2 * static_cast<size_t>(x))];
  }
  uint32_t top = 65535;
  while (top > 0 && counts[top] == 0) --top;
  std::fill(hist, hist + 256, 0);
  for (uint32_t v = 0; v <= top; ++v) {
    const uint32_t bin = top > 255 ? v * 255u / top : v;
    hist[bin] += static_cast<int32_t>(counts[v]);
  }
  return static_cast<int32_t>(top);
}

// 32-bit images (unsigned): floor(v * (255 / M) + 0.5) when M exceeds 255.
int32_t Histogram32(const RectView& r, int32_t* hist) {
  uint32_t top = 0;
  for (int32_t y = 0; y < r.height; ++y) {
    const uint8_t* row = r.Row(y);
    for (int32_t x = 0; x < r.width; ++x) top = std::max(top, LoadAt<uint32_t>(row + 4 * static_cast<size_t>(x)));
  }
  std::fill(hist, hist + 256, 0);
  const double scale = top > 255 ? 255.0 / static_cast<double>(top) : 1.0;
  for (int32_t y = 0; y < r.height; ++y) {
    const uint8_t* row = r.Row(y);
    for (int32_t x = 0; x < r.width; ++x) {
      const uint32_t v = LoadAt<uint32_t>(row + 4 * static_cast<size_t>(x));
      const uint32_t bin =
          top > 255 ? static_cast<uint32_t>(std::floor(static_cast<double>(v) * scale + 0.5)) : v;
      ++hist[std::min<uint32_t>(bin, 255)];
    }
  }
  // A maximum beyond the signed range is reported as the largest result, so
  // that it never reads as a failure.
  return ClampCount(top);
}

// Running extremes and sums of pixel values of type T, fed row by row.
template <class T>
struct Extremes {
  using S = std::make_signed_t<T>;
  bool started = false;
  T minU = 0, maxU = 0;
  S minS = 0, maxS = 0;
  int32_t minX = 0, minY = 0, maxX = 0, maxY = 0;
  int64_t minN = 0, maxN = 0;
  unsigned __int128 sumU = 0;
  __int128 sumS = 0;

  void Row(const T* v, int32_t width, int32_t y) {
    if (width <= 0) return;
    if (!started) {
      minU = maxU = v[0];
      minS = maxS = static_cast<S>(v[0]);
      started = true;
    }
    uint64_t rowU = 0;
    int64_t rowS = 0;
    for (int32_t x = 0; x < width; ++x) {
      const T p = v[x];
      const S s = static_cast<S>(p);
      rowU += p;
      rowS += s;
      if (p < minU) {
        minU = p;
        minX = x;
        minY = y;
        minN = 1;
      } else if (p == minU) {
        ++minN;
      }
      if (p > maxU) {
        maxU = p;
        maxX = x;
        maxY = y;
        maxN = 1;
      } else if (p == maxU) {
        ++maxN;
      }
      minS = std::min(minS, s);
      maxS = std::max(maxS, s);
    }
    sumU += rowU;
    sumS += rowS;
  }
};

// Rounds sum / n half away from zero (n > 0), exactly.
int64_t RoundedMean(__int128 sum, int64_t n) {
  const bool negative = sum < 0;
  const unsigned __int128 mag = static_cast<unsigned __int128>(negative ? -sum : sum);
  const unsigned __int128 q = (2 * mag + static_cast<unsigned __int128>(n)) /
                              (2 * static_cast<unsigned __int128>(n));
  return negative ? -static_cast<int64_t>(q) : static_cast<int64_t>(q);
}

template <class T>
double FillRecord(const Extremes<T>& e, const RectView& r, int32_t* record) {
  const int64_t n = r.Pixels();
  record[0] = r.depth;
  record[1] = r.width;
  record[2] = r.height;
  record[3] = static_cast<int32_t>(static_cast<uint32_t>(e.minU));
  record[4] = static_cast<int32_t>(static_cast<uint32_t>(e.maxU));
  record[5] = static_cast<int32_t>(static_cast<uint32_t>(e.sumU));
  record[6] = e.minX;
  record[7] = e.minY;
  record[8] = e.maxX;
  record[9] = e.maxY;
  record[10] = ClampCount(e.minN);
  record[11] = ClampCount(e.maxN);
  record[12] = e.minS;
  record[13] = e.maxS;
  record[14] = static_cast<int32_t>(RoundedMean(e.sumS, n));
  record[15] = static_cast<int32_t>(static_cast<uint32_t>(RoundedMean(e.sumU, n)));
  return static_cast<double>(e.sumU);
}

// Depths 8, 16, 32 (Colour = false) and 24, 48 (Colour = true, T the channel).
template <class T, bool Colour>
double MeasurePlain(const RectView& r, int32_t* record) {
  Extremes<T> e;
  std::vector<T> values(static_cast<size_t>(r.width));
  for (int32_t y = 0; y < r.height; ++y) {
    if constexpr (Colour) {
      LargestChannels<T>(r.Row(y), r.width, values.data());
    } else {
      std::memcpy(values.data(), r.Row(y), values.size() * sizeof(T));
    }
    e.Row(values.data(), r.width, y);
  }
  return FillRecord(e, r, record);
}

double MeasureMask(const RectView& r, int32_t* record) {
  const int64_t n = r.Pixels();
  const int64_t ones = CountMaskOnes(r.pixels, 0, 0, r.width, r.height, r.pitch);
  const int64_t zeros = n - ones;
  Extremes<uint8_t> e;
  e.minU = ones == n ? 1 : 0;
  e.maxU = ones == 0 ? 0 : 1;
  e.minN = ones == n ? ones : zeros;
  e.maxN = ones == 0 ? zeros : ones;
  if (ones != 0 && ones != n) {
    FindMaskPixel(r.pixels, r.width, r.height, r.pitch, 0, 0, false, &e.minX, &e.minY);
    FindMaskPixel(r.pixels, r.width, r.height, r.pitch, 0, 0, true, &e.maxX, &e.maxY);
  }
  e.sumU = static_cast<unsigned __int128>(ones);
  const double sum = FillRecord(e, r, record);
  record[12] = record[3];
  record[13] = record[4];
  record[14] = 0;
  return sum;
}

}  // namespace
}  // namespace vantor

using namespace vantor;

extern "C" {

int32_t mrHistogramLim(int32_t h, int32_t* histogram, int32_t bins) {
  return vantor::err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView r;
    if (histogram == nullptr) return err::Fail(err::kParameter, "no histogram given"), -1;
    if (bins < 1) return err::Fail(err::kParameter, "%d bins (at least 1)", bins), -1;
    if (!Measurable(h, r)) return -1;
    if (r.depth != 8) return err::FailDepth(h, r.depth), -1;
    if (bins > 256) {
      PictHist(r.pixels, r.width, r.height, r.pitch, histogram);
    } else {
      int32_t local[256];
      PictHist(r.pixels, r.width, r.height, r.pitch, local);
      std::copy(local, local + bins, histogram);
      for (int32_t v = bins; v < 256; ++v) histogram[bins - 1] += local[v];
    }
    return ClampCount(r.Pixels());
  });
}

static int32_t HistogramOf(int32_t h, int32_t* histogram) {
  RectView r;
  if (histogram == nullptr) return err::Fail(err::kParameter, "no histogram given"), -1;
  if (!Measurable(h, r)) return -1;
  switch (r.depth) {
    case 8:
      return mrHistogramLim(h, histogram, 256);
    case 16:
      return Histogram16(r, histogram);
    case 32:
      return Histogram32(r, histogram);
    case 24: {
      std::vector<uint8_t> grey(static_cast<size_t>(r.width));  // before the histogram is written
      std::fill(histogram, histogram + 256, 0);
      for (int32_t y = 0; y < r.height; ++y) {
        LargestChannels<uint8_t>(r.Row(y), r.width, grey.data());
        for (uint8_t g : grey) ++histogram[g];
      }
      return ClampCount(r.Pixels());
    }
    default:
      return err::FailDepth(h, r.depth), -1;
  }
}

static double MinMaxSumOf(int32_t h, int32_t* record) {
  RectView r;
  if (record == nullptr) return err::Fail(err::kParameter, "no record given"), -1.0;
  if (!Measurable(h, r)) return -1.0;
  switch (r.depth) {
    case 1: return MeasureMask(r, record);
    case 8: return MeasurePlain<uint8_t, false>(r, record);
    case 16: return MeasurePlain<uint16_t, false>(r, record);
    case 32: return MeasurePlain<uint32_t, false>(r, record);
    case 24: return MeasurePlain<uint8_t, true>(r, record);
    case 48: return MeasurePlain<uint16_t, true>(r, record);
    default:
      return err::FailDepth(h, r.depth), -1.0;
  }
}

// Scratch rows and count tables come from the heap before anything is written;
// running out of memory is a failure, never an exception through the C
// interface.
int32_t mrHistogram(int32_t h, int32_t* histogram) {
  return err::Guarded(__func__, int32_t(-1), [&] { return HistogramOf(h, histogram); });
}

double mrMinMaxSumInfo(int32_t h, int32_t* record) {
  return err::Guarded(__func__, -1.0, [&] { return MinMaxSumOf(h, record); });
}

}  // extern "C"
