// --follow: frames written while the program runs (some slowly, in pieces)
// stream out as CSV lines in order, with the numbers of a run on the finished
// folder; the run ends after the idle time, on a STOP file or on SIGINT, and
// then writes its whole table.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "app/test_support.h"
#include "tools/image_writer.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::RunProgramWhile;
using vantor::test::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kW = 192, kH = 144;

// The TIFF bytes of frame k of a drifting blob field.
std::string Frame(int k) {
  static const auto blobs = vantor::tools::MakeBlobs(kW, kH, 110, 7);
  TempDir scratch;
  const fs::path p = scratch / "x.tif";
  EXPECT_TRUE(vantor::tools::WriteTiff(
      p.string(), vantor::tools::RenderBlobs(blobs, kW, kH, 0.43 * k, -0.29 * k), kW, kH));
  return ReadFileBytes(p);
}

// Writes bytes to p in `pieces` parts with pauses between them.
void WriteInPieces(const fs::path& p, const std::string& bytes, int pieces) {
  const int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  for (int i = 0; i < pieces; ++i) {
    const size_t a = bytes.size() * i / pieces, b = bytes.size() * (i + 1) / pieces;
    ASSERT_EQ(::write(fd, bytes.data() + a, b - a), static_cast<ssize_t>(b - a));
    std::this_thread::sleep_for(60ms);
  }
  ::close(fd);
}

// Waits (up to 10 s) until file p holds `text`.
bool WaitFor(const fs::path& p, const std::string& text) {
  for (auto end = Clock::now() + 10s; Clock::now() < end; std::this_thread::sleep_for(10ms))
    if (ReadFileBytes(p).find(text) != std::string::npos) return true;
  return false;
}

std::string Name(int k) {
  char name[32];
  std::snprintf(name, sizeof name, "f%d.tif", 10 + k);
  return name;
}

// The start of frame's CSV line, file name k.
std::string Row(int frame, int k) {
  char row[48];
  std::snprintf(row, sizeof row, "\n%d,f%d.tif,", frame, 10 + k);
  return row;
}

TEST(Follow, FramesWrittenDuringTheRunStreamInOrderAsTheFinishedFolderMeasures) {
  TempDir dir;
  constexpr int kFrames = 8;
  for (int k = 0; k < 2; ++k) vantor::test::WriteFileBytes(dir / Name(k), Frame(k));
  Clock::time_point lastWritten;
  auto r = RunProgramWhile({"*.tif", "0", "--follow=2", "--csv=-"}, dir.path(),
                           [&](int, const fs::path& out) {
    for (int k = 2; k < kFrames; ++k) {
      std::this_thread::sleep_for(std::chrono::milliseconds(k % 3 == 0 ? 400 : 50));
      if (k % 2 == 0)
        WriteInPieces(dir / Name(k), Frame(k), 4);
      else
        vantor::test::WriteFileBytes(dir / Name(k), Frame(k));
      lastWritten = Clock::now();
      // Each line is out while the run goes on.
      EXPECT_TRUE(WaitFor(out, Row(k + 1, k))) << k;
    }
  });
  const double idle = std::chrono::duration<double>(Clock::now() - lastWritten).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_GE(idle, 1.9);
  EXPECT_LT(idle, 4.0);
  EXPECT_EQ(r.err.find("warning"), std::string::npos) << r.err;
  // The table's rows (its trailer gives the time taken).
  auto rows = [&] {
    const std::string t = ReadFileBytes(dir / "ResVantor.txt");
    return t.substr(0, t.find("\r\n", t.rfind(".tif")));
  };
  const std::string followed = rows();
  auto finished = RunProgram({"*.tif", "0", "--csv=-"}, dir.path(), "");
  ASSERT_EQ(finished.status, 0);
  EXPECT_EQ(r.out, finished.out);
  EXPECT_EQ(followed, rows());
  EXPECT_NE(followed.find(Name(kFrames - 1)), std::string::npos);
}

TEST(Follow, AStopFileOrSigintEndsTheRunWithAWholeTable) {
  for (const bool signal : {false, true}) {
    TempDir dir;
    vantor::test::WriteFileBytes(dir / Name(1), Frame(0));
    auto start = Clock::now();
    auto r = RunProgramWhile({"*.tif", "1", "--follow", "--csv=live.csv"}, dir.path(),
                             [&](int pid, const fs::path&) {
      vantor::test::WriteFileBytes(dir / Name(2), Frame(1));
      // A name sorting before the frames so far: taken last, with a warning.
      ASSERT_TRUE(WaitFor(dir / "live.csv", Row(2, 2)));
      vantor::test::WriteFileBytes(dir / Name(0), Frame(2));
      // The CSV is in place, and whole at every line, while the run goes on.
      ASSERT_TRUE(WaitFor(dir / "live.csv", Row(3, 0)));
      const std::string live = ReadFileBytes(dir / "live.csv");
      EXPECT_EQ(live.back(), '\n');
      if (signal)
        ::kill(pid, SIGINT);
      else
        vantor::test::WriteFileBytes(dir / "STOP", "");
    });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 15.0);
    EXPECT_NE(r.err.find(" arrived after "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("order of arrival"), std::string::npos) << r.err;
    const std::string table = ReadFileBytes(dir / "ResVantor.txt");
    EXPECT_NE(table.find(Name(0)), std::string::npos) << table;
    const auto rows = vantor::test::ReadCsv(dir / "live.csv");
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[2].file, Name(0));
  }
}

TEST(Follow, NothingComingIsAnErrorAndABadIdleTimeIsRefused) {
  TempDir dir;
  auto none = RunProgram({"*.tif", "1", "--follow=0.3"}, dir.path(), "");
  EXPECT_EQ(none.status, 1);
  EXPECT_NE(none.err.find("came within 0.3 seconds"), std::string::npos) << none.err;
  auto bad = RunProgram({"*.tif", "1", "--follow=-1"}, dir.path(), "");
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("--follow=-1"), std::string::npos) << bad.err;
  auto aligned = RunProgram({"*.tif", "1", "--follow", "--aligned=."}, dir.path(), "");
  EXPECT_EQ(aligned.status, 2);
  EXPECT_NE(aligned.err.find("followed folder"), std::string::npos) << aligned.err;
}

}  // namespace
}  // namespace vantor::app
