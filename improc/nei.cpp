// Scalar neighbourhood kernels, the reference of the vector ones: one pass
// over the image per step, with a few scratch rows allocated per call.
#include "improc/nei.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "generic/last_error.h"
#include "improc/nei_codes.h"

namespace {

using vantor::nei::MorphPlan;
using vantor::nei::MorphStep;
using vantor::nei::PlanMorph;
using vantor::nei::Shape;
using vantor::nei::UsefulSteps;
namespace code = vantor::nei;

static_assert(std::endian::native == std::endian::little,
              "mask rows are read as little-endian words");

template <class T>
std::unique_ptr<T[]> TryAllocate(size_t count) {
  return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// The rectangle of a call, or false with the cause (stated only on that path:
// the kernels run once per filter step).
bool ValidRect(const char* operation, const void* p, int32_t width, int32_t height,
               int32_t pitch, int64_t rowBytes) {
  if (p != nullptr && width > 0 && height > 0 && pitch >= rowBytes) return true;
  return vantor::err::Report(operation, VANTOR_ERROR_PARAMETER,
                             "%d x %d pixels with pitch %d at %p are not a rectangle", width,
                             height, pitch, p);
}

int32_t NoScratch(const char* operation) {
  return vantor::err::Report(operation, VANTOR_ERROR_MEMORY, "out of memory"), -1;
}

// ---------------------------------------------------------------- 8 bits

struct Min {
  uint8_t operator()(uint8_t a, uint8_t b) const { return a < b ? a : b; }
};
struct Max {
  uint8_t operator()(uint8_t a, uint8_t b) const { return a > b ? a : b; }
};

// Three-tap filters f(p, c, q) along a line; a missing end neighbour is c.
struct Aver124 {
  uint8_t operator()(unsigned p, unsigned c, unsigned q) const {
    return static_cast<uint8_t>((p + 2 * c + q + 2) >> 2);
  }
};
struct Median3 {
  uint8_t operator()(uint8_t p, uint8_t c, uint8_t q) const {
    return std::max(std::min(p, c), std::min(std::max(p, c), q));
  }
};
template <unsigned kRound>
struct Mean3 {
  uint8_t operator()(unsigned p, unsigned c, unsigned q) const {
    return static_cast<uint8_t>((p + c + q + kRound) / 3);
  }
};
template <class Op>
struct Extreme3 {
  uint8_t operator()(uint8_t p, uint8_t c, uint8_t q) const { return Op()(Op()(p, c), q); }
};

class ByteImage {
 public:
  ByteImage(uint8_t* base, int32_t w, int32_t h, int32_t pitch)
      : base_(base), w_(w), h_(h), pitch_(pitch) {}

  bool AllocateScratch() {
    prev_ = TryAllocate<uint8_t>(static_cast<size_t>(w_));
    cur_ = TryAllocate<uint8_t>(static_cast<size_t>(w_));
    return prev_ && cur_;
  }

  uint8_t* Row(int32_t y) const { return base_ + static_cast<ptrdiff_t>(y) * pitch_; }

  // Each row in place; the previous pixel's old value is carried along.
  template <class F>
  bool RowPass(F f) const {
    uint8_t changed = 0;
    for (int32_t y = 0; y < h_; ++y) {
      uint8_t* r = Row(y);
      uint8_t p = r[0];
      for (int32_t x = 0; x < w_; ++x) {
        const uint8_t c = r[x];
        const uint8_t q = x + 1 < w_ ? r[x + 1] : c;
        r[x] = f(p, c, q);
        changed |= static_cast<uint8_t>(r[x] ^ c);
        p = c;
      }
    }
    return changed != 0;
  }

  // Down the columns: f(up, mid, down, x) gives pixel x of a row from the
  // old values of the rows above, itself and below (the row itself again at
  // the image's top and bottom). The scratch rows keep the old values of the
  // row above and of the row being rewritten.
  template <class F>
  bool VerticalPass(F f) {
    uint8_t changed = 0;
    std::memcpy(prev_.get(), Row(0), static_cast<size_t>(w_));
    for (int32_t y = 0; y < h_; ++y) {
      uint8_t* r = Row(y);
      std::memcpy(cur_.get(), r, static_cast<size_t>(w_));
      const uint8_t* up = prev_.get();
      const uint8_t* mid = cur_.get();
      const uint8_t* down = y + 1 < h_ ? Row(y + 1) : mid;
      for (int32_t x = 0; x < w_; ++x) {
        r[x] = f(up, mid, down, x);
        changed |= static_cast<uint8_t>(r[x] ^ mid[x]);
      }
      std::swap(prev_, cur_);
    }
    return changed != 0;
  }

  template <class F>
  bool ColumnPass(F f) {
    return VerticalPass([f](const uint8_t* up, const uint8_t* mid, const uint8_t* down,
                            int32_t x) { return f(up[x], mid[x], down[x]); });
  }

  // Minimum or maximum over the pixel and its four edge neighbours.
  template <class Op>
  void CrossPass() {
    const int32_t w = w_;
    VerticalPass([w](const uint8_t* up, const uint8_t* mid, const uint8_t* down, int32_t x) {
      Op op;
      uint8_t v = op(op(up[x], mid[x]), down[x]);
      if (x > 0) v = op(v, mid[x - 1]);
      if (x + 1 < w) v = op(v, mid[x + 1]);
      return v;
    });
  }

  template <class Op>
  void Step(Shape s) {
    switch (s) {
      case Shape::kSquare:  // the square is separable: row triple, then column triple
        RowPass(Extreme3<Op>());
        ColumnPass(Extreme3<Op>());
        break;
      case Shape::kCross: CrossPass<Op>(); break;
      case Shape::kRow: RowPass(Extreme3<Op>()); break;
      case Shape::kColumn: ColumnPass(Extreme3<Op>()); break;
    }
  }

  void Morph(MorphStep st, int32_t n) {
    n = UsefulSteps(st.shape, n, w_, h_);
    for (int32_t i = 0; i < n; ++i) {
      if (st.erode) {
        Step<Min>(st.shape);
      } else {
        Step<Max>(st.shape);
      }
    }
  }

  // Smoothing: rows then columns per step. A step that changes nothing is a
  // fixed point, so the remaining steps are skipped.
  template <class FRow, class FCol>
  void Smooth(int32_t n, FRow fr, FCol fc) {
    for (int32_t i = 0; i < n; ++i) {
      const bool a = RowPass(fr);
      const bool b = ColumnPass(fc);
      if (!a && !b) break;
    }
  }

 private:
  uint8_t* base_;
  int32_t w_, h_, pitch_;
  std::unique_ptr<uint8_t[]> prev_, cur_;
};

// ---------------------------------------------------------------- masks

// Mask rows are handled as 32-bit words in scratch rows. Erosion is done as
// dilation of the complement: on the way in a row is inverted and its bits
// past the width cleared, so outside pixels count as set for an erosion and
// as clear for a dilation.
class MaskImage {
 public:
  MaskImage(uint8_t* base, int32_t w, int32_t h, int32_t pitch)
      : base_(base), w_(w), h_(h), pitch_(pitch),
        nb_((w + 7) / 8), nw_((w + 31) / 32),
        lastMask_(w % 32 ? (uint32_t{1} << (w % 32)) - 1 : ~uint32_t{0}),
        keepBits_(static_cast<uint8_t>(w % 8 ? 0xFFu << (w % 8) : 0)) {}

  bool AllocateScratch() {
    for (auto& r : rows_) {
      r = TryAllocate<uint32_t>(static_cast<size_t>(nw_));
      if (!r) return false;
    }
    return true;
  }

  void Morph(MorphStep st, int32_t n) {
    n = UsefulSteps(st.shape, n, w_, h_);
    for (int32_t i = 0; i < n; ++i) Pass(st.shape, st.erode);
  }

 private:
  uint8_t* Row(int32_t y) const { return base_ + static_cast<ptrdiff_t>(y) * pitch_; }

  void Load(int32_t y, uint32_t* words, bool invert) const {
    words[nw_ - 1] = 0;
    std::memcpy(words, Row(y), static_cast<size_t>(nb_));
    if (invert) {
      for (int32_t i = 0; i < nw_; ++i) words[i] = ~words[i];
    }
    words[nw_ - 1] &= lastMask_;
  }

  void Store(int32_t y, uint32_t* words, bool invert) const {
    if (invert) {
      for (int32_t i = 0; i < nw_; ++i) words[i] = ~words[i];
    }
    uint8_t* r = Row(y);
    const uint8_t last = r[nb_ - 1];
    std::memcpy(r, words, static_cast<size_t>(nb_));
    r[nb_ - 1] = static_cast<uint8_t>((r[nb_ - 1] & ~keepBits_) | (last & keepBits_));
  }

  // OR of each pixel with its left and right neighbours, within the row.
  void Horizontal(const uint32_t* in, uint32_t* out) const {
    for (int32_t i = 0; i < nw_; ++i) {
      const uint32_t w = in[i];
      const uint32_t fromLeft = (w << 1) | (i > 0 ? in[i - 1] >> 31 : 0);
      const uint32_t fromRight = (w >> 1) | (i + 1 < nw_ ? in[i + 1] << 31 : 0);
      out[i] = w | fromLeft | fromRight;
    }
    out[nw_ - 1] &= lastMask_;
  }

  // One dilation step over the whole image. A rolling set of scratch rows
  // holds the input rows around y (for the square: their row dilations).
  void Pass(Shape s, bool invert) {
    uint32_t* up = rows_[0].get();
    uint32_t* mid = rows_[1].get();
    uint32_t* down = rows_[2].get();
    uint32_t* out = rows_[3].get();
    const bool rowsFirst = s == Shape::kSquare;
    auto loadInto = [&](int32_t y, uint32_t* dst) {
      if (rowsFirst) {
        Load(y, out, invert);
        Horizontal(out, dst);
      } else {
        Load(y, dst, invert);
      }
    };
    loadInto(0, mid);
    bool haveUp = false;
    for (int32_t y = 0; y < h_; ++y) {
      const bool haveDown = y + 1 < h_;
      if (haveDown) loadInto(y + 1, down);
      switch (s) {
        case Shape::kRow: Horizontal(mid, out); break;
        case Shape::kCross: Horizontal(mid, out); break;
        default: std::memcpy(out, mid, static_cast<size_t>(nw_) * 4); break;
      }
      if (s != Shape::kRow) {
        for (int32_t i = 0; i < nw_; ++i) {
          out[i] |= (haveUp ? up[i] : 0) | (haveDown ? down[i] : 0);
        }
      }
      Store(y, out, invert);
      std::swap(up, mid);
      std::swap(mid, down);
      haveUp = true;
    }
  }

  uint8_t* base_;
  int32_t w_, h_, pitch_;
  int32_t nb_, nw_;
  uint32_t lastMask_;
  uint8_t keepBits_;
  std::unique_ptr<uint32_t[]> rows_[4];
};

}  // namespace

extern "C" {

int32_t NeiMem(void* pixels, int32_t width, int32_t height, int32_t pitch, int32_t op,
               int32_t n) {
  if (!ValidRect(__func__, pixels, width, height, pitch, width)) return -1;
  if (n < 1) return 0;
  ByteImage img(static_cast<uint8_t*>(pixels), width, height, pitch);
  const MorphPlan plan = PlanMorph(op);
  const bool smoothing = op == code::kAver124 || op == code::kMedian || op == code::kBlur;
  if (plan.count == 0 && !smoothing) return 0;
  if (!img.AllocateScratch()) return NoScratch(__func__);
  for (int i = 0; i < plan.count; ++i) img.Morph(plan.step[i], n);
  switch (op) {
    case code::kAver124: img.Smooth(n, Aver124(), Aver124()); break;
    case code::kMedian: img.Smooth(n, Median3(), Median3()); break;
    case code::kBlur: img.Smooth(n, Mean3<2>(), Mean3<1>()); break;
    default: break;
  }
  return 0;
}

int32_t MaskNei(void* pixels, int32_t width, int32_t height, int32_t pitch, int32_t op,
                int32_t n) {
  if (!ValidRect(__func__, pixels, width, height, pitch, (int64_t{width} + 7) / 8)) return -1;
  if (n < 1) return 0;
  const MorphPlan plan = PlanMorph(op);
  if (plan.count == 0) return 0;
  MaskImage img(static_cast<uint8_t*>(pixels), width, height, pitch);
  if (!img.AllocateScratch()) return NoScratch(__func__);
  for (int i = 0; i < plan.count; ++i) img.Morph(plan.step[i], n);
  return 0;
}

}  // extern "C"
