// The batch program when memory runs out: a short run on one and on two
// threads ends with the table it makes with memory, or with status 4 and no
// table; never a crash, another status or another table.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "app/vantorunit.h"
#include "memrect/memrect.h"
#include "memrect/rect_owner.h"
#include "memrect/writefile.h"
#include "tools/alloc_fault.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;

// The program's command line for a run on the folder's frames.
struct CommandLine {
  std::vector<std::string> args;
  std::vector<char*> argv;
  CommandLine(const fs::path& dir, int threads) {
    std::string t = "--threads=";
    t += std::to_string(threads);
    args = {"vantor", (dir / "*.tif").string(), "0", t};
    for (auto& a : args) argv.push_back(a.data());
  }
};

// The program's run (prepared outside the failing allocations, as the
// process's own arguments are), its messages kept quiet.
int RunBatch(CommandLine& c) {
  std::fflush(stderr);
  const int saved = dup(2), null = open("/dev/null", O_WRONLY);
  dup2(null, 2);
  const int status = VantorMain(static_cast<int>(c.argv.size()), c.argv.data());
  std::fflush(stderr);
  dup2(saved, 2);
  close(null);
  close(saved);
  return status;
}

// A fresh temporary folder, removed with its contents.
struct Folder {
  fs::path path;
  Folder() {
    std::string t = (fs::temp_directory_path() / "vantor-oom-XXXXXX").string();
    path = mkdtemp(t.data()) != nullptr ? fs::path(t) : fs::path();
  }
  ~Folder() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

// The table without its timing.
std::string Table(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return "";
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return std::regex_replace(text, std::regex("Seconds=[0-9]+"), "Seconds=");
}

TEST(BatchOutOfMemory, EndsWithTheSameTableOrStatusFour) {
  Folder dir;
  ASSERT_FALSE(dir.path.empty());
  const auto blobs = tools::MakeBlobs(48, 40, 10, 5);
  for (int k = 0; k < 3; ++k) {
    const auto px = tools::RenderBlobs(blobs, 48, 40, 1.5 * k, -0.5 * k);
    RectOwner r(mrCreate(8, 48, 40));
    for (int y = 0; y < 40; ++y)
      for (int x = 0; x < 48; ++x) mrPutPixel(r.get(), x, y, px[static_cast<size_t>(y) * 48 + x]);
    std::string file = "f";
    file += std::to_string(k);
    file += ".tif";
    const std::string name = (dir.path / file).string();
    ASSERT_GT(mrWriteToFileTIFF(r.get(), name.c_str(), 1, nullptr), 0);
  }
  const fs::path table = dir.path / "ResVantor.txt";
  for (int threads : {1, 2}) {
    CommandLine line(dir.path, threads);
    ASSERT_EQ(RunBatch(line), kExitOk);
    const std::string want = Table(table);
    ASSERT_NE(want.find("f2.tif"), std::string::npos) << want;
    fs::remove(table);
    int status = -1;
    const long runs = fault::EveryFailure(
        [&] { status = RunBatch(line); },
        [&](long n, bool) {
          if (status == kExitOk) {
            EXPECT_EQ(Table(table), want) << threads << " threads, allocation " << n;
          } else {
            EXPECT_EQ(status, kExitOutOfMemory) << threads << " threads, allocation " << n;
            EXPECT_FALSE(fs::exists(table)) << threads << " threads, allocation " << n;
          }
          fs::remove(table);
        });
    EXPECT_GT(runs, 0);
  }
}

}  // namespace
}  // namespace vantor::app
