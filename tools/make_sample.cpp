// Makes the bundled sample sequence: frames of a source picture displaced by
// known sub-pixel amounts (a slow drift with one jump), resampled exactly by
// Fourier interpolation, cropped to the centre and saved as 8-bit TIFF files,
// with a truth file of the displacements the program should report.
//
//   make_sample SOURCE.tif OUTPUT-FOLDER
#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "tools/image_writer.h"

namespace {

using Complex = std::complex<double>;

// Displacement of frame k against frame 1 in picture coordinates: x to the
// right, y downward (TIFF row order); a feature at p in frame 1 is at p + s.
struct Shift {
  double x, y;
};
const Shift kShifts[] = {
    {0.00, 0.00},   {0.37, -0.21},  {0.81, -0.38},  {1.24, -0.66},
    {1.58, -0.83},  {2.03, -1.12},  {21.47, 6.35},  {21.86, 6.12},
    {22.29, 5.91},  {22.71, 5.63},  {23.05, 5.40},  {23.52, 5.17},
};

// The frames are smoothed slightly (Gaussian of kSigma pixels, applied in the
// spectrum) the way a microscope's optics band-limit what the camera samples;
// the raw picture holds detail right up to the pixel scale.
constexpr double kSigma = 1.5;
// Bright-field pictures are faint; the frames get their contrast stretched
// about the mean grey level of the centre, as such pictures are usually shown.
constexpr double kContrast = 2.5;
constexpr double kMean = 60.0;

// Shifts a periodic sequence by s samples (out[n] = in(n - s)) with the DFT.
void ShiftLine(std::vector<double>& line, double s, const std::vector<Complex>& twiddle) {
  const size_t n = line.size();
  std::vector<Complex> spectrum(n);
  for (size_t k = 0; k < n; ++k) {
    Complex sum = 0;
    for (size_t i = 0; i < n; ++i) sum += line[i] * twiddle[(k * i) % n];
    const double freq = k <= n / 2 ? static_cast<double>(k) : static_cast<double>(k) - n;
    const double f = freq / n;
    spectrum[k] = sum * std::polar(std::exp(-2.0 * M_PI * M_PI * kSigma * kSigma * f * f),
                                   -2.0 * M_PI * freq * s / n);
  }
  for (size_t i = 0; i < n; ++i) {
    Complex sum = 0;
    for (size_t k = 0; k < n; ++k) sum += spectrum[k] * std::conj(twiddle[(k * i) % n]);
    line[i] = sum.real() / n;
  }
}

std::vector<Complex> Twiddles(size_t n) {
  std::vector<Complex> t(n);
  for (size_t m = 0; m < n; ++m) t[m] = std::polar(1.0, -2.0 * M_PI * m / n);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_sample SOURCE.tif OUTPUT-FOLDER\n");
    return 2;
  }
  const int32_t src = mrReadFile(argv[1]);
  int32_t w = 0, h = 0, pitch = 0;
  void* pixels = nullptr;
  if (src < 1 || mrGetExtendedInfo(src, &w, &h, &pitch, &pixels) != 8) {
    std::fprintf(stderr, "make_sample: %s: not an 8-bit grey image\n", argv[1]);
    return 1;
  }
  // The picture top row first, as doubles.
  std::vector<double> picture(static_cast<size_t>(w) * h);
  for (int32_t y = 0; y < h; ++y) {
    const auto* row = static_cast<const uint8_t*>(pixels) + static_cast<size_t>(h - 1 - y) * pitch;
    for (int32_t x = 0; x < w; ++x) picture[static_cast<size_t>(y) * w + x] = row[x];
  }
  mrFree(src);

  const int32_t cw = 400, ch = 400;  // the central crop keeps the wrapped borders out
  const int32_t x0 = (w - cw) / 2, y0 = (h - ch) / 2;
  const auto twW = Twiddles(static_cast<size_t>(w)), twH = Twiddles(static_cast<size_t>(h));
  std::string truth =
      "# frame\tDX\tDY  (against frame 1, as vantor reports them: DY counts upward)\n";
  int frame = 0;
  for (const Shift& s : kShifts) {
    ++frame;
    std::vector<double> img = picture;
    std::vector<double> line(static_cast<size_t>(w));
    for (int32_t y = 0; y < h; ++y) {
      std::copy_n(img.begin() + static_cast<long>(y) * w, w, line.begin());
      ShiftLine(line, s.x, twW);
      std::copy(line.begin(), line.end(), img.begin() + static_cast<long>(y) * w);
    }
    std::vector<double> col(static_cast<size_t>(h));
    for (int32_t x = 0; x < w; ++x) {
      for (int32_t y = 0; y < h; ++y) col[y] = img[static_cast<size_t>(y) * w + x];
      ShiftLine(col, s.y, twH);
      for (int32_t y = 0; y < h; ++y) img[static_cast<size_t>(y) * w + x] = col[y];
    }
    std::vector<uint8_t> out(static_cast<size_t>(cw) * ch);
    for (int32_t y = 0; y < ch; ++y)
      for (int32_t x = 0; x < cw; ++x) {
        double v = std::round(kMean + kContrast * (img[static_cast<size_t>(y + y0) * w + x + x0] - kMean));
        out[static_cast<size_t>(y) * cw + x] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
    char name[64];
    std::snprintf(name, sizeof name, "cell_%02d.tif", frame);
    if (!vantor::tools::WriteTiff(std::string(argv[2]) + "/" + name, out, cw, ch)) {
      std::fprintf(stderr, "make_sample: cannot write %s/%s\n", argv[2], name);
      return 1;
    }
    // A feature of frame k lies at -s in frame 1; y flips because rows count upward.
    char row[96];
    std::snprintf(row, sizeof row, "%s\t%.2f\t%.2f\n", name, s.x == 0 ? 0.0 : -s.x, s.y);
    truth += row;
    std::fprintf(stderr, "%s\n", name);
  }
  std::FILE* t = std::fopen((std::string(argv[2]) + "/truth.txt").c_str(), "wb");
  if (t == nullptr) return 1;
  std::fwrite(truth.data(), 1, truth.size(), t);
  std::fclose(t);
  return 0;
}
