// The small real 2-D FFT of the global start (internal; exposed for its
// tests): twiddles, column transforms and the packed real n x n transform.
#ifndef VANTOR_REGISTRATION_START_FFT_H
#define VANTOR_REGISTRATION_START_FFT_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantor::drift {

namespace fft {

// cos and sin of 2 pi j / n for j < n / 2.
struct Twiddles {
  int32_t n = 0;
  std::vector<float> c, s;
  bool Build(int32_t size);  // size a power of two >= 2; false when memory is short
};

// In place, unscaled complex DFT along the first axis of a t.n x cols block
// (split real and imaginary parts, rows `stride` floats apart): column j is
// transformed on its own for every j < cols. Forward uses exp(-i...).
void Columns(float* re, float* im, int32_t cols, std::ptrdiff_t stride, const Twiddles& t,
             bool inverse);

// Scratch and layout of the real n x n transforms: the half spectrum is held
// transposed, bin (kx, ky) for ky in [0, n/2] at kx * (n/2 + 1) + ky.
struct Real2D {
  int32_t n = 0;
  Twiddles t;
  std::vector<float> zr, zi;      // n rows of n/2: the packed image, or the inverse's result
  bool Init(const Twiddles& tw);  // the side is tw.n; false when memory is short
  int32_t HalfCols() const { return n / 2 + 1; }
  // The image is read from zr (columns [0, n/2)) and zi (columns [n/2, n)),
  // row y at y * n/2: Load puts it there.
  void Load(const float* img, std::ptrdiff_t pitch);
  void Forward(float* re, float* im);
  // re/im (a half spectrum, modified) to n^2 times the real image, left in
  // zr/zi as Load puts it; Pixel reads it back.
  void Inverse(float* re, float* im);
  float Pixel(int32_t x, int32_t y) const {
    const int32_t h = n / 2;
    return x < h ? zr[static_cast<size_t>(y) * h + x] : zi[static_cast<size_t>(y) * h + x - h];
  }
};

}  // namespace fft

}  // namespace vantor::drift

#endif  // VANTOR_REGISTRATION_START_FFT_H
