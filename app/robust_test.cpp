// The default measurement on the troubles real cameras bring: 12-bit frames
// whose maxima differ with a hot pixel, automatic exposure, blank frames in
// the middle of a sequence, NaN clusters in float frames, a sparse star field
// with a jump. Each is run through the program, both modes where it matters,
// and checked against the truth.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "memrect/writefile.h"
#include "tools/image_writer.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::RectOwner;
using vantor::test::ReadCsv;
using vantor::test::RunProgram;
using vantor::test::TempDir;
using vantor::tools::Blob;

constexpr int kW = 256, kH = 256;

struct Shift {
  double x, y;  // loaded-row coordinates (row 0 the bottom of the picture)
};

std::string Name(size_t k) {
  char name[32];
  std::snprintf(name, sizeof name, "f%03zu.tif", k + 1);
  return name;
}

// The frames of a field displaced by the shifts, with Gaussian noise, then
// `edit` (values in the file's units, row 0 first) before writing at `bits`.
void Write(const fs::path& dir, const std::vector<Blob>& field, const std::vector<Shift>& shifts,
           double scale, double noise, int bits,
           const std::function<void(size_t, std::vector<double>&)>& edit) {
  for (size_t k = 0; k < shifts.size(); ++k) {
    auto v = vantor::tools::RenderValues(field, kW, kH, shifts[k].x, shifts[k].y, 20.0);
    for (double& x : v) x *= scale;
    vantor::tools::AddNoise(v, noise, static_cast<uint32_t>(7 + k));
    edit(k, v);
    ASSERT_TRUE(vantor::test::WriteGreyTiff(dir / Name(k), v, kW, kH, bits));
  }
}

// Runs the program in both modes and checks every frame but those in
// `failed` against the truth (each against the first: dx_first; against the
// previous: the running sums, which must hold across failed frames too).
void ExpectTruth(const fs::path& dir, const std::vector<Shift>& shifts,
                 const std::vector<size_t>& failed = {}, double tolerance = 0.05) {
  TempDir tmp;
  for (const char* mode : {"1", "0"}) {
    SCOPED_TRACE(std::string("mode ") + mode);
    auto r = RunProgram({"*.tif", mode, "--csv=r.csv"}, dir, tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = ReadCsv(dir / "r.csv");
    ASSERT_EQ(rows.size(), shifts.size());
    for (size_t k = 1; k < rows.size(); ++k) {
      const bool bad = std::find(failed.begin(), failed.end(), k) != failed.end();
      if (bad) {
        EXPECT_EQ(rows[k].quality, "failed") << k;
        continue;
      }
      EXPECT_EQ(rows[k].quality, "ok") << k << " " << r.err;
      EXPECT_NEAR(rows[k].dxFirst, shifts[0].x - shifts[k].x, tolerance) << k;
      EXPECT_NEAR(rows[k].dyFirst, shifts[0].y - shifts[k].y, tolerance) << k;
    }
  }
}

const std::vector<Shift> kWalk{{0, 0},        {0.37, -0.21}, {0.81, 0.12},  {21.4, -13.3},
                               {21.9, -13.0}, {22.6, -12.4}, {22.2, -12.9}, {23.1, -12.2}};

TEST(Robust, TwelveBitFramesWithDifferingMaximaAndAHotPixel) {
  TempDir dir;
  const auto field = vantor::tools::MakeBlobs(kW, kH, 300, 31);
  Write(dir.path(), field, kWalk, 16.0, 24.0, 16, [](size_t k, std::vector<double>& v) {
    // Brightest pixels alternate about 4086 and 4200: no two frames share a
    // power-of-two range; one hot pixel at full scale in the first frame.
    double top = 0;
    for (double x : v) top = std::max(top, x);
    const double want = k % 2 == 0 ? 4086.0 : 4200.0;
    for (double& x : v) x *= want / top;
    if (k == 0) v[static_cast<size_t>(130) * kW + 120] = 65535.0;
  });
  ExpectTruth(dir.path(), kWalk);
}

TEST(Robust, AutomaticExposureDoesNotMoveTheResult) {
  TempDir dir;
  const auto field = vantor::tools::MakeBlobs(kW, kH, 300, 32);
  const double gain[] = {1.0, 0.6, 1.4, 0.8, 1.25, 0.7, 1.1, 0.9};
  const double offset[] = {0, 3000, 500, 2200, 100, 2900, 1500, 0};
  Write(dir.path(), field, kWalk, 40.0, 40.0, 16, [&](size_t k, std::vector<double>& v) {
    for (double& x : v) x = gain[k] * x + offset[k];
  });
  ExpectTruth(dir.path(), kWalk);
}

TEST(Robust, BlankFramesFailAndTheSequenceGoesOn) {
  TempDir dir;
  const auto field = vantor::tools::MakeBlobs(kW, kH, 300, 33);
  // Frame 3 black, frame 6 one flat grey: failed, and the frames after them
  // measured against the last frame that was measured.
  Write(dir.path(), field, kWalk, 1.0, 2.0, 8, [](size_t k, std::vector<double>& v) {
    if (k == 2) v.assign(v.size(), 0.0);
    if (k == 5) v.assign(v.size(), 140.0);
  });
  ExpectTruth(dir.path(), kWalk, {2, 5});
  // Three identical flat frames: nothing to measure by.
  TempDir flat, tmp;
  for (size_t k = 0; k < 3; ++k)
    ASSERT_TRUE(vantor::test::WriteGreyTiff(flat / Name(k),
                                            std::vector<double>(kW * kH, 90.0), kW, kH, 8));
  auto r = RunProgram({"*.tif", "1", "--csv=r.csv"}, flat.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = ReadCsv(flat / "r.csv");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].quality, "failed");
  EXPECT_EQ(rows[2].quality, "failed");
  EXPECT_NE(r.err.find("no structure to measure by"), std::string::npos) << r.err;
}

TEST(Robust, NanClustersInFloatFrames) {
  TempDir dir;
  const auto field = vantor::tools::MakeBlobs(kW, kH, 300, 34);
  for (size_t k = 0; k < kWalk.size(); ++k) {
    auto v = vantor::tools::RenderValues(field, kW, kH, kWalk[k].x, kWalk[k].y, 20.0);
    vantor::tools::AddNoise(v, 1.5, static_cast<uint32_t>(50 + k));
    std::vector<uint8_t> page(static_cast<size_t>(kW) * kH * 4);
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        // Dead clusters fixed to the sensor and one moving with the picture.
        const bool dead = (std::abs(x - 100) < 4 && std::abs(y - 140) < 3) ||
                          (std::abs(x - 160 - static_cast<int>(kWalk[k].x)) < 3 &&
                           std::abs(y - 90 - static_cast<int>(kWalk[k].y)) < 5);
        const float f = dead ? std::numeric_limits<float>::quiet_NaN()
                             : static_cast<float>(0.01 * v[static_cast<size_t>(y) * kW + x] - 0.3);
        // Written top row first: loaded row y is file row kH - 1 - y.
        std::memcpy(&page[(static_cast<size_t>(kH - 1 - y) * kW + x) * 4], &f, 4);
      }
    ASSERT_TRUE(vantor::tools::WriteTiffPages((dir / Name(k)).string(), {page}, kW, kH, 32));
  }
  ExpectTruth(dir.path(), kWalk);
}

TEST(Robust, SparseStarFieldWithAJump) {
  TempDir dir;
  const auto stars = vantor::tools::MakeStars(kW * 2, kH * 2, 600, 35);
  const std::vector<Shift> shifts{{0, 0}, {0.4, 0.3}, {0.9, -0.2}, {-38.6, 41.3}, {-38.1, 41.9}};
  Write(dir.path(), stars, shifts, 40.0, 30.0, 16, [](size_t, std::vector<double>&) {});
  ExpectTruth(dir.path(), shifts);
}

TEST(Robust, AFolderOfTiffFilesIsMeasured) {
  TempDir dir, tmp;
  const auto field = vantor::tools::MakeBlobs(kW, kH, 300, 37);
  Write(dir.path(), field, {{0, 0}, {1.5, -2.5}}, 1.0, 2.0, 8, [](size_t, std::vector<double>&) {});
  for (size_t k = 0; k < 2; ++k) fs::rename(dir / Name(k), dir / (Name(k) + "f"));
  auto r = RunProgram({dir.path().string(), "1", "--csv=r.csv"}, tmp.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("holds no *.tif file; measuring its 2 *.tiff files"), std::string::npos)
      << r.err;
  const auto rows = ReadCsv(tmp / "r.csv");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_NEAR(rows[1].dxFirst, -1.5, 0.05);
  // --classic keeps the folder rule as it was: *.tif only.
  EXPECT_EQ(RunProgram({dir.path().string(), "1", "--classic"}, tmp.path(), tmp.path().string())
                .status,
            1);
}

TEST(Robust, OneAndFourBitFramesAreMeasuredAndAligned) {
  const auto field = vantor::tools::MakeBlobs(kW, kH, 300, 36);
  const std::vector<Shift> shifts{{0, 0}, {3, -2}, {6, -4}};
  for (int depth : {1, 4}) {
    for (bool bmp : {false, true}) {
      SCOPED_TRACE(std::to_string(depth) + (bmp ? "-bit BMP" : "-bit TIFF"));
      TempDir dir, tmp;
      for (size_t k = 0; k < shifts.size(); ++k) {
        const auto v = vantor::tools::RenderValues(field, kW, kH, shifts[k].x, shifts[k].y, 20.0);
        RectOwner r(mrCreate(depth, kW, kH));
        for (int y = 0; y < kH; ++y)
          for (int x = 0; x < kW; ++x) {
            const double g = v[static_cast<size_t>(y) * kW + x];
            mrPutPixel(r.get(), x, y, depth == 1 ? g > 60.0 : std::min(15.0, g / 8));
          }
        const fs::path path = dir / (Name(k) + (bmp ? ".bmp" : ""));
        ASSERT_GT(bmp ? mrWriteToFile(r.get(), path.c_str(), 0)
                      : mrWriteToFileTIFF(r.get(), path.c_str(), 1, nullptr), 0);
      }
      auto r = RunProgram({"f*", "1", "--precise", "--csv=r.csv", "--aligned=out"}, dir.path(),
                          tmp.path().string());
      ASSERT_EQ(r.status, 0) << r.err;
      const auto rows = ReadCsv(dir / "r.csv");
      ASSERT_EQ(rows.size(), 3u);
      for (size_t k = 1; k < 3; ++k) {
        EXPECT_NEAR(rows[k].dxFirst, -shifts[k].x, 0.1) << k;
        EXPECT_NEAR(rows[k].dyFirst, -shifts[k].y, 0.1) << k;
      }
      // The aligned copies keep the depth.
      RectOwner copy(mrReadFile((dir / "out" / rows[2].file).c_str()));
      EXPECT_EQ(mrGetRectInfo(copy.get(), nullptr, nullptr), depth);
    }
  }
}

}  // namespace
}  // namespace vantor::app
