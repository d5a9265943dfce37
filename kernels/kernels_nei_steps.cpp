// Neighbourhood kernels over lists of steps. Rows are held padded with guard
// columns (and a plane of them with guard rows), so that every row kernel runs
// over whole vectors without end cases. Erosion is dilation of the complement:
// the rows hold the inverted pixels, and the guards, which stay zero, then act
// as "set" outside the image as the clipped erosion requires. Masks are held
// as 64-bit words (64 pixels), grey images as bytes.
//
// Square and cross passes run as a pipeline sweeping down the image once
// (RowPipeline); within a stretch of the same domain the square steps become
// one run of up to 2 * 7 + 1 pixels along the rows and one along the columns,
// since dilations commute. Longer runs are the run kernels' work.
#include "kernels/nei_steps.h"

#include <cstddef>
#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "kernels/kernels_nei_steps.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor::nei {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// All counts below are multiples of 64 bytes, hence of every target's lanes.

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

// dst = OR of each pixel of src with its a neighbours on either side of the
// row (1 <= a <= 63).
void MaskRowN(uint64_t* HWY_RESTRICT dst, const uint64_t* src, size_t count, int a) {
  const hn::ScalableTag<uint64_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    const auto c = hn::LoadU(d, src + i);
    const auto prev = hn::LoadU(d, src + i - 1);
    const auto next = hn::LoadU(d, src + i + 1);
    auto v = c;
    for (int j = 1; j <= a; ++j) {
      const auto l = hn::Or(hn::ShiftLeftSame(c, j), hn::ShiftRightSame(prev, 64 - j));
      const auto r = hn::Or(hn::ShiftRightSame(c, j), hn::ShiftLeftSame(next, 64 - j));
      v = hn::Or(v, hn::Or(l, r));
    }
    hn::StoreU(v, d, dst + i);
  }
}

// dst = the union (OR, or maximum for bytes) of the rows, and the
// complement of a row in place: the same loops over words and bytes.
template <class T, class Op>
HWY_INLINE void UnionOfRows(T* HWY_RESTRICT dst, const T* const* rows, int nrows, size_t count,
                            Op op) {
  const hn::ScalableTag<T> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    auto v = hn::LoadU(d, rows[0] + i);
    for (int j = 1; j < nrows; ++j) v = op(v, hn::LoadU(d, rows[j] + i));
    hn::StoreU(v, d, dst + i);
  }
}

template <class T>
HWY_INLINE void NotInPlace(T* dst, size_t count) {
  const hn::ScalableTag<T> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) hn::StoreU(hn::Not(hn::LoadU(d, dst + i)), d, dst + i);
}

void MaskColN(uint64_t* HWY_RESTRICT dst, const uint64_t* const* rows, int nrows, size_t count) {
  UnionOfRows(dst, rows, nrows, count, [](auto a, auto b) { return hn::Or(a, b); });
}
void MaskNot(uint64_t* dst, size_t count) { NotInPlace(dst, count); }

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

// dst = max of each byte of src and its a neighbours on either side (a <= 63).
void ByteRowN(uint8_t* HWY_RESTRICT dst, const uint8_t* src, size_t count, int a) {
  const hn::ScalableTag<uint8_t> d;
  const size_t N = hn::Lanes(d);
  for (size_t i = 0; i < count; i += N) {
    auto v = hn::LoadU(d, src + i);
    for (int j = 1; j <= a; ++j) {
      v = hn::Max(v, hn::Max(hn::LoadU(d, src + i - j), hn::LoadU(d, src + i + j)));
    }
    hn::StoreU(v, d, dst + i);
  }
}

void ByteColN(uint8_t* HWY_RESTRICT dst, const uint8_t* const* rows, int nrows, size_t count) {
  UnionOfRows(dst, rows, nrows, count, [](auto a, auto b) { return hn::Max(a, b); });
}
void ByteNot(uint8_t* dst, size_t count) { NotInPlace(dst, count); }

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
}  // namespace vantor::nei
HWY_AFTER_NAMESPACE();

#if HWY_ONCE

#include <algorithm>
#include <cstdint>
#include <utility>

#include <hwy/aligned_allocator.h>

namespace vantor::nei {

HWY_EXPORT(MaskCross);
HWY_EXPORT(MaskRowN);
HWY_EXPORT(MaskColN);
HWY_EXPORT(MaskNot);
HWY_EXPORT(ByteCross);
HWY_EXPORT(ByteRowN);
HWY_EXPORT(ByteColN);
HWY_EXPORT(ByteNot);
HWY_EXPORT(Smooth3);

namespace {

constexpr size_t kAlignBytes = 64;  // widest vector; row lengths are multiples of it

size_t RoundUp(size_t v, size_t m) { return (v + m - 1) / m * m; }

// Scratch blocks kept per thread between calls, so that repeated filtering of
// large images does not pay for fresh pages every time. Blocks above
// kKeepBytes in all are released when the call ends.
class ScratchCache {
 public:
  static constexpr int kSlots = 3;
  static constexpr size_t kKeepBytes = size_t{32} << 20;

  // At least `bytes` bytes (contents unspecified), or null.
  uint8_t* Get(int slot, size_t bytes) {
    Slot& s = slots_[slot];
    if (s.size < bytes) {
      s.mem.reset();
      s.size = 0;
      s.mem = hwy::AllocateAligned<uint8_t>(bytes);
      if (!s.mem) return nullptr;
      s.size = bytes;
    }
    return s.mem.get();
  }

  void Trim() {
    size_t total = 0;
    for (const Slot& s : slots_) total += s.size;
    if (total <= kKeepBytes) return;
    for (Slot& s : slots_) {
      s.mem.reset();
      s.size = 0;
    }
  }

 private:
  struct Slot {
    hwy::AlignedFreeUniquePtr<uint8_t[]> mem;
    size_t size = 0;
  };
  Slot slots_[kSlots];
};

thread_local ScratchCache t_scratch;

// Rows -1 to h of `data` elements each, with `guard` elements on both sides
// of every row; rows -1 and h are guard rows. Guards are zero after Attach.
template <class T>
class Plane {
 public:
  static bool Size(size_t data, size_t guard, int32_t h, size_t* bytes) {
    const size_t stride = data + 2 * guard;
    const size_t rows = static_cast<size_t>(h) + 2;
    if (stride > SIZE_MAX / sizeof(T) / rows) return false;
    *bytes = stride * rows * sizeof(T);
    return true;
  }
  void Attach(uint8_t* mem, size_t data, size_t guard, int32_t h) {
    base_ = reinterpret_cast<T*>(mem);
    data_ = data;
    guard_ = guard;
    stride_ = data + 2 * guard;
    h_ = h;
    ZeroGuards();
  }
  void ZeroGuards() {
    std::fill(base_, base_ + stride_, T{0});
    std::fill(Row(h_) - guard_, Row(h_) - guard_ + stride_, T{0});
    for (int32_t y = 0; y < h_; ++y) {
      std::fill(Row(y) - guard_, Row(y), T{0});
      std::fill(Row(y) + data_, Row(y) + data_ + guard_, T{0});
    }
  }
  T* Row(ptrdiff_t y) const { return base_ + static_cast<size_t>(y + 1) * stride_ + guard_; }

 private:
  T* base_ = nullptr;
  size_t data_ = 0, guard_ = 0, stride_ = 0;
  int32_t h_ = 0;
};

// Masks: 64 pixels per word; bits past the width and the words up to the
// rounded row length stay 0.
struct MaskTraits {
  using T = uint64_t;
  static constexpr size_t kGuard = kAlignBytes / sizeof(T);
  static size_t Data(int32_t w) { return RoundUp((static_cast<size_t>(w) + 63) / 64, kGuard); }

  explicit MaskTraits(int32_t w)
      : nb((static_cast<size_t>(w) + 7) / 8), nw((static_cast<size_t>(w) + 63) / 64),
        nwR(Data(w)), lastMask(w % 64 ? (uint64_t{1} << (w % 64)) - 1 : ~uint64_t{0}),
        keepBits(static_cast<uint8_t>(w % 8 ? 0xFFu << (w % 8) : 0)) {}

  void ClearTail(T* row) const {
    row[nw - 1] &= lastMask;
    for (size_t i = nw; i < nwR; ++i) row[i] = 0;
  }
  void Load(T* row, const uint8_t* src, bool invert) const {
    row[nw - 1] = 0;
    std::memcpy(row, src, nb);
    if (invert) HWY_DYNAMIC_DISPATCH(MaskNot)(row, nwR);
    ClearTail(row);
  }
  void Store(T* row, uint8_t* dst, bool invert) const {
    if (invert) HWY_DYNAMIC_DISPATCH(MaskNot)(row, nwR);
    const uint8_t last = dst[nb - 1];
    std::memcpy(dst, row, nb);
    dst[nb - 1] = static_cast<uint8_t>((dst[nb - 1] & ~keepBits) | (last & keepBits));
  }
  void Not(T* row) const {
    HWY_DYNAMIC_DISPATCH(MaskNot)(row, nwR);
    ClearTail(row);
  }
  void Cross(T* dst, const T* up, const T* mid, const T* down) const {
    HWY_DYNAMIC_DISPATCH(MaskCross)(dst, up, mid, down, nwR);
    ClearTail(dst);
  }
  void RowN(T* dst, const T* src, int a) const {
    HWY_DYNAMIC_DISPATCH(MaskRowN)(dst, src, nwR, a);
    ClearTail(dst);
  }
  void ColN(T* dst, const T* const* rows, int nrows) const {
    HWY_DYNAMIC_DISPATCH(MaskColN)(dst, rows, nrows, nwR);
  }

  size_t nb, nw, nwR;
  uint64_t lastMask;
  uint8_t keepBits;
};

// Grey images: one byte per pixel; bytes past the width stay 0.
struct ByteTraits {
  using T = uint8_t;
  static constexpr size_t kGuard = kAlignBytes;
  static size_t Data(int32_t w) { return RoundUp(static_cast<size_t>(w), kGuard); }

  explicit ByteTraits(int32_t w) : w(static_cast<size_t>(w)), wR(Data(w)) {}

  void ClearTail(T* row) const { std::fill(row + w, row + wR, T{0}); }
  void Load(T* row, const uint8_t* src, bool invert) const {
    std::memcpy(row, src, w);
    if (invert) HWY_DYNAMIC_DISPATCH(ByteNot)(row, wR);
    ClearTail(row);
  }
  void Store(T* row, uint8_t* dst, bool invert) const {
    if (invert) HWY_DYNAMIC_DISPATCH(ByteNot)(row, wR);
    std::memcpy(dst, row, w);
  }
  void Not(T* row) const {
    HWY_DYNAMIC_DISPATCH(ByteNot)(row, wR);
    ClearTail(row);
  }
  void Cross(T* dst, const T* up, const T* mid, const T* down) const {
    HWY_DYNAMIC_DISPATCH(ByteCross)(dst, up, mid, down, wR);
    ClearTail(dst);
  }
  void RowN(T* dst, const T* src, int a) const {
    HWY_DYNAMIC_DISPATCH(ByteRowN)(dst, src, wR, a);
    ClearTail(dst);
  }
  void ColN(T* dst, const T* const* rows, int nrows) const {
    HWY_DYNAMIC_DISPATCH(ByteColN)(dst, rows, nrows, wR);
  }

  size_t w, wR;
};

// One pass of a pipeline: the run of 2a + 1 pixels along the row or along
// the column (together a steps of the 3 x 3 square), or one cross step.
enum class PassKind { kRowN, kColN, kCross };
struct PipeStage {
  PassKind kind;
  bool erode;
  int radius;  // a of the runs; 1 for the cross
};

// Runs up to kMaxStages passes in a single sweep down the image:
// every level keeps its last rows in a small ring and a row of level s is
// made from three rows of level s - 1 as soon as they exist, so the source
// is read once and the result written once. Level 0 holds the source rows,
// level s the result of stage s - 1; a level is in the complement domain
// when its stage erodes. Rows outside the image are the zero row.
template <class Traits>
class RowPipeline {
  using T = typename Traits::T;

 public:
  static constexpr int kMaxStages = 16;
  static constexpr int kMaxRadius = 7;
  static constexpr int kRing = 16;  // a power of two above 2 kMaxRadius + 1
  static constexpr size_t kRows = (kMaxStages + 1) * kRing + 4;  // rings, 3 temps, zero row

  static size_t Bytes(size_t data) { return kRows * (data + 2 * Traits::kGuard) * sizeof(T); }

  RowPipeline(const Traits& tr, int32_t h, size_t data, uint8_t* mem)
      : tr_(tr), h_(h), data_(data), stride_(data + 2 * Traits::kGuard),
        mem_(reinterpret_cast<T*>(mem)) {
    // Every pass writes whole data rows; only guards and the zero row must
    // start out zero.
    for (size_t i = 0; i < kRows; ++i) {
      std::fill(RowAt(i) - Traits::kGuard, RowAt(i), T{0});
      std::fill(RowAt(i) + data_, RowAt(i) + data_ + Traits::kGuard, T{0});
    }
    std::fill(RowAt(kRows - 1), RowAt(kRows - 1) + data_, T{0});
  }

  // load(y, row, invert) fills source row y in the given domain with its tail
  // clear; store(y, row, inverted) takes result row y (and may change it).
  // At every tick the levels make one row each, last level first, from rows
  // their input level made at earlier ticks (never from rows whose stores
  // are still in flight); then the next source row is loaded. So level s runs
  // lag(s) rows behind the source: one more than level s - 1, and one more
  // again for every row above and below that a pass looks at.
  template <class Load, class Store>
  void Run(const PipeStage* st, int k, Load&& load, Store&& store) {
    st_ = st;
    int32_t lag[kMaxStages + 1] = {0};
    for (int s = 1; s <= k; ++s)
      lag[s] = lag[s - 1] + 1 + (st[s - 1].kind == PassKind::kRowN ? 0 : st[s - 1].radius);
    for (int32_t t = 0; t < h_ + lag[k]; ++t) {
      for (int s = k; s >= 1; --s) {
        const int32_t r = t - lag[s];
        if (r >= 0 && r < h_) Make(s, r);
      }
      const int32_t r = t - lag[k];
      if (r >= 0) store(r, Ring(k, r), st[k - 1].erode);
      if (t < h_) load(t, Ring(0, t), Domain(0));
    }
  }

 private:
  T* RowAt(size_t i) const { return mem_ + i * stride_ + Traits::kGuard; }
  T* Ring(int level, int32_t y) const {
    return RowAt(static_cast<size_t>(level) * kRing + static_cast<size_t>(y & (kRing - 1)));
  }
  const T* Level(int level, int32_t y) const {
    return y < 0 || y >= h_ ? RowAt(kRows - 1) : Ring(level, y);
  }
  bool Domain(int level) const { return st_[level == 0 ? 0 : level - 1].erode; }

  // Row r of level s from the rows of level s - 1.
  void Make(int s, int32_t r) {
    T* out = Ring(s, r);
    const PipeStage& st = st_[s - 1];
    // A column run always follows the row run of its square in the same
    // domain, or starts a sweep; so only row runs and crosses change domain.
    const bool flip = Domain(s - 1) != Domain(s);
    if (st.kind == PassKind::kRowN) {
      const T* row = Level(s - 1, r);
      tr_.RowN(out, flip ? Inverted(row, 0) : row, st.radius);
      return;
    }
    if (st.kind == PassKind::kColN) {
      const T* rows[2 * kMaxRadius + 1];
      for (int j = -st.radius; j <= st.radius; ++j) rows[j + st.radius] = Level(s - 1, r + j);
      tr_.ColN(out, rows, 2 * st.radius + 1);
      return;
    }
    const T* rows[3] = {Level(s - 1, r - 1), Level(s - 1, r), Level(s - 1, r + 1)};
    if (flip) {
      for (int i = 0; i < 3; ++i) rows[i] = Inverted(rows[i], i);
    }
    tr_.Cross(out, rows[0], rows[1], rows[2]);
  }

  // The complement of a row in temporary row i; outside rows stay zero.
  const T* Inverted(const T* row, int i) const {
    if (row == RowAt(kRows - 1)) return row;
    T* t = RowAt(kRows - 4 + static_cast<size_t>(i));
    std::copy(row, row + data_, t);
    tr_.Not(t);
    return t;
  }

  const Traits& tr_;
  int32_t h_;
  size_t data_, stride_;
  T* mem_;
  const PipeStage* st_ = nullptr;
};

bool ValidRect(const void* p, int32_t width, int32_t height, int32_t pitch, int64_t rowBytes) {
  return p != nullptr && width > 0 && height > 0 && pitch >= rowBytes;
}

// The passes of a list as pipeline stages, in sweeps of at most kMaxStages.
// Dilations commute, so within a stretch of the same domain the square steps
// are gathered into one row run and one column run of up to kMaxRadius steps
// each, followed by the cross steps. Calls f(stages, k) for every sweep;
// false (f not called) for a list that is not all square and cross passes.
template <class Pipe, class F>
bool ForEachSweep(const Pass* passes, size_t count, int32_t w, int32_t h, F f) {
  for (size_t i = 0; i < count; ++i) {
    const Pass& p = passes[i];
    if (p.n < 1) continue;
    if (p.shape != Shape::kSquare && p.shape != Shape::kCross) return false;
    if (p.shape == Shape::kSquare && UsefulSteps(p.shape, p.n, w, h) > kSweepSquareSteps)
      return false;
  }
  PipeStage st[Pipe::kMaxStages];
  int k = 0;
  auto emit = [&](PipeStage p) {
    if (k == Pipe::kMaxStages) {
      f(st, k);
      k = 0;
    }
    st[k++] = p;
  };
  size_t i = 0;
  while (i < count) {
    bool erode = false;
    int64_t squares = 0, crosses = 0;
    bool started = false;
    for (; i < count; ++i) {
      const Pass& p = passes[i];
      const int32_t m = p.n < 1 ? 0 : UsefulSteps(p.shape, p.n, w, h);
      if (m <= 0) continue;
      if (started && p.erode != erode) break;
      started = true;
      erode = p.erode;
      (p.shape == Shape::kSquare ? squares : crosses) += m;
    }
    while (squares > 0) {
      const int a = static_cast<int>(std::min<int64_t>(squares, Pipe::kMaxRadius));
      emit(PipeStage{PassKind::kRowN, erode, a});
      emit(PipeStage{PassKind::kColN, erode, a});
      squares -= a;
    }
    for (; crosses > 0; --crosses) emit(PipeStage{PassKind::kCross, erode, 1});
  }
  if (k > 0) f(st, k);
  return true;
}

// Straight from the image through the pipeline back into the image: a row is
// stored only after every row it feeds has been loaded.
template <class Traits>
int32_t Sweep(uint8_t* base, int32_t w, int32_t h, int32_t pitch, const Pass* passes,
              size_t count) {
  using T = typename Traits::T;
  using Pipe = RowPipeline<Traits>;
  const Traits tr(w);
  const size_t data = Traits::Data(w);
  uint8_t* mem = nullptr;
  auto row = [&](int32_t y) { return base + static_cast<ptrdiff_t>(y) * pitch; };
  bool failed = false;
  const bool planned = ForEachSweep<Pipe>(passes, count, w, h, [&](const PipeStage* st, int k) {
    if (failed) return;
    if (mem == nullptr) mem = t_scratch.Get(2, Pipe::Bytes(data));
    if (mem == nullptr) {
      failed = true;
      return;
    }
    Pipe pipe(tr, h, data, mem);
    pipe.Run(
        st, k, [&](int32_t y, T* r, bool inv) { tr.Load(r, row(y), inv); },
        [&](int32_t y, T* r, bool inv) { tr.Store(r, row(y), inv); });
  });
  t_scratch.Trim();
  // Scratch is taken before the first sweep writes anything: a failure leaves
  // the pixels as they were.
  return planned && !failed ? 0 : -1;
}

// n steps of rows-then-columns smoothing on plane a (row results in plane
// b), stopping early at a fixed point. The guards then hold copies of the
// edge pixels (a missing neighbour is the pixel itself).
void SmoothPlanes(Plane<uint8_t>& a, Plane<uint8_t>& b, const ByteTraits& tr, int32_t h,
                  int32_t n, int rowKind, int colKind) {
  const size_t w = tr.w;
  for (int32_t i = 0; i < n; ++i) {
    bool changed = false;
    for (int32_t y = 0; y < h; ++y) {
      uint8_t* r = a.Row(y);
      r[-1] = r[0];
      r[w] = r[w - 1];
      HWY_DYNAMIC_DISPATCH(Smooth3)(b.Row(y), r - 1, r, r + 1, tr.wR, rowKind);
      changed = changed || std::memcmp(b.Row(y), r, w) != 0;
    }
    std::memcpy(b.Row(-1), b.Row(0), tr.wR);
    std::memcpy(b.Row(h), b.Row(h - 1), tr.wR);
    for (int32_t y = 0; y < h; ++y) {
      HWY_DYNAMIC_DISPATCH(Smooth3)(a.Row(y), b.Row(y - 1), b.Row(y), b.Row(y + 1), tr.wR,
                                    colKind);
      changed = changed || std::memcmp(b.Row(y), a.Row(y), w) != 0;
    }
    if (!changed) break;
  }
}

}  // namespace

int32_t ByteSweep(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                  const Pass* passes, size_t count) {
  if (!ValidRect(pixels, width, height, pitch, width)) return -1;
  return Sweep<ByteTraits>(pixels, width, height, pitch, passes, count);
}

int32_t BitSweep(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                 const Pass* passes, size_t count) {
  if (!ValidRect(pixels, width, height, pitch, (int64_t{width} + 7) / 8)) return -1;
  return Sweep<MaskTraits>(pixels, width, height, pitch, passes, count);
}

int32_t ByteSmooth(uint8_t* pixels, int32_t width, int32_t height, int32_t pitch,
                   Smoothing kind, int32_t n) {
  if (!ValidRect(pixels, width, height, pitch, width)) return -1;
  if (n < 1) return 0;
  const ByteTraits tr(width);
  const size_t data = ByteTraits::Data(width);
  size_t planeBytes = 0;
  if (!Plane<uint8_t>::Size(data, ByteTraits::kGuard, height, &planeBytes)) return -1;
  uint8_t* pa = t_scratch.Get(0, planeBytes);
  uint8_t* pb = pa ? t_scratch.Get(1, planeBytes) : nullptr;
  if (!pb) {
    t_scratch.Trim();
    return -1;
  }
  Plane<uint8_t> a, b;
  a.Attach(pa, data, ByteTraits::kGuard, height);
  b.Attach(pb, data, ByteTraits::kGuard, height);
  auto row = [&](int32_t y) { return pixels + static_cast<ptrdiff_t>(y) * pitch; };
  const int rowKind = kind == Smoothing::kAver124 ? 0 : kind == Smoothing::kMedian ? 1 : 2;
  const int colKind = kind == Smoothing::kAver124 ? 0 : kind == Smoothing::kMedian ? 1 : 3;
  for (int32_t y = 0; y < height; ++y) tr.Load(a.Row(y), row(y), false);
  SmoothPlanes(a, b, tr, height, n, rowKind, colKind);
  for (int32_t y = 0; y < height; ++y) tr.Store(a.Row(y), row(y), false);
  t_scratch.Trim();
  return 0;
}

}  // namespace vantor::nei

#endif  // HWY_ONCE
