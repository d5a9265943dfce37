// Byte scaling through a table, scalar and vector (see bytescale.h).
#include "improc/bytescale.h"

#include <cstring>

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "improc/bytescale.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Scales n bytes in place by the exact formula; returns how many exceeded the
// limit. The last partial vector goes through the table.
int64_t ScaleRun(const ByteScale* s, uint8_t* p, size_t n) {
  int64_t clipped = 0;
  size_t i = 0;
#if HWY_TARGET != HWY_SCALAR
  const hn::ScalableTag<uint8_t> d8;
  const hn::Repartition<uint16_t, decltype(d8)> d16;
  const size_t N = hn::Lanes(d8);
  const auto q = hn::Set(d16, s->q);
  const auto m = hn::Set(d16, s->m);
  const auto low = hn::Set(d16, 0x00FF);
  const auto limit = hn::Set(d8, s->limit);
  const bool count = s->anyClipped;
  for (; i + N <= n; i += N) {
    const auto v = hn::LoadU(d8, p + i);
    const auto w = hn::BitCast(d16, v);
    const auto even = hn::And(w, low);
    const auto odd = hn::ShiftRight<8>(w);
    const auto re = hn::Min(hn::SaturatedAdd(hn::Mul(even, q), hn::MulHigh(even, m)), low);
    const auto ro = hn::Min(hn::SaturatedAdd(hn::Mul(odd, q), hn::MulHigh(odd, m)), low);
    hn::StoreU(hn::BitCast(d8, hn::Or(re, hn::ShiftLeft<8>(ro))), d8, p + i);
    if (count) {
      // v > limit exactly where min(v, limit) differs from v.
      clipped += static_cast<int64_t>(hn::CountTrue(d8, hn::Ne(hn::Min(v, limit), v)));
    }
  }
#endif
  for (; i < n; ++i) {
    clipped += s->clipped[p[i]];
    p[i] = s->table[p[i]];
  }
  return clipped;
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor {

HWY_EXPORT(ScaleRun);

namespace {

int64_t TableRun(const ByteScale& s, uint8_t* p, size_t n) {
  int64_t clipped = 0;
  if (s.anyClipped) {
    for (size_t i = 0; i < n; ++i) {
      clipped += s.clipped[p[i]];
      p[i] = s.table[p[i]];
    }
  } else {
    for (size_t i = 0; i < n; ++i) p[i] = s.table[p[i]];
  }
  return clipped;
}

template <class Run>
int64_t ForRows(uint8_t* pixels, int64_t rowBytes, int32_t height, ptrdiff_t pitch, Run&& run) {
  if (rowBytes <= 0 || height <= 0) return 0;
  if (pitch == rowBytes) {
    // Unpadded rows: one run over the whole block.
    return run(pixels, static_cast<size_t>(rowBytes) * static_cast<size_t>(height));
  }
  int64_t clipped = 0;
  for (int32_t y = 0; y < height; ++y) {
    clipped += run(pixels + y * pitch, static_cast<size_t>(rowBytes));
  }
  return clipped;
}

}  // namespace

void MakeByteScale(uint32_t mul, uint32_t div, ByteScale& s) {
  if (div == 0) div = 1;
  s.anyClipped = false;
  for (uint32_t i = 0; i < 256; ++i) {
    const uint32_t e = (i * mul) / div;  // wraps modulo 2^32 like the product it models
    s.clipped[i] = e > 255 ? 1 : 0;
    s.table[i] = e > 255 ? 255 : static_cast<uint8_t>(e);
    s.anyClipped = s.anyClipped || e > 255;
  }
  // Vector form: ratio = q + r / div with m = ceil(65536 r / div). Exact for
  // every div up to 256 (reduced), verified below for all others.
  const uint32_t q = mul / div;
  const uint64_t r = mul % div;
  const uint64_t m = (r * 65536u + div - 1) / div;
  s.vectorOk = false;
  if (m > 0xFFFF) return;
  s.q = static_cast<uint16_t>(q > 256 ? 256 : q);
  s.m = static_cast<uint16_t>(m);
  int32_t lastUnclipped = -1;
  int32_t firstClipped = 256;
  for (uint32_t p = 0; p < 256; ++p) {
    uint32_t v = p * s.q + ((p * s.m) >> 16);
    if (v > 255) v = 255;
    if (v != s.table[p]) return;
    if (s.clipped[p]) {
      if (firstClipped == 256) firstClipped = static_cast<int32_t>(p);
    } else {
      lastUnclipped = static_cast<int32_t>(p);
    }
  }
  // Counting by "value above the limit" needs every clipped entry above every
  // unclipped one.
  // (Entry 0 is always 0, so firstClipped is at least 1.)
  if (lastUnclipped > firstClipped) return;
  s.limit = static_cast<uint8_t>(s.anyClipped ? firstClipped - 1 : 255);
  s.vectorOk = true;
}

int64_t ByteScaleRowsScalar(const ByteScale& s, uint8_t* pixels, int64_t rowBytes,
                            int32_t height, ptrdiff_t pitch) {
  return ForRows(pixels, rowBytes, height, pitch,
                 [&](uint8_t* p, size_t n) { return TableRun(s, p, n); });
}

int64_t ByteScaleRowsVector(const ByteScale& s, uint8_t* pixels, int64_t rowBytes,
                            int32_t height, ptrdiff_t pitch) {
  if (!s.vectorOk) return ByteScaleRowsScalar(s, pixels, rowBytes, height, pitch);
  return ForRows(pixels, rowBytes, height, pitch, [&](uint8_t* p, size_t n) {
    return HWY_DYNAMIC_DISPATCH(ScaleRun)(&s, p, n);
  });
}

}  // namespace vantor
#endif
