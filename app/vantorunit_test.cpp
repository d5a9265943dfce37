#include "app/vantorunit.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cmath>
#include <filesystem>
#include <memory>

#include "app/test_support.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::TempDir;
using vantor::test::WriteFileBytes;

const char kHelp[] =
    "   PARAMETERS for VANTOR.EXE:\r\n"
    "1: Path and file name specification, e.g.: C:...IMG*.jpg; DEFAULT: *.tif\r\n"
    "2: Compare mode: 0 - previous to next, 1 - first to each;  DEFAULT: 1\r\n"
    "3: Starting search step (in pixels);  DEFAULT: 4\r\n"
    "4: Final search step (in pixels);  DEFAULT: 0.05\r\n"
    "5: Final value of Distance function;  DEFAULT: 3.0\r\n"
    "6: Fraction of image used in calculations (fraction of each dimension);  DEFAULT: 0.5\r\n"
    "\r\n"
    "   NOTES:\r\n"
    "  Parameters must be listed in this order. All parameters are optional.\r\n"
    "  If parameter 3 (starting search step) is preceeded by minus sign, the current file name "
    "will be displayed while running.\r\n"
    "  For each pair of images the search continues until the final search step and the final "
    "value of Distance function drop below the given values for parameters 4 and 5.\r\n"
    "  If the question mark is the first parameter, this text will be displayed.\r\n"
    "  If the result file can't be saved, then the result table will be displayed with "
    "NotePad.exe\r\n"
    "  If no files are found in the path specification, no output is generated.\r\n";

TEST(Program, HelpIsShownByteForByteAndWrittenWithItsTerminator) {
  TempDir work, tmp;
  auto r = RunProgram({"?", "not-a-number", "x"}, work.path(), tmp.path().string());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kHelp);
  EXPECT_NE(r.err.find((tmp / "ParReadMe.txt").string()), std::string::npos) << r.err;
  EXPECT_EQ(ReadFileBytes(tmp / "ParReadMe.txt"), std::string(kHelp, sizeof kHelp));
  EXPECT_FALSE(fs::exists(work / "ResVantor.txt"));
}

TEST(Program, TwoQuestionMarksAreAPatternThatMatchesNothing) {
  TempDir work, tmp;
  auto r = RunProgram({"??"}, work.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(r.out.empty());
  EXPECT_FALSE(fs::exists(tmp / "ParReadMe.txt"));
}

TEST(Program, ConversionErrorsNameTheParameterAndStopBeforeAnyFile) {
  TempDir work, tmp;
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"*.tif", "zero"}, "vantor: parameter 2: 'zero' is not a valid integer value"},
      {{"*.tif", "1", "4", "0.05x"},
       "vantor: parameter 4: '0.05x' is not a valid floating point value"},
      {{"*.tif", "1", "nan"}, "vantor: parameter 3: 'nan' is not a valid floating point value"},
      {{"*.tif", "1", "4", "0.05", "3", ""},
       "vantor: parameter 6: '' is not a valid floating point value"},
  };
  for (const auto& c : cases) {
    // Outside --classic the line also says what the parameter takes.
    auto r = RunProgram(c.args, work.path(), tmp.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(c.message + "; give ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    auto classic = c.args;
    classic.push_back("--classic");
    r = RunProgram(classic, work.path(), tmp.path().string());
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, c.message + "\n");
    EXPECT_TRUE(fs::is_empty(work.path()));
    EXPECT_TRUE(fs::is_empty(tmp.path()));
  }
}

TEST(Program, ParametersThatCannotMeanAnythingAreRefusedOutsideClassic) {
  TempDir work, tmp;
  const std::vector<std::vector<std::string>> cases{
      {"*.tif", "2"},       {"*.tif", "1", "0"},           {"*.tif", "1", "1e308"},
      {"*.tif", "1", "4", "0"}, {"*.tif", "1", "4", "0.05", "-1"},
      {"*.tif", "1", "4", "0.05", "3", "0"}, {"*.tif", "1", "4", "0.05", "3", "1e-300"},
      {"*.tif", "1", "4", "0.05", "3", "1.5"}};
  for (const auto& args : cases) {
    auto r = RunProgram(args, work.path(), tmp.path().string());
    const std::string named = "parameter " + std::to_string(args.size()) + " (";
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_EQ(r.err.rfind("vantor: " + named, 0), 0u) << r.err;
    // --classic takes them as given: the run gets as far as finding no image.
    auto c = args;
    c.push_back("--classic");
    EXPECT_EQ(RunProgram(c, work.path(), tmp.path().string()).status, 1) << args.back();
  }
  // A step beyond the frames' larger side is refused before any table is
  // written; the side itself is still a step.
  std::vector<double> pixels(40 * 30);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = (i * 37) % 251;
  ASSERT_TRUE(vantor::test::WriteGreyTiff(work / "a.tif", pixels, 40, 30));
  ASSERT_TRUE(vantor::test::WriteGreyTiff(work / "b.tif", pixels, 40, 30));
  auto r = RunProgram({"*.tif", "1", "4", "41"}, work.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err.rfind("vantor: parameter 4 (final step): 41 is larger than the first frame "
                        "(40 x 30 pixels); give a number of pixels above 0 and at most 40", 0),
            0u) << r.err;
  EXPECT_FALSE(fs::exists(work / "ResVantor.txt"));
  r = RunProgram({"*.tif", "1", "41", "--search"}, work.path(), tmp.path().string());
  EXPECT_NE(r.err.find("parameter 3 (start step): 41 is larger"), std::string::npos) << r.err;
  EXPECT_EQ(RunProgram({"*.tif", "1", "40", "40", "--search"}, work.path(), tmp.path().string())
                .status, 0);
  EXPECT_EQ(RunProgram({"*.tif", "1", "41", "--classic"}, work.path(), tmp.path().string()).status,
            0);
  // So is a range past the last frame.
  r = RunProgram({"*.tif", "--frames=3:"}, work.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--frames: "), std::string::npos) << r.err;
}

TEST(Program, CommaLocaleTakesCommaAndDotDecimals) {
  // Only meaningful where a locale with a decimal comma is installed.
  locale_t german = newlocale(LC_NUMERIC_MASK, "de_DE.UTF-8", static_cast<locale_t>(0));
  if (german == static_cast<locale_t>(0)) GTEST_SKIP() << "no de_DE.UTF-8 locale on this machine";
  freelocale(german);
  TempDir work, tmp;
  for (const char* step : {"0.05", "0,05"}) {
    auto r = RunProgram({"*.tif", "1", "4", step}, work.path(), tmp.path().string(),
                        {"LC_ALL=de_DE.UTF-8"});
    // No image in the folder: the parameters were read (a bad one would be status 2).
    EXPECT_EQ(r.status, 1) << step << " " << r.err;
  }
}

// Runs FormCreate in-process inside `folder` with a comparison that appends
// one row and returns `count`.
struct InProcessRun {
  int status = -1;
  std::string table;
  std::string seenPath;
  size_t seenFilePart = 0;
};

InProcessRun RunInFolder(const fs::path& folder, const std::vector<std::string>& args,
                         int count, ClockFunction clock, Method method = Method::kPrecise) {
  InProcessRun run;
  fs::path old = fs::current_path();
  fs::current_path(folder);
  TForm1 form(nullptr);
  RunOptions options;
  options.method = method;
  options.quiet = true;
  RunContext ctx{RunParameters{}, form, std::string(), options};
  ParameterOutcome o = ReadParameters(args, ctx.params, '.');
  EXPECT_EQ(o.kind, ParameterOutcome::kRun);
  CompareFunction compare = [&](RunContext& c, char* path, size_t filePart) {
    run.seenPath = path;
    run.seenFilePart = filePart;
    c.result += "row\r\n";
    return count;
  };
  run.status = FormCreate(ctx, compare, compare, clock);
  run.table = ctx.result;
  fs::current_path(old);
  return run;
}

ClockFunction FixedClock(long double t0, long double t1) {
  auto calls = std::make_shared<int>(0);
  return [=] { return (*calls)++ == 0 ? t0 : t1; };
}

TEST(Run, DefaultsGiveTheTrailerAndTheResultFileBesideTheImages) {
  TempDir work;
  auto run = RunInFolder(work.path(), {}, 1, FixedClock(10.9, 11.0));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.seenPath, (fs::canonical(work.path()) / "*.tif").string());
  EXPECT_EQ(run.seenPath.substr(run.seenFilePart), "*.tif");
  const std::string expected =
      "row\r\n\r\nCompareMode=1\r\nStartPixStep=4\r\nFinPixStep=0.05\r\nMinDiff=3\r\n"
      "MaskFraction=0.5\r\nSeconds=0\r\n";
  EXPECT_EQ(run.table, expected);
  EXPECT_EQ(ReadFileBytes(work / "ResVantor.txt"), expected);
}

TEST(Run, SecondsAreRoundedHalvesUpFromWholeMillisecondStart) {
  TempDir work;
  // The start reading is cut to whole milliseconds: 1000.9 counts as 1000.
  EXPECT_NE(RunInFolder(work.path(), {}, 1, FixedClock(1000.9, 2499.0)).table.find("Seconds=1\r\n"),
            std::string::npos);
  EXPECT_NE(RunInFolder(work.path(), {}, 1, FixedClock(1000.9, 2500.0)).table.find("Seconds=2\r\n"),
            std::string::npos);
}

TEST(Run, ParametersAppearInTheTrailerWithFourDigits) {
  TempDir work;
  auto run = RunInFolder(work.path(), {"*.tif", "0", "-2", "0.123456", "0", "0.3333333"}, 2,
                         FixedClock(0, 0));
  EXPECT_NE(run.table.find("CompareMode=0\r\nStartPixStep=2\r\nFinPixStep=0.1235\r\nMinDiff=0\r\n"
                           "MaskFraction=0.3333\r\n"),
            std::string::npos)
      << run.table;
}

TEST(Run, NoComparedImageMeansStatusOneAndNoFile) {
  TempDir work;
  auto run = RunInFolder(work.path(), {}, -1, FixedClock(0, 0));
  EXPECT_EQ(run.status, 1);
  EXPECT_FALSE(fs::exists(work / "ResVantor.txt"));
}

TEST(Run, FolderRule) {
  TempDir work;
  fs::create_directory(work / "images");
  const std::string base = fs::canonical(work.path()).string();
  const Method classic = Method::kClassic;
  // A folder without a pattern: the images are its *.tif and the table goes there.
  auto run = RunInFolder(work.path(), {"images"}, 1, FixedClock(0, 0), classic);
  EXPECT_EQ(run.seenPath, base + "/images/*.tif");
  EXPECT_TRUE(fs::exists(work / "images" / "ResVantor.txt"));
  // A four-letter extension is taken for a folder.
  run = RunInFolder(work.path(), {"*.tiff"}, -1, FixedClock(0, 0), classic);
  EXPECT_EQ(run.seenPath, base + "/*.tiff/*.tif");
  // Three-letter patterns stay as they are, backslashes count as separators.
  run = RunInFolder(work.path(), {"images\\IMG*.jpg"}, -1, FixedClock(0, 0), classic);
  EXPECT_EQ(run.seenPath, base + "/images/IMG*.jpg");
  EXPECT_EQ(run.seenPath.substr(run.seenFilePart), "IMG*.jpg");
  // The root is too short to be extended.
  run = RunInFolder(work.path(), {"/"}, -1, FixedClock(0, 0), classic);
  EXPECT_EQ(run.seenPath, "/");
}

TEST(Run, FolderRuleOutsideClassicAsksTheDisk) {
  TempDir work, tmp;
  const std::string base = fs::canonical(work.path()).string();
  fs::create_directory(work / "run.001");
  WriteFileBytes(work / "frame1.tif", "x");
  const std::pair<std::string, std::string> cases[] = {
      {"run.001", "/run.001/*.tif"},   // a folder with a dot is a folder
      {"run.001/", "/run.001/*.tif"},
      {"*.tiff", "/*.tiff"},           // patterns match what they say
      {"frame*", "/frame*"},
      {"frame1.tif", "/frame1.tif"},
      {"new/", "/new/*.tif"},          // a trailing separator names a folder
      {"new", "/new/*.tif"},           // nothing there: the name decides
      {"/", "/*.tif"}};
  for (const auto& [pattern, seen] : cases) {
    auto run = RunInFolder(work.path(), {pattern}, -1, FixedClock(0, 0));
    EXPECT_EQ(run.seenPath, pattern == "/" ? seen : base + seen) << pattern;
  }
  // Symbolic-link loops say so, as the folder and among the matches.
  fs::create_directory_symlink("loop", work / "loop");
  fs::create_symlink("x.tif", work / "run.001" / "x.tif");
  auto r = RunProgram({"loop"}, work.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/loop': a symbolic-link loop"), std::string::npos) << r.err;
  r = RunProgram({"run.001"}, work.path(), tmp.path().string());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("run.001/x.tif is a symbolic-link loop"), std::string::npos) << r.err;
}

TEST(Run, PathTooLongForTheAppendIsRefused) {
  TempDir work;
  // 505 characters: fits alone, but not with "/*.tif".
  std::string longPath = "/" + std::string(504, 'a');
  auto run = RunInFolder(work.path(), {longPath}, 1, FixedClock(0, 0), Method::kClassic);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.seenPath.empty());
  // 511 characters cannot be formed at all.
  run = RunInFolder(work.path(), {"/" + std::string(510, 'a') + ".tif"}, 1, FixedClock(0, 0),
                    Method::kClassic);
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(run.seenPath.empty());
  // Outside --classic paths reach the system's limit, and the table goes
  // beside the images.
  fs::path deep = work.path();
  while (deep.string().size() < 900) deep /= std::string(200, 'd');
  fs::create_directories(deep);
  run = RunInFolder(work.path(), {deep.string()}, 1, FixedClock(0, 0));
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(fs::exists(deep / "ResVantor.txt"));
}

TEST(Run, FallbackToTheTemporaryFolderWhenTheTableCannotBeSaved) {
  if (geteuid() != 0) GTEST_SKIP() << "needs the folder trick that works as root too";
  TempDir work, tmp;
  fs::create_directory(work / "ResVantor.txt");  // saving onto a folder fails
  setenv("TMPDIR", tmp.path().c_str(), 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  auto run = RunInFolder(work.path(), {}, 1, FixedClock(0, 0));
  std::string out = testing::internal::GetCapturedStdout();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(run.status, 0);
  // Named with the images folder's name, so that jobs do not overwrite each other's.
  const std::string name = work.path().filename().string() + ".ResVantor.txt";
  EXPECT_EQ(ReadFileBytes(tmp / name), run.table);
  EXPECT_EQ(out, run.table);
  EXPECT_NE(err.find("cannot save"), std::string::npos) << err;
  EXPECT_NE(err.find("ResVantor.txt"), std::string::npos) << err;

  // With no usable temporary folder the table is lost: status 3.
  setenv("TMPDIR", (tmp / "missing").c_str(), 1);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  run = RunInFolder(work.path(), {}, 1, FixedClock(0, 0));
  testing::internal::GetCapturedStdout();
  err = testing::internal::GetCapturedStderr();
  unsetenv("TMPDIR");
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(err.find("lost"), std::string::npos) << err;
}

TEST(Parameters, MinusSignOnStepShowsProgress) {
  RunParameters p;
  auto o = ReadParameters({"x", "1", "-2"}, p, '.');
  EXPECT_TRUE(o.visible);
  EXPECT_EQ(p.StartPixStep, 2.0);
  RunParameters q;
  o = ReadParameters({"x", "1", "-0"}, q, '.');
  EXPECT_FALSE(o.visible);
  EXPECT_FALSE(std::signbit(q.StartPixStep));
  RunParameters r;
  o = ReadParameters({"x", "1", "4", "1", "1", "1", "junk after six"}, r, '.');
  EXPECT_EQ(o.kind, ParameterOutcome::kRun);
}

TEST(Conversions, NumbersTakeTheLocalesSeparatorOrADot) {
  EXPECT_EQ(StrToFloat("0.05", '.'), 0.05);
  EXPECT_EQ(StrToFloat(" -1.5e2 ", '.'), -150.0);
  EXPECT_EQ(StrToFloat(".5", '.'), 0.5);
  EXPECT_EQ(StrToFloat("0,05", ','), 0.05);
  EXPECT_EQ(StrToFloat("0.05", ','), 0.05);  // a dot is read in every locale
  EXPECT_FALSE(StrToFloat("0,05", '.'));
  EXPECT_FALSE(StrToFloat("0.0,5", ','));
  EXPECT_FALSE(StrToFloat("1.2.3", '.'));
  EXPECT_FALSE(StrToFloat("nan", '.'));
  EXPECT_FALSE(StrToFloat("1e", '.'));
  EXPECT_FALSE(StrToFloat("-", '.'));
  EXPECT_FALSE(StrToFloat("1e999", '.'));
  EXPECT_EQ(StrToInt("-2147483648"), INT32_MIN);
  EXPECT_FALSE(StrToInt("2147483648"));
  EXPECT_FALSE(StrToInt("1.0"));
  EXPECT_FALSE(StrToInt(" 1"));
  EXPECT_FALSE(StrToInt("+"));
}

TEST(Paths, FullPathIsFoldedWithoutTouchingTheDisk) {
  auto f = GetFullPathName("a/./b/../c\\*.tif", "/home/u");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path, "/home/u/a/c/*.tif");
  EXPECT_EQ(f->filePart, f->path.size() - 5);
  f = GetFullPathName("../../../..", "/x/y");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path, "/");
  EXPECT_EQ(f->filePart, 1u);
  f = GetFullPathName("/data//images/", "/ignored");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->path, "/data/images");
  EXPECT_FALSE(GetFullPathName("", "/x"));
}

}  // namespace
}  // namespace vantor::app
