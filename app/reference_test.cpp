// --reference end to end: a template file gives the first frame its own
// row, the table and the CSV say what the frames were measured against, and
// every value that cannot be used is one line with status 2.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "app/test_support.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::test::ReadCsv;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::TempDir;

constexpr int kW = 200, kH = 160;

// Frames f1..f4 of a blob field moved by (0.4 k, -0.3 k), and the field moved
// by (template_x, template_y) as template.tif beside them (all with noise).
void WriteScene(const TempDir& dir, double tx, double ty) {
  const auto field = vantor::tools::MakeBlobs(kW, kH, 120, 3);
  for (int k = 0; k <= 4; ++k) {
    auto v = vantor::tools::RenderValues(field, kW, kH, k < 4 ? 0.4 * k : tx, k < 4 ? -0.3 * k : ty);
    vantor::tools::AddNoise(v, 3.0, 40 + k);
    char name[16];
    std::snprintf(name, sizeof name, "f%d.tif", k + 1);
    const fs::path path = k < 4 ? dir / "in" / name : dir / "template.tif";
    ASSERT_TRUE(vantor::test::WriteGreyTiff(path, v, kW, kH));
  }
}

TEST(Reference, ATemplateFileIsNamedAndFrameOneMeasuredAgainstIt) {
  TempDir dir, tmp;
  fs::create_directory(dir / "in");
  WriteScene(dir, 2.5, 1.5);
  auto r = RunProgram({"in", "--reference=template.tif", "--csv=out.csv"}, dir.path(),
                      tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string csv = ReadFileBytes(dir / "out.csv");
  EXPECT_EQ(csv.rfind("# reference=template.tif\nframe,file,", 0), 0u) << csv;
  auto rows = ReadCsv(dir / "out.csv");
  ASSERT_EQ(rows.size(), 4u);
  // A feature of frame k lies at the template's place: (2.5 - 0.4 k, 1.5 + 0.3 k).
  for (size_t k = 0; k < rows.size(); ++k) {
    EXPECT_NEAR(rows[k].dxFirst, 2.5 - 0.4 * double(k), 0.05) << k;
    EXPECT_NEAR(rows[k].dyFirst, 1.5 + 0.3 * double(k), 0.05) << k;
    EXPECT_EQ(rows[k].quality, "ok");
  }
  const std::string table = ReadFileBytes(dir / "in" / "ResVantor.txt");
  EXPECT_EQ(table.find("f1.tif\t 0\t 0\t 0"), std::string::npos) << table;
  EXPECT_NE(table.find("f1.tif\t2.5\t1.5\t"), std::string::npos) << table;
  EXPECT_NE(table.find("\r\nCompareMode=1\r\nReference=template.tif\r\nStartPixStep=4\r\n"),
            std::string::npos) << table;
  EXPECT_NE(r.err.find("largest displacement from the template"), std::string::npos) << r.err;
  // Following the folder gives the same lines.
  const auto followed = RunProgram({"in", "--reference=template.tif", "--follow=0", "--csv=-"},
                                   dir.path(), tmp.path().string());
  ASSERT_EQ(followed.status, 0) << followed.err;
  EXPECT_EQ(followed.out, csv);

  // The mean names itself the same way; MODE 1 agrees with it.
  r = RunProgram({"in", "1", "--reference=mean:3", "--csv=-"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out.rfind("# reference=mean:3\n", 0), 0u) << r.out;
  EXPECT_NE(ReadFileBytes(dir / "in" / "ResVantor.txt").find("\r\nReference=mean:3\r\n"),
            std::string::npos);
}

TEST(Reference, ValuesThatCannotBeUsedAreOneLineWithStatusTwo) {
  TempDir dir, tmp;
  fs::create_directory(dir / "in");
  WriteScene(dir, 0, 0);
  ASSERT_TRUE(vantor::test::WriteGreyTiff(dir / "small.tif", std::vector<double>(60 * 40, 9.0),
                                          60, 40));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
      {{"in", "--reference=mean:0"}, "--reference=mean:0: give mean:N"},
      {{"in", "--reference=mean:x"}, "--reference=mean:x: give mean:N"},
      {{"in", "--reference="}, "--reference=: give first"},
      {{"in", "--reference=mean:9"},
       "--reference=mean:9: the sequence holds 4 frames; give mean:1 to mean:4"},
      {{"in", "--reference=none.tif"}, "--reference=none.tif: "},
      {{"in", "--reference=small.tif"},
       "--reference=small.tif: the template is 60 x 40 pixels, the frames 200 x 160"},
      {{"in", "0", "--reference=mean:2"}, "--reference=mean:2 and parameter 2 (mode 0)"},
      {{"in", "1", "--reference=previous"}, "--reference=previous and parameter 2 (mode 1)"},
      {{"in", "--reference=mean:2", "--classic"}, "--reference=mean:2: --classic measures"},
      {{"in", "--reference=mean:2", "--follow=0"}, "--reference=mean:2: the mean of the first"},
  };
  for (const auto& [args, start] : cases) {
    const auto r = RunProgram(args, dir.path(), tmp.path().string());
    EXPECT_EQ(r.status, 2) << args.back() << ": " << r.err;
    EXPECT_EQ(r.err.rfind("vantor: " + start, 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(dir / "in" / "ResVantor.txt")) << args.back();
  }
  // "previous" is mode 0 without the number.
  const auto r = RunProgram({"in", "--reference=previous", "--quiet"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadFileBytes(dir / "in" / "ResVantor.txt").find("\r\nCompareMode=0\r\nStartPixStep"),
            std::string::npos);
}

}  // namespace
}  // namespace vantor::app
