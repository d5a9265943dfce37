// The motion models end to end: a turning and zooming sequence measured with
// --model in both modes (CSV columns, composed motion, accuracy), and the
// translation model flagging the turn it cannot follow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::SplitFields;
using vantor::test::SplitLines;
using vantor::test::TempDir;
using vantor::tools::Blob;
using vantor::RectOwner;

constexpr int kSide = 512;

// Frame k of a field turned by angle[k] degrees and scaled by scale[k] about
// the centre, then moved by (dx[k], dy[k]): a feature at p of the first frame
// is at R (p - c) + c + d of frame k.
struct Pose {
  double angle, scale, dx, dy;
};

void WriteFrames(const fs::path& dir, const std::vector<Pose>& poses, double noise) {
  const std::vector<Blob> field = vantor::tools::MakeBlobs(kSide, kSide, 2000, 5);
  const double c = 0.5 * (kSide - 1);
  for (size_t k = 0; k < poses.size(); ++k) {
    const Pose& p = poses[k];
    const double t = p.angle * M_PI / 180.0;
    std::vector<Blob> moved = field;
    for (Blob& b : moved) {
      const double x = b.x - c, y = b.y - c;
      b.x = p.scale * (std::cos(t) * x - std::sin(t) * y) + c + p.dx;
      b.y = p.scale * (std::sin(t) * x + std::cos(t) * y) + c + p.dy;
      b.sigma *= p.scale;
    }
    auto v = vantor::tools::RenderValues(moved, kSide, kSide, 0, 0);
    vantor::tools::AddNoise(v, noise, static_cast<uint32_t>(40 + k));
    char name[32];
    std::snprintf(name, sizeof name, "f%03zu.tif", k + 1);
    ASSERT_TRUE(vantor::test::WriteGreyTiff(dir / name, v, kSide, kSide));
  }
}

std::vector<std::vector<std::string>> Csv(const fs::path& p) {
  std::vector<std::vector<std::string>> rows;
  for (const std::string& line : SplitLines(ReadFileBytes(p), "\n"))
    if (!line.empty()) rows.push_back(SplitFields(line, ','));
  return rows;
}

TEST(Model, TurningSequenceIsMeasuredInBothModesAndComposed) {
  TempDir dir, tmp;
  const std::vector<Pose> poses{
      {0, 1, 0, 0}, {1.5, 1.01, 2.3, -1.1}, {3.2, 0.99, 6.8, 0.4}, {4.1, 1.03, -3.7, 5.2}};
  WriteFrames(dir.path(), poses, 2.0);
  for (const char* mode : {"0", "1"}) {
    SCOPED_TRACE(mode);
    auto r = RunProgram({"*.tif", mode, "--model=similarity", "--csv=m.csv", "--quiet"},
                        dir.path(), tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = Csv(dir / "m.csv");
    ASSERT_EQ(rows.size(), poses.size() + 1);
    EXPECT_EQ(rows[0][6], "angle");
    EXPECT_EQ(rows[0][7], "scale");
    EXPECT_EQ(rows[0][8], "a11_first");
    EXPECT_EQ(rows[0][12], "distance");
    for (size_t k = 1; k < poses.size(); ++k) {
      // Frame k against the first: the inverse of its pose, about the centre.
      const Pose& p = poses[k];
      const double t = p.angle * M_PI / 180.0, s = p.scale;
      const double ix = -(std::cos(t) * p.dx + std::sin(t) * p.dy) / s;
      const double iy = -(-std::sin(t) * p.dx + std::cos(t) * p.dy) / s;
      const auto& f = rows[k + 1];
      EXPECT_EQ(f[13], "ok");
      EXPECT_NEAR(std::stod(f[4]), ix, 0.02);
      EXPECT_NEAR(std::stod(f[5]), iy, 0.02);
      if (std::string(mode) == "1") {
        EXPECT_NEAR(std::stod(f[6]), -p.angle, 0.005);
        EXPECT_NEAR(std::stod(f[7]), 1.0 / s, 5e-5);
      }
      // The frame's whole motion to the first (composed in mode 0) puts its
      // corners where the truth does (x right, y up).
      const double c = std::cos(-t) / s, n = std::sin(-t) / s;
      const double truth[4] = {c, -n, n, c};
      for (const double qy : {-0.5 * kSide, 0.5 * kSide})
        for (const double qx : {-0.5 * kSide, 0.5 * kSide}) {
          double e[2];
          for (int i = 0; i < 2; ++i)
            e[i] = (std::stod(f[8 + 2 * i]) - truth[2 * i]) * qx +
                   (std::stod(f[9 + 2 * i]) - truth[2 * i + 1]) * qy;
          EXPECT_LT(std::hypot(e[0] + std::stod(f[4]) - ix, e[1] + std::stod(f[5]) - iy), 0.05)
              << "frame " << k << " corner " << qx << "," << qy;
        }
    }
  }
  // --aligned moves every frame by its whole motion (composed in mode 0): each
  // lies on the first within the noise away from the edges.
  auto al = RunProgram({"*.tif", "0", "--model=similarity", "--aligned=al", "--csv=run.csv",
                        "--quiet"}, dir.path(), tmp.path().string());
  ASSERT_EQ(al.status, 0) << al.err;
  // --apply with the run's CSV (the composed matrices in a11_first ..
  // a22_first) writes the same files.
  auto again = RunProgram({"*.tif", "--apply=run.csv", "--aligned=al2", "--quiet"}, dir.path(),
                          tmp.path().string());
  ASSERT_EQ(again.status, 0) << again.err;
  for (size_t k = 0; k < poses.size(); ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "f%03zu.tif", k + 1);
    EXPECT_EQ(ReadFileBytes(dir / "al" / name), ReadFileBytes(dir / "al2" / name)) << name;
  }
  RectOwner first(mrReadFile((dir / "f001.tif").string().c_str()));
  for (const char* name : {"f002.tif", "f004.tif"}) {
    RectOwner moved(mrReadFile((dir / "al" / name).string().c_str()));
    RectOwner raw(mrReadFile((dir / name).string().c_str()));
    ASSERT_TRUE(first && moved && raw);
    double after = 0, before = 0;
    for (int y = 96; y < kSide - 96; y += 3)
      for (int x = 96; x < kSide - 96; x += 3) {
        const double v = mrGetPixel(first.get(), x, y);
        after = std::max(after, std::fabs(mrGetPixel(moved.get(), x, y) - v));
        before = std::max(before, std::fabs(mrGetPixel(raw.get(), x, y) - v));
      }
    EXPECT_LT(after, 16.0) << name;  // noise 2 on each, blobs of about 100 levels
    EXPECT_GT(before, 40.0) << name;
  }
  // The translation model keeps its columns and calls the turn suspect.
  auto t = RunProgram({"*.tif", "1", "--csv=t.csv", "--quiet"}, dir.path(), tmp.path().string());
  ASSERT_EQ(t.status, 0) << t.err;
  EXPECT_EQ(Csv(dir / "t.csv")[0].size(), 9u);
  EXPECT_NE(t.err.find("rotation or scale change"), std::string::npos) << t.err;
  EXPECT_NE(t.err.find("--model="), std::string::npos);
  auto bad = RunProgram({"*.tif", "--model=spin"}, dir.path(), tmp.path().string());
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--model=spin"), std::string::npos);
}

TEST(Model, AffineAddsTheMatrixAndAPlainShiftIsNotSuspect) {
  TempDir dir, tmp;
  WriteFrames(dir.path(), {{0, 1, 0, 0}, {0, 1, 3.4, -2.2}, {0.02, 1, 7.1, 1.3}}, 2.0);
  auto r = RunProgram({"*.tif", "1", "--model=affine", "--csv=a.csv"}, dir.path(),
                      tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const auto rows = Csv(dir / "a.csv");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0][8], "a11");
  EXPECT_EQ(rows[0][11], "a22");
  EXPECT_NEAR(std::stod(rows[2][2]), -3.4, 0.02);
  EXPECT_NEAR(std::stod(rows[2][8]), 1.0, 1e-3);
  auto t = RunProgram({"*.tif", "1", "--quiet"}, dir.path(), tmp.path().string());
  EXPECT_EQ(t.err.find("rotation or scale"), std::string::npos) << t.err;
}

}  // namespace
}  // namespace vantor::app
