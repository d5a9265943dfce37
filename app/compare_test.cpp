#include "app/compare.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/test_support.h"
#include "memrect/memrect.h"
#include "registration/registration.h"
#include "tools/image_writer.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::TempDir;
using vantor::tools::Blob;

// Writes an 8-bit frame given with row 0 first (the loaded orientation).
void WriteGrey(const fs::path& p, const std::vector<uint8_t>& row0First, int w, int h) {
  std::vector<uint8_t> top(row0First.size());
  for (int y = 0; y < h; ++y)
    std::copy_n(row0First.begin() + static_cast<long>(y) * w, w,
                top.begin() + static_cast<long>(h - 1 - y) * w);
  ASSERT_TRUE(vantor::tools::WriteTiff(p.string(), top, static_cast<uint32_t>(w),
                                       static_cast<uint32_t>(h)));
}

// Frames of one blob field displaced by (dx[k], dy[k]) in loaded-row coordinates.
void WriteSequence(const fs::path& dir, const std::string& prefix, int w, int h,
                   const std::vector<std::pair<double, double>>& shifts, uint32_t seed = 7) {
  auto blobs = vantor::tools::MakeBlobs(w, h, w * h / 300 + 20, seed);
  for (size_t k = 0; k < shifts.size(); ++k) {
    char name[64];
    std::snprintf(name, sizeof name, "%s%04zu.tif", prefix.c_str(), k + 1);
    WriteGrey(dir / name, vantor::tools::RenderBlobs(blobs, w, h, shifts[k].first, shifts[k].second),
              w, h);
  }
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i; (i = text.find("\r\n", start)) != std::string::npos; start = i + 2)
    lines.push_back(text.substr(start, i - start));
  return lines;
}

// The tab-separated fields of a row.
std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> f;
  std::stringstream in(line);
  for (std::string part; std::getline(in, part, '\t');) f.push_back(part);
  return f;
}

// The table part of the result file (the trailer cut off before "CompareMode").
std::string Table(const std::string& result) {
  size_t t = result.find("\r\nCompareMode=");
  return t == std::string::npos ? result : result.substr(0, t);
}

TEST(RoundResult, HalvesAwayFromZeroAndNegativeZero) {
  EXPECT_EQ(RoundResult(1.25, 10), 1.3);
  EXPECT_EQ(RoundResult(-1.25, 10), -1.3);
  EXPECT_EQ(RoundResult(0.04, 10), 0.0);
  EXPECT_TRUE(std::signbit(RoundResult(-0.04, 10)));
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.4g", RoundResult(-0.04, 10));
  EXPECT_STREQ(buf, "-0");
}

TEST(Compare, SingleImageGivesTheHeaderOnlyInEachMode) {
  TempDir dir, tmp;
  WriteSequence(dir.path(), "only", 40, 30, {{0, 0}});
  auto r = RunProgram({"*.tif", "0"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(ReadFileBytes(dir / "ResVantor.txt")), "\r\nonly0001.tif:\t 0, 0, 0 , 0; (0)\r\n");
  r = RunProgram({"*.tif", "1"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Table(ReadFileBytes(dir / "ResVantor.txt")),
            "FileName\tDX\tDY\tValue\r\nonly0001.tif\t 0\t 0\t 0\r\n");
}

TEST(Compare, PreviousModeSumsUnroundedShiftsAndKeepsNegativeZero) {
  TempDir dir, tmp;
  // Each frame 1.04 pixels left of the one before: DX = +1.04 per pair; DY
  // just below zero in size, so it prints as negative zero.
  WriteSequence(dir.path(), "s", 160, 140, {{0, 0}, {-1.04, 0.02}, {-2.08, 0.04}});
  auto r = RunProgram({"*.tif", "0", "4", "0.002", "0", "--search"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(ReadFileBytes(dir / "ResVantor.txt"));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "s0001.tif:\t 0, 0, 0 , 0; (0)");
  EXPECT_EQ(lines[2].rfind("s0002.tif:\t 1, -0;  1, -0,  (", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("s0003.tif:\t 1, -0;  2.1, -0,  (", 0), 0u) << lines[3];
}

TEST(Compare, FirstModeReferenceIsFirstNameIgnoringCase) {
  TempDir dir, tmp;
  auto blobs = vantor::tools::MakeBlobs(120, 100, 60, 3);
  WriteGrey(dir / "b.tif", vantor::tools::RenderBlobs(blobs, 120, 100, 2.0, 0.0), 120, 100);
  WriteGrey(dir / "A.tif", vantor::tools::RenderBlobs(blobs, 120, 100, 0.0, 0.0), 120, 100);
  WriteGrey(dir / "C.tif", vantor::tools::RenderBlobs(blobs, 120, 100, 0.0, -1.5), 120, 100);
  auto r = RunProgram({"*.tif", "1", "4", "0.01", "0", "--search"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(ReadFileBytes(dir / "ResVantor.txt"));
  ASSERT_GE(lines.size(), 4u) << r.err;
  EXPECT_EQ(lines[0], "FileName\tDX\tDY\tValue");
  EXPECT_EQ(lines[1], "A.tif\t 0\t 0\t 0");
  EXPECT_EQ(lines[2].rfind("b.tif\t-2\t0\t", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3].rfind("C.tif\t0\t1.5\t", 0), 0u) << lines[3];
}

TEST(Compare, ColourAndSixteenBitFramesAreComparedAsGrey) {
  TempDir dir, tmp;
  const int w = 120, h = 100;
  auto blobs = vantor::tools::MakeBlobs(w, h, 60, 5);
  auto base = vantor::tools::RenderBlobs(blobs, w, h, 0, 0);
  WriteGrey(dir / "f1.tif", base, w, h);
  // Colour BMP shifted right by 1 pixel: grey = mean of three equal channels.
  auto moved = vantor::tools::RenderBlobs(blobs, w, h, 1.0, 0);
  std::vector<uint8_t> bgr(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        bgr[(static_cast<size_t>(h - 1 - y) * w + x) * 3 + c] = moved[static_cast<size_t>(y) * w + x];
  ASSERT_TRUE(vantor::tools::WriteBmp24((dir / "f2.bmp").string(), bgr, w, h));
  // 16-bit TIFF shifted up by 1 row, values times 257 (the automatic shift
  // by 8 bits brings back the 8-bit values).
  auto up = vantor::tools::RenderBlobs(blobs, w, h, 0, 1.0);
  std::vector<uint8_t> wide(static_cast<size_t>(w) * h * 2);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint16_t v = static_cast<uint16_t>(up[static_cast<size_t>(y) * w + x] * 257);
      size_t i = (static_cast<size_t>(h - 1 - y) * w + x) * 2;
      wide[i] = static_cast<uint8_t>(v & 0xFF);
      wide[i + 1] = static_cast<uint8_t>(v >> 8);
    }
  ASSERT_TRUE(vantor::tools::WriteTiff((dir / "f3.tif").string(), wide, w, h, 16));
  auto r = RunProgram({"f*.???", "1", "4", "0.01", "0", "--search"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(ReadFileBytes(dir / "ResVantor.txt"));
  ASSERT_GE(lines.size(), 4u);
  // Exact copies moved by whole pixels: the distance comes out 0 (either sign of zero).
  auto f2 = Fields(lines[2]), f3 = Fields(lines[3]);
  ASSERT_EQ(f2.size(), 4u);
  ASSERT_EQ(f3.size(), 4u);
  EXPECT_EQ(f2[0], "f2.bmp");
  EXPECT_EQ(std::stod(f2[1]), -1.0);
  EXPECT_EQ(std::stod(f2[2]), 0.0);
  EXPECT_EQ(std::stod(f2[3]), 0.0);
  EXPECT_EQ(f3[0], "f3.tif");
  EXPECT_EQ(std::stod(f3[1]), 0.0);
  EXPECT_EQ(std::stod(f3[2]), -1.0);
  EXPECT_EQ(std::stod(f3[3]), 0.0);
}

TEST(Compare, AnUnloadableFileEndsTheRunWithoutAResultFile) {
  TempDir dir, tmp;
  WriteSequence(dir.path(), "g", 60, 50, {{0, 0}, {1, 0}, {2, 0}, {3, 0}});
  vantor::test::WriteFileBytes(dir / "g0003.tif", "II*\0garbage");
  for (const char* threads : {"--threads=1", "--threads=2"}) {
    auto r = RunProgram({"*.tif", "0", threads}, dir.path(), tmp.path().string());
    EXPECT_EQ(r.status, 1);
    EXPECT_FALSE(fs::exists(dir / "ResVantor.txt"));
    EXPECT_NE(r.err.find((fs::canonical(dir.path()) / "g0003.tif").string()), std::string::npos)
        << r.err;
  }
  auto r = RunProgram({"none*.tif"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("no image file matches"), std::string::npos) << r.err;
}

// A frame over --max-frame-memory stops the run before it is decoded (status
// 1, one line naming the file, its need and the budget); a budget it fits in
// measures as usual, and a size that is not one is status 2.
TEST(Compare, TheFrameMemoryBudgetIsCheckedBeforeDecoding) {
  TempDir dir, tmp;
  WriteSequence(dir.path(), "m", 60, 50, {{0, 0}, {1, 0}});
  // 60 x 50 at 8 bits with the precise method's 9 bytes a pixel of working copies.
  auto r = RunProgram({"*.tif", "1", "--max-frame-memory=16K"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("m0001.tif: the frame would need 29 KiB (60 x 50, 8-bit); the budget is "
                       "16 KiB (--max-frame-memory)\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_FALSE(fs::exists(dir / "ResVantor.txt"));
  r = RunProgram({"*.tif", "1", "--max-frame-memory=1M", "--classic"}, dir.path(),
                 tmp.path().string());
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* bad : {"--max-frame-memory=0", "--max-frame-memory=12T",
                          "--max-frame-memory=-1K", "--max-frame-memory="}) {
    r = RunProgram({"*.tif", bad}, dir.path(), tmp.path().string());
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.err.rfind(std::string("vantor: ") + bad + ": give a size in bytes", 0), 0u) << r.err;
  }
}

TEST(Compare, AFrameOfAnotherSizeIsWarnedAbout) {
  TempDir dir, tmp;
  WriteSequence(dir.path(), "a", 60, 50, {{0, 0}});
  WriteSequence(dir.path(), "b", 50, 50, {{0, 0}});
  auto r = RunProgram({"*.tif", "1"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.err.find("b0001.tif: cannot be measured"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("50x50 differs from the first image's 60x50"), std::string::npos) << r.err;
}

TEST(Compare, LongSequencesAndThreadCountsGiveTheSameTable) {
  TempDir dir, tmp;
  std::vector<std::pair<double, double>> shifts;
  for (int k = 0; k < 200; ++k) shifts.push_back({0.3 * std::sin(k * 0.7), 0.2 * std::cos(k * 0.3)});
  WriteSequence(dir.path(), "t", 48, 40, shifts, 11);
  for (const char* mode : {"0", "1"}) {
    auto one = RunProgram({"*.tif", mode, "--threads=1"}, dir.path(), tmp.path().string());
    ASSERT_EQ(one.status, 0) << one.err;
    std::string single = Table(ReadFileBytes(dir / "ResVantor.txt"));
    auto all = RunProgram({"--threads=3", "*.tif", mode}, dir.path(), tmp.path().string());
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(Table(ReadFileBytes(dir / "ResVantor.txt")), single);
    auto dflt = RunProgram({"*.tif", mode}, dir.path(), tmp.path().string());
    ASSERT_EQ(dflt.status, 0) << dflt.err;
    EXPECT_EQ(Table(ReadFileBytes(dir / "ResVantor.txt")), single);
    // Mode 0 opens with an empty line, mode 1 with the column header.
    EXPECT_EQ(Lines(single).size(), 201u);
  }
}

TEST(Compare, MoreThan4096FramesAreAllListed) {
  TempDir dir, tmp;
  std::vector<uint8_t> px(8 * 8);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 37);
  for (int k = 1; k <= 4100; ++k) {
    char name[32];
    std::snprintf(name, sizeof name, "m%05d.tif", k);
    ASSERT_TRUE(vantor::tools::WriteTiff((dir / name).string(), px, 8, 8));
  }
  auto r = RunProgram({"*.tif", "1"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  auto lines = Lines(Table(ReadFileBytes(dir / "ResVantor.txt")));
  ASSERT_EQ(lines.size(), 4101u);
  EXPECT_EQ(lines.back().rfind("m04100.tif\t", 0), 0u);
}

TEST(Compare, TabsAndLineEndsInNamesKeepTheTableInItsColumns) {
  TempDir dir, tmp;
  WriteSequence(dir.path(), "a\tb\nc", 64, 48, {{0, 0}, {1.5, 0}});
  for (const char* mode : {"0", "1"}) {
    auto r = RunProgram({"*.tif", mode, "--csv=out.csv"}, dir.path(), tmp.path().string());
    ASSERT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = Lines(Table(ReadFileBytes(dir / "ResVantor.txt")));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1].rfind("a b c0001.tif", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("a b c0002.tif", 0), 0u) << lines[2];
    EXPECT_EQ(Fields(lines[2]).size(), mode[0] == '1' ? 4u : 2u);
    // The CSV keeps the exact name, quoted for its line end.
    EXPECT_NE(ReadFileBytes(dir / "out.csv").find("\n2,\"a\tb\nc0002.tif\","),
              std::string::npos);
  }
  // --classic writes the name as it is.
  ASSERT_EQ(RunProgram({"*.tif", "1", "--classic"}, dir.path(), tmp.path().string()).status, 0);
  EXPECT_NE(ReadFileBytes(dir / "ResVantor.txt").find("\na\tb\nc0002.tif\t"),
            std::string::npos);
  // A message naming such a file stays one line.
  std::ofstream(dir / "a\tb\nc0003.tif") << "not a picture";
  auto r = RunProgram({"*.tif", "1"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("vantor: " + (dir / "a b c0003.tif").string() + ": "), std::string::npos)
      << r.err;
}

TEST(Program, MinusSignOnTheStepShowsProgress) {
  TempDir dir, tmp;
  WriteSequence(dir.path(), "p", 40, 30, {{0, 0}, {1, 0}, {2, 0}});
  auto quiet = RunProgram({"*.tif", "1", "4", "--quiet"}, dir.path(), tmp.path().string());
  ASSERT_EQ(quiet.status, 0) << quiet.err;
  EXPECT_TRUE(quiet.err.empty()) << quiet.err;
  // Without --quiet a run closes with one line: what was measured, where it went.
  auto told = RunProgram({"*.tif", "1", "--csv=-"}, dir.path(), tmp.path().string());
  ASSERT_EQ(told.status, 0) << told.err;
  EXPECT_NE(told.err.find("vantor: 3 frames measured; largest displacement from the first 2.00 px "
                          "(frame 3); 0 rescued, 0 suspect, 0 failed; table "),
            std::string::npos)
      << told.err;
  EXPECT_NE(told.err.find("ResVantor.txt, CSV to standard output\n"), std::string::npos);
  auto shown =
      RunProgram({"*.tif", "1", "-4", "--threads=1", "--quiet"}, dir.path(), tmp.path().string());
  ASSERT_EQ(shown.status, 0) << shown.err;
  const std::string base = fs::canonical(dir.path()).string();
  // Not a terminal (a job's log): the folder, no line per frame.
  EXPECT_EQ(shown.err, base + "/*.tif\n");
  EXPECT_NE(ReadFileBytes(dir / "ResVantor.txt").find("StartPixStep=4\r\n"), std::string::npos);
}

TEST(Program, VersionHelpAndBadThreadOption) {
  TempDir dir, tmp;
  auto r = RunProgram({"--version"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("vantor ", 0), 0u);
  r = RunProgram({"x", "--help"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.rfind("Usage: vantor [PATTERN", 0), 0u);
  for (const char* option : {"--threads=N", "--precise", "--classic", "--csv=FILE", "--version"})
    EXPECT_NE(r.out.find(option), std::string::npos) << option;
  r = RunProgram({"--classic", "--precise"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  r = RunProgram({"--threads=0"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--threads=0"), std::string::npos);
}

}  // namespace
}  // namespace vantor::app
