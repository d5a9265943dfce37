// The bundled sample sequence: the program measures its known displacements.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "app/compare.h"
#include "app/test_support.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "registration/registration.h"
#include "sequence/sequence.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
const fs::path kSample = fs::path(VANTOR_SOURCE_DIR) / "testdata" / "sample";

struct Truth {
  double dx, dy;
};

std::map<std::string, Truth> ReadTruth() {
  std::map<std::string, Truth> truth;
  std::ifstream in(kSample / "truth.txt");
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream row(line);
    std::string name;
    Truth t{};
    row >> name >> t.dx >> t.dy;
    truth[name] = t;
  }
  return truth;
}

// Worst error of the unrounded displacements against the first frame.
double WorstError(double minDiff) {
  auto truth = ReadTruth();
  EXPECT_EQ(truth.size(), 12u);
  RectOwner first(SequenceReadGrey((kSample / "cell_01.tif").c_str(), 0));
  EXPECT_GT(first.get(), 0);
  RectOwner mask(CentralMask(first.get()));
  double worst = 0;
  for (const auto& [name, t] : truth) {
    RectOwner frame(SequenceReadGrey((kSample / name).c_str(), 0));
    double rec[4];
    EXPECT_GE(RegisterPair(first.get(), frame.get(), mask.get(), rec, 4, 0.05, minDiff, 512, 0,
                           3072), 0.0);
    worst = std::max({worst, std::fabs(rec[0] - t.dx), std::fabs(rec[1] - t.dy)});
  }
  return worst;
}

TEST(Sample, MinimumDifferenceZeroReachesHundredths) {
  EXPECT_LT(WorstError(0.0), 0.05);
}

TEST(Sample, DefaultsStopEarlyOnThisFaintPicture) {
  // The default minimum difference 3 is a mean square grey difference: on a
  // faint picture the search stops with a simplex edge of a quarter pixel.
  EXPECT_LT(WorstError(3.0), 0.3);
}

TEST(Sample, ThreadCountsGiveTheSameTableInBothModes) {
  vantor::test::TempDir work, tmp;
  for (const auto& e : fs::directory_iterator(kSample))
    if (e.path().extension() == ".tif") fs::copy(e.path(), work / e.path().filename().string());
  for (const char* mode : {"0", "1"}) {
    auto one = vantor::test::RunProgram({"*.tif", mode, "--threads=1"}, work.path(),
                                        tmp.path().string());
    ASSERT_EQ(one.status, 0) << one.err;
    std::string single = vantor::test::ReadFileBytes(work / "ResVantor.txt");
    auto all = vantor::test::RunProgram({"*.tif", mode}, work.path(), tmp.path().string());
    ASSERT_EQ(all.status, 0) << all.err;
    std::string multi = vantor::test::ReadFileBytes(work / "ResVantor.txt");
    // Everything but the run time agrees byte for byte.
    EXPECT_EQ(single.substr(0, single.find("Seconds=")), multi.substr(0, multi.find("Seconds=")));
  }
}

}  // namespace
}  // namespace vantor::app
