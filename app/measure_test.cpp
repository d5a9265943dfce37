// The program's measurement beyond the registration search alone, end to end:
// lost frames rescued, --classic unchanged, suspect frames flagged, the
// precise method on noisy and partly moving sequences, and the CSV.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "app/compare.h"
#include "app/test_support.h"
#include "memrect/readfile.h"
#include "memrect/writefile.h"
#include "memrect/rect_owner.h"
#include "registration/registration.h"
#include "sequence/sequence.h"
#include "tools/image_writer.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::test::CsvRow;
using vantor::test::ReadCsv;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::SplitLines;
using vantor::test::TempDir;
using vantor::tools::Blob;

struct Shift {
  double x, y;  // the picture's displacement, loaded-row coordinates
};

std::string FrameName(size_t k) {
  char name[32];
  std::snprintf(name, sizeof name, "f%03zu.tif", k + 1);
  return name;
}

// Writes frames of a field displaced by the shifts, with noise; `edit` may
// change a frame's values before it is written.
template <class Edit>
void WriteFrames(const fs::path& dir, const std::vector<Blob>& field, int w, int h,
                 const std::vector<Shift>& shifts, double noise, double offset, int bits,
                 Edit edit) {
  const double scale = bits == 16 ? 16.0 : 1.0;
  for (size_t k = 0; k < shifts.size(); ++k) {
    auto v = vantor::tools::RenderValues(field, w, h, shifts[k].x, shifts[k].y, offset);
    edit(k, v);
    for (double& x : v) x *= scale;
    vantor::tools::AddNoise(v, noise * scale, static_cast<uint32_t>(100 + k));
    ASSERT_TRUE(vantor::test::WriteGreyTiff(dir / FrameName(k), v, w, h, bits));
  }
}

void WriteFrames(const fs::path& dir, const std::vector<Blob>& field, int w, int h,
                 const std::vector<Shift>& shifts, double noise, double offset = 80,
                 int bits = 8) {
  WriteFrames(dir, field, w, h, shifts, noise, offset, bits, [](size_t, std::vector<double>&) {});
}

// The table's displacement of frame k against the reference of the mode.
Shift Truth(const std::vector<Shift>& s, size_t k, int mode) {
  const Shift ref = mode == 0 ? s[k - 1] : s[0];
  return {ref.x - s[k].x, ref.y - s[k].y};
}

TEST(Measure, LostStarFieldJumpIsRescuedAndClassicKeepsTheSearchAlone) {
  TempDir dir, tmp;
  const int w = 384, h = 384;
  auto stars = vantor::tools::MakeStars(w, h, 260, 3);
  const std::vector<Shift> shifts{{0, 0}, {0.4, -0.3}, {40.3, 9.6}, {40.9, 9.2}, {41.2, 10.1}};
  WriteFrames(dir.path(), stars, w, h, shifts, 2.0, 10.0);
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    const std::string m = std::to_string(mode);
    auto classic = RunProgram({"*.tif", m, "--classic", "--csv=c.csv"}, dir.path(), tmp.path().string());
    ASSERT_EQ(classic.status, 0) << classic.err;
    const std::string classicTable = ReadFileBytes(dir / "ResVantor.txt");
    auto r = RunProgram({"*.tif", m, "--search", "--csv=d.csv"}, dir.path(), tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string table = ReadFileBytes(dir / "ResVantor.txt");
    auto c = ReadCsv(dir / "c.csv"), d = ReadCsv(dir / "d.csv");
    ASSERT_EQ(d.size(), shifts.size());
    ASSERT_EQ(c.size(), shifts.size());
    // The jump is lost by the search alone and rescued by default.
    EXPECT_GT(std::fabs(c[2].dx - Truth(shifts, 2, mode).x), 5.0);
    for (size_t k = 1; k < shifts.size(); ++k) {
      const Shift t = Truth(shifts, k, mode);
      EXPECT_NEAR(d[k].dx, t.x, 0.5) << k;
      EXPECT_NEAR(d[k].dy, t.y, 0.5) << k;
      EXPECT_NE(c[k].quality, "rescued");
      if (d[k].quality == "rescued") {
        EXPECT_NE(r.err.find(FrameName(k) + ": rescued"), std::string::npos) << r.err;
      } else {
        // Frames the search measured keep their numbers.
        EXPECT_EQ(d[k].dx, c[k].dx) << k;
      }
    }
    EXPECT_EQ(d[2].quality, "rescued");
    EXPECT_NE(table, classicTable);
    // --classic is RegisterPair's table, row by row.
    auto rows = SplitLines(classicTable);
    RectOwner first(SequenceReadGrey((dir / FrameName(0)).c_str(), 0));
    RectOwner mask(CentralMaskFraction(first.get(), 0.5));
    double sumX = 0;
    for (size_t k = 1; k < shifts.size(); ++k) {
      RectOwner ref(SequenceReadGrey((dir / FrameName(mode == 0 ? k - 1 : 0)).c_str(), 0));
      RectOwner cur(SequenceReadGrey((dir / FrameName(k)).c_str(), 0));
      double rec[4];
      const double dist =
          RegisterPair(ref.get(), cur.get(), mask.get(), rec, 4, 0.05, 3, 512, 0, 3072);
      sumX += rec[0];
      char row[128];
      if (mode == 1)
        std::snprintf(row, sizeof row, "%s\t%.6g\t%.6g\t%.6g", FrameName(k).c_str(),
                      RoundResult(rec[0], 10), RoundResult(rec[1], 10), RoundResult(dist, 10));
      else
        std::snprintf(row, sizeof row, "%s:\t %.4g, %.4g;  %.6g,", FrameName(k).c_str(),
                      RoundResult(rec[0], 10), RoundResult(rec[1], 10), RoundResult(sumX, 10));
      ASSERT_GT(rows.size(), k + 1);
      EXPECT_EQ(rows[k + 1].rfind(row, 0), 0u) << rows[k + 1] << " / " << row;
    }
  }
}

TEST(Measure, BlurredFramesAreSuspectAndPureNoiseFails) {
  TempDir dir, tmp;
  const int w = 256, h = 256;
  auto field = vantor::tools::MakeBlobs(w, h, 500, 12);
  std::vector<Shift> shifts;
  for (int k = 0; k < 10; ++k) shifts.push_back({0.3 * k, -0.2 * k});
  WriteFrames(dir.path(), field, w, h, shifts, 2.0, 80, 8, [&](size_t k, std::vector<double>& v) {
    if (k == 4) v = vantor::tools::Blur(v, w, h, 4.0);
    if (k == 7) v.assign(v.size(), 100.0);  // the noise added is all that remains
  });
  for (const char* method : {"--search", "--threads=2"}) {
    SCOPED_TRACE(method);
    auto r = RunProgram({"*.tif", "1", method, "--csv=q.csv"}, dir.path(), tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = ReadCsv(dir / "q.csv");
    ASSERT_EQ(rows.size(), shifts.size());
    // The precise method (the default) has nothing to measure pure noise by.
    const bool search = std::string(method) == "--search";
    for (size_t k = 0; k < rows.size(); ++k)
      EXPECT_EQ(rows[k].quality, k == 4 ? "suspect" : k == 7 ? (search ? "suspect" : "failed") : "ok")
          << k;
    if (!search) {
      EXPECT_NE(r.err.find("no structure to measure by"), std::string::npos) << r.err;
    }
    EXPECT_NE(r.err.find(FrameName(4) + ": the displacement"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("out of focus"), std::string::npos) << r.err;
  }
  // --classic adds no quality judgement.
  auto r = RunProgram({"*.tif", "1", "--classic", "--csv=q.csv"}, dir.path(), tmp.path().string());
  for (const CsvRow& row : ReadCsv(dir / "q.csv")) EXPECT_EQ(row.quality, "ok");
  EXPECT_EQ(r.err.find("unreliable"), std::string::npos);
}

TEST(Measure, PreciseHoldsTheBackgroundWhileObjectsMoveAcrossIt) {
  TempDir dir, tmp;
  const int w = 320, h = 320;
  auto field = vantor::tools::MakeBlobs(w, h, 600, 21);
  std::vector<Shift> shifts;
  for (int k = 0; k < 8; ++k) shifts.push_back({0.37 * k + (k >= 4 ? 11.2 : 0), 0.21 * k});
  WriteFrames(dir.path(), field, w, h, shifts, 2.0, 60, 8, [&](size_t k, std::vector<double>& v) {
    // Three bright cells crawling on their own over the drifting picture.
    std::vector<Blob> cells;
    for (int c = 0; c < 3; ++c)
      cells.push_back({100.0 + 50 * c + 4.0 * k, 120.0 + 30 * c - 3.0 * k, 9.0, 110.0});
    auto moving = vantor::tools::RenderValues(cells, w, h, 0, 0, 0);
    for (size_t i = 0; i < v.size(); ++i) v[i] += moving[i];
  });
  for (int mode : {0, 1}) {
    auto r = RunProgram({"*.tif", std::to_string(mode), "--precise", "--csv=p.csv"}, dir.path(),
                        tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = ReadCsv(dir / "p.csv");
    ASSERT_EQ(rows.size(), shifts.size());
    for (size_t k = 1; k < rows.size(); ++k) {
      const Shift t = Truth(shifts, k, mode);
      EXPECT_NEAR(rows[k].dx, t.x, 0.05) << mode << " " << k;
      EXPECT_NEAR(rows[k].dy, t.y, 0.05) << mode << " " << k;
    }
  }
}

TEST(Measure, PreciseOnNoisyTwelveBitFramesAndTheCsvAgreesWithTheTable) {
  TempDir dir, tmp;
  const int w = 300, h = 260;
  auto field = vantor::tools::MakeBlobs(w, h, 500, 8);
  const std::vector<Shift> shifts{{0, 0}, {0.43, -0.71}, {1.12, -1.35}, {-0.55, 0.18}, {2.5, 0.5}};
  // 12-bit data in 16-bit frames, noise sigma 8 on the 8-bit scale.
  WriteFrames(dir.path(), field, w, h, shifts, 8.0, 80, 16);
  fs::rename(dir / FrameName(3), dir / "f004, \"odd\".tif");
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    auto r = RunProgram({"*.tif", std::to_string(mode), "--precise", "--csv=-"}, dir.path(),
                        tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    vantor::test::WriteFileBytes(dir / "out.csv", r.out);
    auto rows = ReadCsv(dir / "out.csv");
    ASSERT_EQ(rows.size(), shifts.size());
    auto table = SplitLines(ReadFileBytes(dir / "ResVantor.txt"));
    double sx = 0, sy = 0;
    for (size_t k = 1; k < rows.size(); ++k) {
      const Shift t = Truth(shifts, k, mode);
      EXPECT_NEAR(rows[k].dx, t.x, 0.05) << k;
      EXPECT_NEAR(rows[k].dy, t.y, 0.05) << k;
      // The standard error is given, and the truth lies within three of it.
      EXPECT_GT(rows[k].sigma, 0.0) << k;
      EXPECT_LE(std::fabs(rows[k].dx - t.x), 3 * rows[k].sigma) << k;
      sx += rows[k].dx;
      sy += rows[k].dy;
      EXPECT_NEAR(rows[k].dxFirst, mode == 0 ? sx : rows[k].dx, 2e-6);
      EXPECT_NEAR(rows[k].dyFirst, mode == 0 ? sy : rows[k].dy, 2e-6);
      // The table holds the same numbers rounded to tenths.
      char want[96];
      if (mode == 1)
        std::snprintf(want, sizeof want, "\t%.6g\t%.6g\t%.6g", RoundResult(rows[k].dx, 10),
                      RoundResult(rows[k].dy, 10), RoundResult(rows[k].distance, 10));
      else
        std::snprintf(want, sizeof want, ":\t %.4g, %.4g;  %.6g, %.6g,  (%.4g)",
                      RoundResult(rows[k].dx, 10), RoundResult(rows[k].dy, 10),
                      RoundResult(sx, 10), RoundResult(sy, 10), RoundResult(rows[k].distance, 10));
      const size_t row = k + 1;
      ASSERT_GT(table.size(), row);
      EXPECT_NE(table[row].find(want), std::string::npos) << table[row] << " / " << want;
    }
    EXPECT_EQ(rows[3].file, "f004, \"odd\".tif");
    // The quoted name, and a reader that knows the CSV rules agrees.
    EXPECT_NE(r.out.find("\"f004, \"\"odd\"\".tif\""), std::string::npos) << r.out;
    const std::string check =
        "/usr/bin/python3 -c \"import csv,sys; r=list(csv.DictReader(open(sys.argv[1]))); "
        "assert len(r)==5 and r[3]['file']=='f004, \\\"odd\\\".tif' and "
        "all(float(x['dx'])==float(x['dx']) for x in r)\" " +
        (dir / "out.csv").string();
    if (fs::exists("/usr/bin/python3")) {
      EXPECT_EQ(std::system(check.c_str()), 0);
    }
  }
}

TEST(Measure, AlignedFramesLieOnTheFirstAndKeepTheirDepth) {
  TempDir dir, tmp;
  const int w = 240, h = 200;
  auto field = vantor::tools::MakeBlobs(w, h, 400, 31);
  const std::vector<Shift> shifts{{0, 0}, {1.37, -0.62}, {2.81, -1.9}, {-3.4, 2.25}};
  WriteFrames(dir.path(), field, w, h, shifts, 1.0, 80, 16);
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    const fs::path out = dir / ("aligned" + std::to_string(mode));
    auto r = RunProgram({"*.tif", std::to_string(mode), "--precise", "--aligned=" + out.string(),
                         "--plot=drift.svg"},
                        dir.path(), tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFileBytes(dir / "drift.svg").rfind("<?xml", 0), 0u);
    RectOwner first(mrReadFile((out / FrameName(2)).c_str()));
    EXPECT_EQ(mrGetRectInfo(first.get(), nullptr, nullptr), 16);
    // Measured again, the aligned frames lie on the first one.
    r = RunProgram({"*.tif", "1", "--precise", "--csv=again.csv"}, out, tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    auto rows = ReadCsv(out / "again.csv");
    ASSERT_EQ(rows.size(), shifts.size());
    for (const CsvRow& row : rows) {
      EXPECT_NEAR(row.dx, 0.0, 0.1) << row.file;
      EXPECT_NEAR(row.dy, 0.0, 0.1) << row.file;
    }
  }
  // The input files are never the output: refused before anything is written.
  fs::remove(dir / "ResVantor.txt");
  auto r = RunProgram({"*.tif", "1", "--aligned=."}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2) << r.err;
  EXPECT_NE(r.err.find(FrameName(0)), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(dir / "ResVantor.txt"));
}

// --apply with a run's CSV writes the files --aligned wrote in that run,
// byte for byte; a table of another length or a bad line is refused.
TEST(Measure, ApplyingARunsCsvWritesItsAlignedFilesAgain) {
  TempDir dir, tmp;
  const int w = 120, h = 100;
  auto field = vantor::tools::MakeBlobs(w, h, 150, 7);
  const std::vector<Shift> shifts{{0, 0}, {1.37, -0.62}, {2.81, -1.9}, {-3.4, 2.25}};
  WriteFrames(dir.path(), field, w, h, shifts, 1.0, 80, 16);
  auto r = RunProgram({"*.tif", "1", "--csv=run.csv", "--aligned=al1"}, dir.path(),
                      tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  r = RunProgram({"*.tif", "--apply=run.csv", "--aligned=al2", "--quiet"}, dir.path(),
                 tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  for (size_t k = 0; k < shifts.size(); ++k) {
    const std::string a = ReadFileBytes(dir / "al1" / FrameName(k));
    EXPECT_FALSE(a.empty());
    EXPECT_EQ(a, ReadFileBytes(dir / "al2" / FrameName(k))) << k;
  }
  const auto lines = SplitLines(ReadFileBytes(dir / "run.csv"), "\n");
  vantor::test::WriteFileBytes(dir / "short.csv", lines[0] + "\n" + lines[1] + "\n" + lines[2] + "\n");
  r = RunProgram({"*.tif", "--apply=short.csv", "--aligned=al3"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("holds 2 frames, but"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("matches 4"), std::string::npos) << r.err;
  vantor::test::WriteFileBytes(dir / "bad.csv", lines[0] + "\n" + lines[1] + "\nx" + lines[2] + "\n");
  r = RunProgram({"*.tif", "--apply=bad.csv", "--aligned=al3"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("bad.csv line 3: frame 'x2'"), std::string::npos) << r.err;
  // A matrix needs all four entries, each a number.
  vantor::test::WriteFileBytes(dir / "part.csv", "frame,dx_first,dy_first,a11_first\n1,0,0,1\n");
  r = RunProgram({"*.tif", "--apply=part.csv", "--aligned=al3"}, dir.path(), tmp.path().string());
  EXPECT_NE(r.err.find("part.csv line 1: the header has some of a11_first"), std::string::npos)
      << r.err;
  vantor::test::WriteFileBytes(dir / "nan.csv", "frame,dx_first,dy_first,a11_first,a12_first,"
                               "a21_first,a22_first\n1,0,0,1,0,0,1\n2,0,0,nan,0,0,1\n");
  r = RunProgram({"*.tif", "--apply=nan.csv", "--aligned=al3"}, dir.path(), tmp.path().string());
  EXPECT_NE(r.err.find("nan.csv line 3: a11_first 'nan' is not a number"), std::string::npos)
      << r.err;
  EXPECT_FALSE(fs::exists(dir / "al3"));
  // A device is refused before it is read (it would never end).
  r = RunProgram({"*.tif", "--apply=/dev/zero", "--aligned=al3"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("/dev/zero: not a drift table"), std::string::npos) << r.err;
  r = RunProgram({"*.tif", "--apply=run.csv"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  r = RunProgram({"*.tif", "--aligned=al3", "--fill=70000"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--fill=70000: the fill is outside the range of 16-bit frames"),
            std::string::npos) << r.err;
}

TEST(Measure, PartsOfASequenceJoinIntoTheWholeRun) {
  TempDir dir, tmp;
  const int w = 160, h = 160;
  auto field = vantor::tools::MakeBlobs(w, h, 200, 17);
  std::vector<Shift> shifts;
  for (int k = 0; k < 30; ++k) shifts.push_back({0.31 * k + (k > 14 ? 9.0 : 0), -0.17 * k});
  WriteFrames(dir.path(), field, w, h, shifts, 2.0, 80, 8, [&](size_t k, std::vector<double>& v) {
    if (k == 11) v = vantor::tools::Blur(v, w, h, 4.0);  // a suspect frame near a border
  });
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    const std::string m = std::to_string(mode);
    auto whole = RunProgram({"*.tif", m, "--csv=-"}, dir.path(), tmp.path().string());
    ASSERT_EQ(whole.status, 0) << whole.err;
    EXPECT_NE(whole.out.find("suspect"), std::string::npos);
    std::string joined;
    for (const char* range : {":9", "10:20", "21:"}) {
      auto part = RunProgram({"*.tif", m, std::string("--frames=") + range, "--csv=-"}, dir.path(),
                             tmp.path().string());
      ASSERT_EQ(part.status, 0) << part.err;
      joined += joined.empty() ? part.out : part.out.substr(part.out.find('\n') + 1);
    }
    EXPECT_EQ(joined, whole.out);
    EXPECT_TRUE(fs::exists(dir / "ResVantor_10-20.txt"));
    EXPECT_TRUE(fs::exists(dir / "ResVantor_21-30.txt"));
  }
  for (const char* bad : {"--frames=5:3", "--frames=0:4", "--frames=a", "--frames=-2:"}) {
    auto r = RunProgram({"*.tif", "1", bad}, dir.path(), tmp.path().string());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err.find(bad), std::string::npos) << r.err;
  }
}

// Pages of samples, top row first, from values given row 0 first.
std::vector<uint8_t> Samples(const std::vector<double>& v, int w, int h, int bits) {
  std::vector<uint8_t> out(v.size() * static_cast<size_t>(bits / 8));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double d = v[static_cast<size_t>(y) * w + x];
      const size_t at = (static_cast<size_t>(h - 1 - y) * w + x) * (bits / 8);
      if (bits == 32) {
        const float f = static_cast<float>(d);
        std::memcpy(&out[at], &f, 4);
      } else {
        const auto u = static_cast<uint16_t>(std::clamp(std::round(d), 0.0, 65535.0));
        std::memcpy(&out[at], &u, 2);
      }
    }
  return out;
}

TEST(Measure, AStackMeasuresAsItsPagesInAFolderAndFloatFramesToo) {
  TempDir dir, tmp;
  const int w = 200, h = 180;
  auto field = vantor::tools::MakeBlobs(w, h, 300, 41);
  const std::vector<Shift> shifts{{0, 0}, {0.8, -0.4}, {14.6, 3.3}, {15.1, 2.9}};
  fs::create_directories(dir / "single");
  WriteFrames(dir / "single", field, w, h, shifts, 1.0, 80, 16);
  std::vector<std::vector<uint8_t>> pages16, pagesFloat;
  for (size_t k = 0; k < shifts.size(); ++k) {
    RectOwner page(mrReadFile((dir / "single" / FrameName(k)).c_str()));
    int32_t pw, ph, pitch;
    void* px = nullptr;
    ASSERT_EQ(mrGetExtendedInfo(page.get(), &pw, &ph, &pitch, &px), 16);
    std::vector<double> v(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint16_t u;
        std::memcpy(&u, static_cast<uint8_t*>(px) + static_cast<ptrdiff_t>(y) * pitch + 2 * x, 2);
        v[static_cast<size_t>(y) * w + x] = u;
      }
    pages16.push_back(Samples(v, w, h, 16));
    for (double& x : v) x = x / 4096.0 - 0.3;  // floating-point data, some below 0
    pagesFloat.push_back(Samples(v, w, h, 32));
  }
  ASSERT_TRUE(vantor::tools::WriteTiffPages((dir / "stack.tif").string(), pages16, w, h, 16));
  ASSERT_TRUE(vantor::tools::WriteTiffPages((dir / "float.tif").string(), pagesFloat, w, h, 32));
  for (int mode : {0, 1}) {
    SCOPED_TRACE(mode);
    const std::string m = std::to_string(mode);
    auto a = RunProgram({"single", m, "--csv=-"}, dir.path(), tmp.path().string());
    auto b = RunProgram({"stack.tif", m, "--csv=-"}, dir.path(), tmp.path().string());
    auto c = RunProgram({"float.tif", m, "--csv=-", "--precise"}, dir.path(), tmp.path().string());
    auto d = RunProgram({"single", m, "--csv=-", "--precise"}, dir.path(), tmp.path().string());
    ASSERT_EQ(a.status, 0) << a.err;
    ASSERT_EQ(b.status, 0) << b.err;
    ASSERT_EQ(c.status, 0) << c.err;
    vantor::test::WriteFileBytes(dir / "a.csv", a.out);
    vantor::test::WriteFileBytes(dir / "b.csv", b.out);
    vantor::test::WriteFileBytes(dir / "c.csv", c.out);
    vantor::test::WriteFileBytes(dir / "d.csv", d.out);
    auto ra = ReadCsv(dir / "a.csv"), rb = ReadCsv(dir / "b.csv"), rc = ReadCsv(dir / "c.csv"),
         rd = ReadCsv(dir / "d.csv");
    ASSERT_EQ(rb.size(), shifts.size());
    ASSERT_EQ(rc.size(), shifts.size());
    for (size_t k = 0; k < shifts.size(); ++k) {
      EXPECT_EQ(rb[k].file, "stack.tif[" + std::to_string(k + 1) + "]");
      EXPECT_EQ(rb[k].dx, ra[k].dx);  // the same numbers
      EXPECT_EQ(rb[k].dy, ra[k].dy);
      EXPECT_EQ(rb[k].distance, ra[k].distance);
      // Float pages at full precision measure as the 16-bit frames do.
      EXPECT_NEAR(rc[k].dx, rd[k].dx, 1e-3) << k;
      EXPECT_NEAR(rc[k].dy, rd[k].dy, 1e-3) << k;
    }
    // A stack given on its own has a table of its own beside it.
    EXPECT_TRUE(fs::exists(dir / "float.tif.ResVantor.txt"));
    EXPECT_NE(ReadFileBytes(dir / "float.tif.ResVantor.txt").find("float.tif[4]"),
              std::string::npos);
  }
  // The aligned copy of a stack is one stack of the same name.
  auto al = RunProgram({"stack.tif", "0", "--precise", "--aligned=out"}, dir.path(),
                       tmp.path().string());
  ASSERT_EQ(al.status, 0) << al.err;
  EXPECT_EQ(mrPageCount((dir / "out" / "stack.tif").c_str()), 4);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()), 1);
  auto again = RunProgram({"out/stack.tif", "1", "--precise", "--csv=-"}, dir.path(),
                          tmp.path().string());
  ASSERT_EQ(again.status, 0) << again.err;
  vantor::test::WriteFileBytes(dir / "again.csv", again.out);
  for (const CsvRow& row : ReadCsv(dir / "again.csv")) {
    EXPECT_NEAR(row.dx, 0.0, 0.1) << row.file;
    EXPECT_NEAR(row.dy, 0.0, 0.1) << row.file;
  }
  // A page that cannot be read is named with its file.
  std::string bytes = ReadFileBytes(dir / "stack.tif");
  bytes.resize(bytes.size() - 100);
  vantor::test::WriteFileBytes(dir / "cut.tif", bytes);
  auto r = RunProgram({"cut.tif", "1"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("cut.tif: page 4"), std::string::npos) << r.err;
}

TEST(Measure, FourBitFramesSpreadOverTheGreyLevels) {
  TempDir dir;
  RectOwner nibbles(mrCreate(4, 9, 3));
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 9; ++x) mrPutPixel(nibbles.get(), x, y, (x + 5 * y) % 16);
  const std::string path = (dir / "n.tif").string();
  ASSERT_GT(mrWriteToFileTIFF(nibbles.get(), path.c_str(), 1, nullptr), 0);
  // The file holds the leftmost pixel in the high half of a byte, as readers
  // of TIFF expect: the top row (row 2) starts with pixels 10 and 11.
  const std::string file = ReadFileBytes(path);
  ASSERT_GT(file.size(), 170u);
  EXPECT_EQ(static_cast<uint8_t>(file[170]), 0xAB);
  RectOwner grey(SequenceReadGrey(path.c_str(), 0));
  ASSERT_GT(grey.get(), 0);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 9; ++x) EXPECT_EQ(mrGetPixel(grey.get(), x, y), 17 * ((x + 5 * y) % 16));
}

}  // namespace
}  // namespace vantor::app
