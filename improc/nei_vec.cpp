// Vector neighbourhood kernels. The image is copied into a scratch plane whose
// rows are padded with guard columns and guard rows, so that every row kernel
// runs over whole vectors without end cases. Erosion is dilation of the
// complement: the plane holds the inverted pixels, and the guards, which stay
// zero, then act as "set" outside the image as the clipped erosion requires.
// Masks are held as 64-bit words (64 pixels), grey images as bytes.
//
// Step folding: n steps of a row (column) run equal one dilation by the run
// of 2n + 1 pixels, built by doubling: OR-ing (max-ing) the plane with itself
// shifted by 1, 2, 4, ... pixels toward each side, O(log n) passes in all.
// The square is a row run followed by a column run; the cross is done one
// step per pass.
#include "improc/nei_vec.h"

#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/nei_vec.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// All counts below are multiples of 64 bytes, hence of every target's lanes.

// dst = src | src shifted by s = 64 q + b pixels: toward higher x when dir > 0
// (pixel x takes pixel x - s), toward lower x otherwise.
void MaskOrShift(uint64_t* dst, const uint64_t* src, size_t count, ptrdiff_t q, int b,
                 int dir) {
  const hn::ScalableTag<uint64_t> d;
  const size_t N = hn::Lanes(d);
  const ptrdiff_t near = dir > 0 ? -q : q;
  const ptrdiff_t far = dir > 0 ? -q - 1 : q + 1;
  for (size_t i = 0; i < count; i += N) {
    auto s = hn::LoadU(d, src + i + near);
    if (b != 0) {
      const auto f = hn::LoadU(d, src + i + far);
      s = dir > 0 ? hn::Or(hn::ShiftLeftSame(s, b), hn::ShiftRightSame(f, 64 - b))
                  : hn::Or(hn::ShiftRightSame(s, b), hn::ShiftLeftSame(f, 64 - b));
    }
    hn::StoreU(hn::Or(hn::LoadU(d, src + i), s), d, dst + i);
  }
}

void MaskOr(uint64_t* HWY_RESTRICT dst, const uint64_t* HWY_RESTRICT src, size_t count) {
  const hn::ScalableTag<uint64_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    hn::StoreU(hn::Or(hn::LoadU(d, dst + i), hn::LoadU(d, src + i)), d, dst + i);
  }
}

// dst = OR of mid with its left and right neighbour pixels and up and down.
void MaskCross(uint64_t* HWY_RESTRICT dst, const uint64_t* up, const uint64_t* mid,
               const uint64_t* down, size_t count) {
  const hn::ScalableTag<uint64_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    const auto c = hn::LoadU(d, mid + i);
    const auto l = hn::Or(hn::ShiftLeft<1>(c), hn::ShiftRight<63>(hn::LoadU(d, mid + i - 1)));
    const auto r = hn::Or(hn::ShiftRight<1>(c), hn::ShiftLeft<63>(hn::LoadU(d, mid + i + 1)));
    const auto v = hn::Or(hn::Or(c, hn::Or(l, r)),
                          hn::Or(hn::LoadU(d, up + i), hn::LoadU(d, down + i)));
    hn::StoreU(v, d, dst + i);
  }
}

void MaskNot(uint64_t* dst, size_t count) {
  const hn::ScalableTag<uint64_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) hn::StoreU(hn::Not(hn::LoadU(d, dst + i)), d, dst + i);
}

// dst[i] = max(src[i], src[i + off]).
void ByteMaxShift(uint8_t* HWY_RESTRICT dst, const uint8_t* src, size_t count, ptrdiff_t off) {
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    hn::StoreU(hn::Max(hn::LoadU(d, src + i), hn::LoadU(d, src + i + off)), d, dst + i);
  }
}

void ByteMax(uint8_t* HWY_RESTRICT dst, const uint8_t* HWY_RESTRICT src, size_t count) {
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    hn::StoreU(hn::Max(hn::LoadU(d, dst + i), hn::LoadU(d, src + i)), d, dst + i);
  }
}

void ByteCross(uint8_t* HWY_RESTRICT dst, const uint8_t* up, const uint8_t* mid,
               const uint8_t* down, size_t count) {
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    const auto h = hn::Max(hn::Max(hn::LoadU(d, mid + i - 1), hn::LoadU(d, mid + i)),
                           hn::LoadU(d, mid + i + 1));
    const auto v = hn::Max(hn::LoadU(d, up + i), hn::LoadU(d, down + i));
    hn::StoreU(hn::Max(h, v), d, dst + i);
  }
}

void ByteNot(uint8_t* dst, size_t count) {
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) hn::StoreU(hn::Not(hn::LoadU(d, dst + i)), d, dst + i);
}

// Three-tap smoothing dst = f(a, b, c), b the centre. kind: 0 the 1-2-1 mean
// (a + 2b + c + 2) / 4, 1 the median, 2 (a + b + c + 2) / 3, 3 (a + b + c + 1) / 3.
void Smooth3(uint8_t* HWY_RESTRICT dst, const uint8_t* a, const uint8_t* b, const uint8_t* c,
             size_t count, int kind) {
  if (kind >= 2) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::RebindToSigned<decltype(d16)> di16;
    const size_t N = hn::Lanes(d16);
    const auto round = hn::Set(d16, static_cast<uint16_t>(kind == 2 ? 2 : 1));
    // x / 3 for x <= 767 as (x * 21846) >> 16: the excess over x / 3 stays
    // below 0.008, too little to reach the next integer.
    const auto third = hn::Set(d16, uint16_t{21846});
    for (size_t i = 0; i < count; i += N) {
      const auto s = hn::Add(hn::Add(hn::PromoteTo(d16, hn::LoadU(d8, a + i)),
                                     hn::PromoteTo(d16, hn::LoadU(d8, b + i))),
                             hn::Add(hn::PromoteTo(d16, hn::LoadU(d8, c + i)), round));
      hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, hn::MulHigh(s, third))), d8, dst + i);
    }
    return;
  }
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  const auto one = hn::Set(d, uint8_t{1});
  for (size_t i = 0; i < count; i += N) {
    const auto va = hn::LoadU(d, a + i);
    const auto vb = hn::LoadU(d, b + i);
    const auto vc = hn::LoadU(d, c + i);
    hn::Vec<decltype(d)> r;
    if (kind == 1) {
      r = hn::Max(hn::Min(va, vb), hn::Min(hn::Max(va, vb), vc));
    } else {
      // floor((a + c) / 2) rounded-averaged with b equals (a + 2b + c + 2) >> 2.
      const auto lo = hn::Sub(hn::AverageRound(va, vc), hn::And(hn::Xor(va, vc), one));
      r = hn::AverageRound(lo, vb);
    }
    hn::StoreU(r, d, dst + i);
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <algorithm>
#include <cstdint>
#include <utility>

#include <hwy/aligned_allocator.h>

#include "improc/nei_codes.h"

namespace vantor {

HWY_EXPORT(MaskOrShift);
HWY_EXPORT(MaskOr);
HWY_EXPORT(MaskCross);
HWY_EXPORT(MaskNot);
HWY_EXPORT(ByteMaxShift);
HWY_EXPORT(ByteMax);
HWY_EXPORT(ByteCross);
HWY_EXPORT(ByteNot);
HWY_EXPORT(Smooth3);

namespace {

using nei::MorphPlan;
using nei::PlanMorph;
using nei::Shape;
using nei::UsefulSteps;

constexpr size_t kAlignBytes = 64;  // widest vector; counts are multiples of it

size_t RoundUp(size_t v, size_t m) { return (v + m - 1) / m * m; }

template <class T>
class Buffer {
 public:
  bool Allocate(size_t count) {
    mem_ = hwy::AllocateAligned<T>(count);
    if (!mem_) return false;
    std::memset(mem_.get(), 0, count * sizeof(T));
    return true;
  }
  T* get() const { return mem_.get(); }

 private:
  hwy::AlignedFreeUniquePtr<T[]> mem_;
};

// Rows -1 to h of `data` elements each, with `guard` zero elements on both
// sides of every row; rows -1 and h are guard rows.
template <class T>
class Plane {
 public:
  bool Allocate(size_t data, size_t guard, int32_t h) {
    guard_ = guard;
    stride_ = data + 2 * guard;
    const size_t rows = static_cast<size_t>(h) + 2;
    if (stride_ > SIZE_MAX / sizeof(T) / rows) return false;
    return buf_.Allocate(stride_ * rows);
  }
  T* Row(ptrdiff_t y) const {
    return buf_.get() + static_cast<size_t>(y + 1) * stride_ + guard_;
  }

 private:
  Buffer<T> buf_;
  size_t stride_ = 0, guard_ = 0;
};

// The one-sided runs 1, 2, 4, ... whose union with the start covers r pixels:
// calls f(s) for each shift s in order.
template <class F>
void ForEachDoubling(int32_t r, F f) {
  int64_t covered = 1;
  while (covered < int64_t{r} + 1) {
    const int64_t s = std::min<int64_t>(covered, int64_t{r} + 1 - covered);
    f(static_cast<int32_t>(s));
    covered += s;
  }
}

// ---------------------------------------------------------------- masks

class VectorMask {
 public:
  VectorMask(uint8_t* base, int32_t w, int32_t h, int32_t pitch)
      : base_(base), w_(w), h_(h), pitch_(pitch),
        nb_((static_cast<size_t>(w) + 7) / 8), nw_((static_cast<size_t>(w) + 63) / 64),
        nwR_(RoundUp(nw_, kAlignBytes / 8)), pad_(nw_ + kAlignBytes / 8),
        lastMask_(w % 64 ? (uint64_t{1} << (w % 64)) - 1 : ~uint64_t{0}),
        keepBits_(static_cast<uint8_t>(w % 8 ? 0xFFu << (w % 8) : 0)) {}

  bool Allocate(bool needCross, bool needRows) {
    if (!a_.Allocate(nwR_, kAlignBytes / 8, h_)) return false;
    if (needCross && !b_.Allocate(nwR_, kAlignBytes / 8, h_)) return false;
    if (needRows) {
      for (auto& r : rowBuf_)
        if (!r.Allocate(nwR_ + 2 * pad_)) return false;
    }
    return true;
  }

  void Load(bool invert) {
    for (int32_t y = 0; y < h_; ++y) {
      uint64_t* row = a_.Row(y);
      std::memcpy(row, Src(y), nb_);
      if (invert) HWY_DYNAMIC_DISPATCH(MaskNot)(row, nwR_);
      ClearTail(row);
    }
  }

  void Invert() {
    for (int32_t y = 0; y < h_; ++y) {
      HWY_DYNAMIC_DISPATCH(MaskNot)(a_.Row(y), nwR_);
      ClearTail(a_.Row(y));
    }
  }

  void Store(bool invert) {
    for (int32_t y = 0; y < h_; ++y) {
      uint64_t* row = a_.Row(y);
      if (invert) HWY_DYNAMIC_DISPATCH(MaskNot)(row, nwR_);
      uint8_t* dst = Src(y);
      const uint8_t last = dst[nb_ - 1];
      std::memcpy(dst, row, nb_);
      dst[nb_ - 1] = static_cast<uint8_t>((dst[nb_ - 1] & ~keepBits_) | (last & keepBits_));
    }
  }

  void Dilate(Shape s, int32_t n) {
    n = UsefulSteps(s, n, w_, h_);
    if (n <= 0) return;
    switch (s) {
      case Shape::kSquare:
        RowRun(std::min(n, w_ - 1));
        ColumnRun(std::min(n, h_ - 1));
        break;
      case Shape::kRow: RowRun(n); break;
      case Shape::kColumn: ColumnRun(n); break;
      case Shape::kCross:
        for (int32_t i = 0; i < n; ++i) CrossStep();
        break;
    }
  }

 private:
  uint8_t* Src(int32_t y) const { return base_ + static_cast<ptrdiff_t>(y) * pitch_; }

  // Bits past the width, and the words up to the rounded row length, stay 0.
  void ClearTail(uint64_t* row) const {
    row[nw_ - 1] &= lastMask_;
    std::fill(row + nw_, row + nwR_, uint64_t{0});
  }

  void RowRun(int32_t r) {
    if (r <= 0) return;
    uint64_t* cur = rowBuf_[0].get() + pad_;
    uint64_t* next = rowBuf_[1].get() + pad_;
    for (int32_t y = 0; y < h_; ++y) {
      std::memcpy(cur, a_.Row(y), nwR_ * 8);
      for (int dir : {1, -1}) {
        ForEachDoubling(r, [&](int32_t s) {
          HWY_DYNAMIC_DISPATCH(MaskOrShift)(next, cur, nwR_, s / 64, s % 64, dir);
          ClearTail(next);
          std::swap(cur, next);
        });
      }
      std::memcpy(a_.Row(y), cur, nwR_ * 8);
    }
  }

  // In place: going down, row y - s is still unchanged when row y takes it.
  void ColumnRun(int32_t r) {
    if (r <= 0) return;
    ForEachDoubling(r, [&](int32_t s) {
      for (int32_t y = h_ - 1; y >= s; --y) HWY_DYNAMIC_DISPATCH(MaskOr)(a_.Row(y), a_.Row(y - s), nwR_);
    });
    ForEachDoubling(r, [&](int32_t s) {
      for (int32_t y = 0; y + s < h_; ++y) HWY_DYNAMIC_DISPATCH(MaskOr)(a_.Row(y), a_.Row(y + s), nwR_);
    });
  }

  void CrossStep() {
    for (int32_t y = 0; y < h_; ++y) {
      HWY_DYNAMIC_DISPATCH(MaskCross)(b_.Row(y), a_.Row(y - 1), a_.Row(y), a_.Row(y + 1), nwR_);
      ClearTail(b_.Row(y));
    }
    std::swap(a_, b_);
  }

  uint8_t* base_;
  int32_t w_, h_, pitch_;
  size_t nb_, nw_, nwR_, pad_;
  uint64_t lastMask_;
  uint8_t keepBits_;
  Plane<uint64_t> a_, b_;
  Buffer<uint64_t> rowBuf_[2];
};

// ---------------------------------------------------------------- bytes

class VectorBytes {
 public:
  VectorBytes(uint8_t* base, int32_t w, int32_t h, int32_t pitch)
      : base_(base), w_(w), h_(h), pitch_(pitch), wR_(RoundUp(static_cast<size_t>(w), kAlignBytes)),
        pad_(wR_ + kAlignBytes) {}

  bool Allocate(bool needSecond, bool needRows) {
    if (!a_.Allocate(wR_, kAlignBytes, h_)) return false;
    if (needSecond && !b_.Allocate(wR_, kAlignBytes, h_)) return false;
    if (needRows) {
      for (auto& r : rowBuf_)
        if (!r.Allocate(wR_ + 2 * pad_)) return false;
    }
    return true;
  }

  void Load(bool invert) {
    for (int32_t y = 0; y < h_; ++y) {
      std::memcpy(a_.Row(y), Src(y), static_cast<size_t>(w_));
      if (invert) {
        HWY_DYNAMIC_DISPATCH(ByteNot)(a_.Row(y), wR_);
        ClearTail(a_.Row(y));
      }
    }
  }

  void Invert() {
    for (int32_t y = 0; y < h_; ++y) {
      HWY_DYNAMIC_DISPATCH(ByteNot)(a_.Row(y), wR_);
      ClearTail(a_.Row(y));
    }
  }

  void Store(bool invert) {
    for (int32_t y = 0; y < h_; ++y) {
      if (invert) HWY_DYNAMIC_DISPATCH(ByteNot)(a_.Row(y), wR_);
      std::memcpy(Src(y), a_.Row(y), static_cast<size_t>(w_));
    }
  }

  void Dilate(Shape s, int32_t n) {
    n = UsefulSteps(s, n, w_, h_);
    if (n <= 0) return;
    switch (s) {
      case Shape::kSquare:
        RowRun(std::min(n, w_ - 1));
        ColumnRun(std::min(n, h_ - 1));
        break;
      case Shape::kRow: RowRun(n); break;
      case Shape::kColumn: ColumnRun(n); break;
      case Shape::kCross:
        for (int32_t i = 0; i < n; ++i) CrossStep();
        break;
    }
  }

  // n steps of rows-then-columns smoothing, stopping early at a fixed point.
  void Smooth(int32_t n, int rowKind, int colKind) {
    const size_t w = static_cast<size_t>(w_);
    for (int32_t i = 0; i < n; ++i) {
      bool changed = false;
      for (int32_t y = 0; y < h_; ++y) {
        uint8_t* r = a_.Row(y);
        r[-1] = r[0];  // a missing end neighbour is the pixel itself
        r[w] = r[w - 1];
        HWY_DYNAMIC_DISPATCH(Smooth3)(b_.Row(y), r - 1, r, r + 1, wR_, rowKind);
        changed = changed || std::memcmp(b_.Row(y), r, w) != 0;
      }
      std::memcpy(b_.Row(-1), b_.Row(0), wR_);
      std::memcpy(b_.Row(h_), b_.Row(h_ - 1), wR_);
      for (int32_t y = 0; y < h_; ++y) {
        HWY_DYNAMIC_DISPATCH(Smooth3)(a_.Row(y), b_.Row(y - 1), b_.Row(y), b_.Row(y + 1), wR_,
                                      colKind);
        changed = changed || std::memcmp(b_.Row(y), a_.Row(y), w) != 0;
      }
      if (!changed) break;
    }
  }

 private:
  uint8_t* Src(int32_t y) const { return base_ + static_cast<ptrdiff_t>(y) * pitch_; }

  void ClearTail(uint8_t* row) const { std::fill(row + w_, row + wR_, uint8_t{0}); }

  void RowRun(int32_t r) {
    if (r <= 0) return;
    uint8_t* cur = rowBuf_[0].get() + pad_;
    uint8_t* next = rowBuf_[1].get() + pad_;
    for (int32_t y = 0; y < h_; ++y) {
      std::memcpy(cur, a_.Row(y), wR_);
      for (int dir : {1, -1}) {
        ForEachDoubling(r, [&](int32_t s) {
          HWY_DYNAMIC_DISPATCH(ByteMaxShift)(next, cur, wR_, dir > 0 ? -s : s);
          ClearTail(next);
          std::swap(cur, next);
        });
      }
      std::memcpy(a_.Row(y), cur, wR_);
    }
  }

  void ColumnRun(int32_t r) {
    if (r <= 0) return;
    ForEachDoubling(r, [&](int32_t s) {
      for (int32_t y = h_ - 1; y >= s; --y) HWY_DYNAMIC_DISPATCH(ByteMax)(a_.Row(y), a_.Row(y - s), wR_);
    });
    ForEachDoubling(r, [&](int32_t s) {
      for (int32_t y = 0; y + s < h_; ++y) HWY_DYNAMIC_DISPATCH(ByteMax)(a_.Row(y), a_.Row(y + s), wR_);
    });
  }

  void CrossStep() {
    for (int32_t y = 0; y < h_; ++y) {
      HWY_DYNAMIC_DISPATCH(ByteCross)(b_.Row(y), a_.Row(y - 1), a_.Row(y), a_.Row(y + 1), wR_);
      ClearTail(b_.Row(y));
    }
    std::swap(a_, b_);
  }

  uint8_t* base_;
  int32_t w_, h_, pitch_;
  size_t wR_, pad_;
  Plane<uint8_t> a_, b_;
  Buffer<uint8_t> rowBuf_[2];
};

bool ValidRect(const void* p, int32_t width, int32_t height, int32_t pitch, int64_t rowBytes) {
  return p != nullptr && width > 0 && height > 0 && pitch >= rowBytes;
}

bool UsesShape(const MorphPlan& p, Shape s) {
  for (int i = 0; i < p.count; ++i)
    if (p.step[i].shape == s) return true;
  return false;
}

template <class Image>
int32_t RunMorph(Image& img, const MorphPlan& plan, int32_t n) {
  const bool cross = UsesShape(plan, Shape::kCross);
  const bool rows = UsesShape(plan, Shape::kRow) || UsesShape(plan, Shape::kSquare);
  if (!img.Allocate(cross, rows)) return -1;
  img.Load(plan.step[0].erode);
  for (int i = 0; i < plan.count; ++i) {
    if (i > 0 && plan.step[i].erode != plan.step[i - 1].erode) img.Invert();
    img.Dilate(plan.step[i].shape, n);
  }
  img.Store(plan.step[plan.count - 1].erode);
  return 0;
}

}  // namespace

int32_t MaskNeiVector(void* pixels, int32_t width, int32_t height, int32_t pitch, int32_t code,
                      int32_t n) {
  if (!ValidRect(pixels, width, height, pitch, (int64_t{width} + 7) / 8)) return -1;
  const MorphPlan plan = PlanMorph(code);
  if (n < 1 || plan.count == 0) return 0;
  VectorMask img(static_cast<uint8_t*>(pixels), width, height, pitch);
  return RunMorph(img, plan, n);
}

int32_t NeiMemVector(void* pixels, int32_t width, int32_t height, int32_t pitch, int32_t code,
                     int32_t n) {
  if (!ValidRect(pixels, width, height, pitch, width)) return -1;
  if (n < 1) return 0;
  VectorBytes img(static_cast<uint8_t*>(pixels), width, height, pitch);
  int rowKind = -1, colKind = -1;
  switch (code) {
    case nei::kAver124: rowKind = colKind = 0; break;
    case nei::kMedian: rowKind = colKind = 1; break;
    case nei::kBlur: rowKind = 2; colKind = 3; break;
    default: break;
  }
  if (rowKind >= 0) {
    if (!img.Allocate(true, false)) return -1;
    img.Load(false);
    img.Smooth(n, rowKind, colKind);
    img.Store(false);
    return 0;
  }
  const MorphPlan plan = PlanMorph(code);
  if (plan.count == 0) return 0;
  return RunMorph(img, plan, n);
}

}  // namespace vantor

#endif  // HWY_ONCE
