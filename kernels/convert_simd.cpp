// Vector twins of the row conversion kernels (Highway, dispatched at run time
// to the best target the processor offers). Each handles whole vectors and
// leaves the remaining tail of the row to its scalar twin, so no load or store
// reaches past the row.

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/convert_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep

#include <cstddef>
#include <cstdint>

#include "kernels/convert_kernels.h"
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace vantor::convert {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Largest lane of a vector, through memory (works for every lane type).
template <class D, class V>
HWY_INLINE hn::TFromD<D> LargestLane(D d, V v) {
  using T = hn::TFromD<D>;
  HWY_ALIGN T lanes[hn::MaxLanes(d)];
  hn::Store(v, d, lanes);
  T best = lanes[0];
  const size_t n = hn::Lanes(d);
  for (size_t i = 1; i < n; ++i) best = lanes[i] > best ? lanes[i] : best;
  return best;
}

// Grey bytes from blue, green, red vectors by the rank rule.
template <int kRank>
struct RankOp {
  template <class D, class V>
  HWY_INLINE V operator()(D d, V b, V g, V r) const {
    if constexpr (kRank == 0) {
      (void)d;
      return hn::Min(hn::Min(b, g), r);
    } else if constexpr (kRank == -1) {
      (void)d;
      const V lo = hn::Min(b, g);
      const V hi = hn::Max(b, g);
      return hn::Max(lo, hn::Min(hi, r));
    } else if constexpr (kRank == -2) {
      (void)d;
      return hn::Max(hn::Max(b, g), r);
    } else {
#if HWY_TARGET == HWY_SCALAR
      // One lane per vector: the plain formula.
      const auto sum = hn::PromoteTo(hn::Rebind<uint16_t, D>(), b) +
                       hn::PromoteTo(hn::Rebind<uint16_t, D>(), g) +
                       hn::PromoteTo(hn::Rebind<uint16_t, D>(), r);
      const auto mean = (sum + hn::Set(hn::Rebind<uint16_t, D>(), 2)) /
                        hn::Set(hn::Rebind<uint16_t, D>(), 3);
      return hn::DemoteTo(d, hn::BitCast(hn::Rebind<int16_t, D>(), mean));
#else
      // (b + g + r + 2) / 3 in 16-bit lanes: the sum is at most 767, and
      // x / 3 == (x * 0xAAAB) >> 17 for every x below 2^17.
      const hn::Half<D> dh;
      const hn::RepartitionToWide<D> dw;
      const hn::RebindToSigned<decltype(dw)> dws;
      const auto two = hn::Set(dw, 2);
      const auto magic = hn::Set(dw, 0xAAAB);
      const auto lo = hn::PromoteTo(dw, hn::LowerHalf(dh, b)) +
                      hn::PromoteTo(dw, hn::LowerHalf(dh, g)) +
                      hn::PromoteTo(dw, hn::LowerHalf(dh, r)) + two;
      const auto hi = hn::PromoteTo(dw, hn::UpperHalf(dh, b)) +
                      hn::PromoteTo(dw, hn::UpperHalf(dh, g)) +
                      hn::PromoteTo(dw, hn::UpperHalf(dh, r)) + two;
      const auto qlo = hn::ShiftRight<1>(hn::MulHigh(lo, magic));
      const auto qhi = hn::ShiftRight<1>(hn::MulHigh(hi, magic));
      return hn::Combine(d, hn::DemoteTo(dh, hn::BitCast(dws, qhi)),
                         hn::DemoteTo(dh, hn::BitCast(dws, qlo)));
#endif
    }
  }
};

template <int kRank>
HWY_INLINE size_t RankVectors(const uint8_t* HWY_RESTRICT bgr, uint8_t* HWY_RESTRICT grey,
                              size_t width, uint8_t* best) {
  const hn::ScalableTag<uint8_t> d;
  const size_t n = hn::Lanes(d);
  auto vmax = hn::Zero(d);
  size_t x = 0;
  const RankOp<kRank> op;
  for (; x + n <= width; x += n) {
    hn::Vec<decltype(d)> b, g, r;
    hn::LoadInterleaved3(d, bgr + 3 * x, b, g, r);
    const auto out = op(d, b, g, r);
    hn::StoreU(out, d, grey + x);
    vmax = hn::Max(vmax, out);
  }
  *best = x == 0 ? 0 : LargestLane(d, vmax);
  return x;
}

uint8_t RgbRankRowV(const uint8_t* bgr, uint8_t* grey, size_t width, int64_t rank) {
  uint8_t best = 0;
  size_t done;
  if (rank == 0) {
    done = RankVectors<0>(bgr, grey, width, &best);
  } else if (rank == -1) {
    done = RankVectors<-1>(bgr, grey, width, &best);
  } else if (rank == -2) {
    done = RankVectors<-2>(bgr, grey, width, &best);
  } else {
    done = RankVectors<-4>(bgr, grey, width, &best);
  }
  const uint8_t tail = RgbRankRowScalar(bgr + 3 * done, grey + done, width - done, rank);
  return tail > best ? tail : best;
}

template <typename T>
HWY_INLINE uint32_t MaxRow(const uint8_t* src, size_t count, size_t* done) {
  const hn::ScalableTag<T> d;
  const size_t n = hn::Lanes(d);
  const T* p = reinterpret_cast<const T*>(src);
  auto vmax = hn::Zero(d);
  size_t x = 0;
  for (; x + n <= count; x += n) vmax = hn::Max(vmax, hn::LoadU(d, p + x));
  *done = x;
  return x == 0 ? 0 : LargestLane(d, vmax);
}

uint32_t MaxRowU16V(const uint8_t* src, size_t count) {
  size_t done = 0;
  const uint32_t best = MaxRow<uint16_t>(src, count, &done);
  const uint32_t tail = MaxRowU16Scalar(src + 2 * done, count - done);
  return tail > best ? tail : best;
}

uint32_t MaxRowU32V(const uint8_t* src, size_t count) {
  size_t done = 0;
  const uint32_t best = MaxRow<uint32_t>(src, count, &done);
  const uint32_t tail = MaxRowU32Scalar(src + 4 * done, count - done);
  return tail > best ? tail : best;
}

// Shift, keep the low byte, narrow to bytes. Masking first makes the
// saturating demotion exact.
template <typename T>
HWY_INLINE size_t ShiftVectors(const uint8_t* src, uint8_t* HWY_RESTRICT dst, size_t count,
                               unsigned shift) {
  const hn::ScalableTag<T> d;
  const hn::RebindToSigned<decltype(d)> ds;
  const hn::Rebind<uint8_t, decltype(d)> d8;
  const size_t n = hn::Lanes(d);
  const T* p = reinterpret_cast<const T*>(src);
  const auto low = hn::Set(d, T{0xFF});
  const int s = static_cast<int>(shift);
  size_t x = 0;
  for (; x + n <= count; x += n) {
    const auto v = hn::And(hn::ShiftRightSame(hn::LoadU(d, p + x), s), low);
    hn::StoreU(hn::DemoteTo(d8, hn::BitCast(ds, v)), d8, dst + x);
  }
  return x;
}

void ShiftRowU16toU8V(const uint8_t* src, uint8_t* dst, size_t count, unsigned shift) {
  const size_t done = ShiftVectors<uint16_t>(src, dst, count, shift);
  ShiftRowU16toU8Scalar(src + 2 * done, dst + done, count - done, shift);
}

void ShiftRowU32toU8V(const uint8_t* src, uint8_t* dst, size_t count, unsigned shift) {
  const size_t done = ShiftVectors<uint32_t>(src, dst, count, shift);
  ShiftRowU32toU8Scalar(src + 4 * done, dst + done, count - done, shift);
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::convert
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor::convert {

HWY_EXPORT(RgbRankRowV);
HWY_EXPORT(MaxRowU16V);
HWY_EXPORT(MaxRowU32V);
HWY_EXPORT(ShiftRowU16toU8V);
HWY_EXPORT(ShiftRowU32toU8V);

uint8_t RgbRankRowVector(const uint8_t* bgr, uint8_t* grey, size_t width, int64_t rank) {
  return HWY_DYNAMIC_DISPATCH(RgbRankRowV)(bgr, grey, width, rank);
}
uint32_t MaxRowU16Vector(const uint8_t* src, size_t n) {
  return HWY_DYNAMIC_DISPATCH(MaxRowU16V)(src, n);
}
uint32_t MaxRowU32Vector(const uint8_t* src, size_t n) {
  return HWY_DYNAMIC_DISPATCH(MaxRowU32V)(src, n);
}
void ShiftRowU16toU8Vector(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift) {
  HWY_DYNAMIC_DISPATCH(ShiftRowU16toU8V)(src, dst, n, shift);
}
void ShiftRowU32toU8Vector(const uint8_t* src, uint8_t* dst, size_t n, unsigned shift) {
  HWY_DYNAMIC_DISPATCH(ShiftRowU32toU8V)(src, dst, n, shift);
}

}  // namespace vantor::convert
#endif
