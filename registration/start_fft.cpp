// The small real 2-D FFT the global start runs on: an iterative radix-2
// complex transform along columns (vector butterflies with run-time dispatch),
// two real columns packed into one complex transform, half spectra held
// transposed. Sides are powers of two; twiddles are built once per frame.
#include "registration/start_fft.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>
#include <numbers>

#include "generic/last_error.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "registration/start_fft.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace vantor::drift {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// b = a - w b, a = a + w b, element by element over a row pair (w = 1 when
// one is true).
template <bool one>
HWY_INLINE void Butterfly(float* HWY_RESTRICT ar, float* HWY_RESTRICT ai, float* HWY_RESTRICT br,
                          float* HWY_RESTRICT bi, float wr, float wi, int32_t cols) {
  const hn::ScalableTag<float> d;
  const int32_t n = static_cast<int32_t>(hn::Lanes(d));
  const auto vr = hn::Set(d, wr), vi = hn::Set(d, wi);
  int32_t c = 0;
  for (; c + n <= cols; c += n) {
    const auto pr = hn::LoadU(d, br + c), pi = hn::LoadU(d, bi + c);
    const auto xr = one ? pr : hn::MulSub(pr, vr, hn::Mul(pi, vi));
    const auto xi = one ? pi : hn::MulAdd(pr, vi, hn::Mul(pi, vr));
    const auto qr = hn::LoadU(d, ar + c), qi = hn::LoadU(d, ai + c);
    hn::StoreU(hn::Sub(qr, xr), d, br + c);
    hn::StoreU(hn::Sub(qi, xi), d, bi + c);
    hn::StoreU(hn::Add(qr, xr), d, ar + c);
    hn::StoreU(hn::Add(qi, xi), d, ai + c);
  }
  for (; c < cols; ++c) {
    const float xr = one ? br[c] : br[c] * wr - bi[c] * wi;
    const float xi = one ? bi[c] : br[c] * wi + bi[c] * wr;
    br[c] = ar[c] - xr;
    bi[c] = ai[c] - xi;
    ar[c] += xr;
    ai[c] += xi;
  }
}

// Radix 2, decimation in time, on whole rows of an n-row block: the inner
// loops run along the columns, where they vectorise and stay in cache.
// Twiddles cos and sin of 2 pi j / n for j < n / 2.
void Transform(float* re, float* im, int32_t cols, std::ptrdiff_t stride, int32_t n,
               const float* tc, const float* ts, bool inverse) {
  for (int32_t i = 1, j = 0; i < n; ++i) {
    int32_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) {
      std::swap_ranges(re + i * stride, re + i * stride + cols, re + j * stride);
      std::swap_ranges(im + i * stride, im + i * stride + cols, im + j * stride);
    }
  }
  for (int32_t len = 2; len <= n; len <<= 1) {
    const int32_t half = len / 2, step = n / len;
    for (int32_t i = 0; i < n; i += len) {
      for (int32_t j = 0; j < half; ++j) {
        const std::ptrdiff_t a = (i + j) * stride, b = (i + j + half) * stride;
        if (j == 0) {
          Butterfly<true>(re + a, im + a, re + b, im + b, 1.0f, 0.0f, cols);
        } else {
          const float wr = tc[j * step], wi = inverse ? ts[j * step] : -ts[j * step];
          Butterfly<false>(re + a, im + a, re + b, im + b, wr, wi, cols);
        }
      }
    }
  }
}

}  // namespace HWY_NAMESPACE
}  // namespace vantor::drift
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace vantor::drift {

namespace {
HWY_EXPORT(Transform);
}  // namespace

namespace fft {

bool Twiddles::Build(int32_t size) {
  if (size < 2 || (size & (size - 1)) != 0) return false;
  try {
    c.resize(size / 2);
    s.resize(size / 2);
  } catch (const std::bad_alloc&) {
    return vantor::err::FailMemory();
  }
  for (int32_t j = 0; j < size / 2; ++j) {
    const double a = 2.0 * std::numbers::pi * j / size;
    c[j] = static_cast<float>(std::cos(a));
    s[j] = static_cast<float>(std::sin(a));
  }
  n = size;
  return true;
}

// The transform itself runs as the vector kernel Transform.
void Columns(float* re, float* im, int32_t cols, std::ptrdiff_t stride, const Twiddles& t,
             bool inverse) {
  HWY_DYNAMIC_DISPATCH(Transform)(re, im, cols, stride, t.n, t.c.data(), t.s.data(), inverse);
}

bool Real2D::Init(const Twiddles& tw) {
  if (tw.n < 4) return false;
  try {
    t = tw;
    n = tw.n;
    zr.assign(static_cast<size_t>(n) * n / 2, 0.0f);
    zi.assign(static_cast<size_t>(n) * n / 2, 0.0f);
  } catch (const std::bad_alloc&) {
    return vantor::err::FailMemory();
  }
  return true;
}

void Real2D::Load(const float* img, std::ptrdiff_t pitch) {
  const int32_t h = n / 2;
  for (int32_t y = 0; y < n; ++y) {
    const float* row = img + y * pitch;
    std::copy(row, row + h, zr.data() + static_cast<size_t>(y) * h);
    std::copy(row + h, row + n, zi.data() + static_cast<size_t>(y) * h);
  }
}

// Two real columns ride in one complex transform (left half as the real
// part, right half as the imaginary part); only ky <= n/2 is kept and
// transformed along x.
void Real2D::Forward(float* re, float* im) {
  const int32_t h = n / 2, m = HalfCols();
  Columns(zr.data(), zi.data(), h, h, t, false);
  for (int32_t ky = 0; ky <= h; ++ky) {
    const float* pr = zr.data() + static_cast<size_t>(ky) * h;
    const float* pi = zi.data() + static_cast<size_t>(ky) * h;
    const int32_t km = (n - ky) & (n - 1);
    const float* qr = zr.data() + static_cast<size_t>(km) * h;
    const float* qi = zi.data() + static_cast<size_t>(km) * h;
    for (int32_t c = 0; c < h; ++c) {
      re[c * m + ky] = 0.5f * (pr[c] + qr[c]);
      im[c * m + ky] = 0.5f * (pi[c] - qi[c]);
      re[(c + h) * m + ky] = 0.5f * (pi[c] + qi[c]);
      im[(c + h) * m + ky] = -0.5f * (pr[c] - qr[c]);
    }
  }
  Columns(re, im, m, m, t, false);
}

// The reverse path: along x first, then the full ky range rebuilt from the
// kept half (conjugate symmetry) with two columns packed per transform.
void Real2D::Inverse(float* re, float* im) {
  const int32_t h = n / 2, m = HalfCols();
  Columns(re, im, m, m, t, true);
  for (int32_t ky = 0; ky < n; ++ky) {
    float* pr = zr.data() + static_cast<size_t>(ky) * h;
    float* pi = zi.data() + static_cast<size_t>(ky) * h;
    if (ky <= h) {
      for (int32_t c = 0; c < h; ++c) {
        pr[c] = re[c * m + ky] - im[(c + h) * m + ky];
        pi[c] = im[c * m + ky] + re[(c + h) * m + ky];
      }
    } else {
      const int32_t k = n - ky;
      for (int32_t c = 0; c < h; ++c) {
        pr[c] = re[c * m + k] + im[(c + h) * m + k];
        pi[c] = re[(c + h) * m + k] - im[c * m + k];
      }
    }
  }
  Columns(zr.data(), zi.data(), h, h, t, true);
}

}  // namespace fft

}  // namespace vantor::drift
#endif  // HWY_ONCE
