// Outputs never destroy anything: clashes refused before any file is touched,
// links replaced rather than written through, failed writes leave no part
// file behind, and concurrent runs leave a whole table.
#include "app/outputs.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "app/test_support.h"
#include "tools/synthetic_image.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;
using vantor::test::ReadFileBytes;
using vantor::test::RunProgram;
using vantor::test::TempDir;

// Three small frames of a drifting field: f001.tif to f003.tif.
void WriteFrames(const fs::path& dir) {
  const auto field = vantor::tools::MakeBlobs(48, 48, 40, 5);
  for (int k = 0; k < 3; ++k)
    ASSERT_TRUE(vantor::test::WriteGreyTiff(dir / ("f00" + std::to_string(k + 1) + ".tif"),
                                            vantor::tools::RenderValues(field, 48, 48, k, -k, 20),
                                            48, 48));
}

// Every entry below dir with its bytes (a link: its target).
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> s;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    s[e.path().string()] = e.is_symlink() ? fs::read_symlink(e).string() : ReadFileBytes(e.path());
  return s;
}

// Runs a shell script; its exit status.
int Shell(const std::string& script) {
  const int s = std::system(script.c_str());
  return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
}

bool HasPartFile(const fs::path& dir) {
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.path().filename().string().find(".part") != std::string::npos) return true;
  return false;
}

TEST(Outputs, AimedAtAnInputOrAtEachOtherAreRefusedWithNothingChanged) {
  TempDir dir, tmp;
  WriteFrames(dir.path());
  fs::create_symlink(dir / "f001.tif", dir / "link.svg");
  const struct {
    std::vector<std::string> args;
    std::string first, second;  // what the message names
  } cases[] = {
      {{"--csv=f002.tif", "--plot=d.svg"}, "--csv=f002.tif", "the input"},
      {{"--csv=ResVantor.txt"}, "--csv=ResVantor.txt", "the result table"},
      {{"--csv=d.svg", "--plot=sub/../d.svg"}, "--plot=sub/../d.svg", "--csv=d.svg"},
      {{"--plot=link.svg"}, "--plot=link.svg", "f001.tif"},
      {{"--aligned=."}, "--aligned=.", "the input"},
      {{"--frames=2:", "--csv=ResVantor_2-3.txt"}, "--csv=ResVantor_2-3.txt", "result table"},
  };
  const auto before = Snapshot(dir.path());
  for (const auto& c : cases) {
    std::vector<std::string> args{"*.tif", "1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto r = RunProgram(args, dir.path(), tmp.path().string());
    EXPECT_EQ(r.status, 2) << c.first << "\n" << r.err;
    const size_t same = r.err.find(" is the same file as ");
    EXPECT_EQ(r.err.find("vantor: " + c.first), 0u) << r.err;
    EXPECT_NE(r.err.find(c.second, same), std::string::npos) << r.err;
    EXPECT_EQ(Snapshot(dir.path()), before) << c.first;
    EXPECT_TRUE(fs::is_empty(tmp.path()));
  }
  // A plot named for another format is refused before anything is read.
  const auto r = RunProgram({"*.tif", "1", "--plot=drift.png"}, dir.path(), tmp.path().string());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("SVG only"), std::string::npos) << r.err;
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(Outputs, LinksAtTheTableAndTheCsvAreReplacedNotWrittenThrough) {
  TempDir dir, tmp, elsewhere;
  WriteFrames(dir.path());
  vantor::test::WriteFileBytes(elsewhere / "a", "kept a");
  vantor::test::WriteFileBytes(elsewhere / "b", "kept b");
  fs::create_symlink(elsewhere / "a", dir / "ResVantor.txt");
  fs::create_symlink(elsewhere / "b", dir / "drift.csv");
  const auto r = RunProgram({"*.tif", "1", "--csv=drift.csv"}, dir.path(), tmp.path().string());
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFileBytes(elsewhere / "a"), "kept a");
  EXPECT_EQ(ReadFileBytes(elsewhere / "b"), "kept b");
  EXPECT_FALSE(fs::is_symlink(dir / "ResVantor.txt"));
  EXPECT_EQ(ReadFileBytes(dir / "ResVantor.txt").rfind("FileName\tDX", 0), 0u);
  EXPECT_EQ(ReadFileBytes(dir / "drift.csv").rfind("frame,file", 0), 0u);
  const mode_t mask = umask(022);
  umask(mask);
  struct stat st {};
  ASSERT_EQ(stat((dir / "drift.csv").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644 & ~mask);
}

TEST(Outputs, FailedWritesAreStatusThreeAndLeaveNoPartFile) {
  TempDir dir, tmp;
  WriteFrames(dir.path());
  vantor::test::WriteFileBytes(dir / "old.svg", "old plot");
  const std::string run = "cd '" + dir.path().string() + "' && TMPDIR='" + tmp.path().string() +
                          "' '" VANTOR_EXE "' '*.tif' 1 ";
  const std::string err = (tmp / "err").string();
  // Standard output full, or closed.
  EXPECT_EQ(Shell(run + "--csv=- >/dev/full 2>'" + err + "'"), 3);
  EXPECT_NE(ReadFileBytes(err).find("No space left on device"), std::string::npos);
  EXPECT_EQ(Shell(run + "--csv=- >&- 2>'" + err + "'"), 3);
  EXPECT_NE(ReadFileBytes(err).find("standard output"), std::string::npos);
  // Files that may not grow past 512 bytes: the frames and the plot fail
  // part way, and what was there stays.
  EXPECT_EQ(Shell("ulimit -f 1; trap '' XFSZ; " + run +
                  "--aligned=al --plot=old.svg 2>'" + err + "'"), 3);
  EXPECT_NE(ReadFileBytes(err).find("old.svg: cannot write the plot: File too large"),
            std::string::npos) << ReadFileBytes(err);
  EXPECT_EQ(ReadFileBytes(dir / "old.svg"), "old plot");
  EXPECT_TRUE(fs::is_empty(dir / "al"));
  EXPECT_FALSE(HasPartFile(dir.path()));
}

TEST(Outputs, AFullFileSystemLeavesNoNewFileAndSaysSo) {
  TempDir dir, tmp, small;
  WriteFrames(dir.path());
  // A file system of 4 KiB (mounting needs the right to; else skipped): the
  // aligned frames do not all fit.
  if (Shell("mount -t tmpfs -o size=4k tmpfs '" + small.path().string() + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "no tmpfs can be mounted here";
  const std::string err = (tmp / "err").string();
  const int status =
      Shell("cd '" + dir.path().string() + "' && TMPDIR='" + tmp.path().string() + "' '" VANTOR_EXE
            "' '*.tif' 1 --aligned='" + (small / "al").string() + "' --csv='" +
            (small / "d.csv").string() + "' 2>'" + err + "'");
  const bool parts = HasPartFile(small.path());
  Shell("umount '" + small.path().string() + "'");
  EXPECT_EQ(status, 3);
  EXPECT_NE(ReadFileBytes(err).find("No space left on device"), std::string::npos)
      << ReadFileBytes(err);
  EXPECT_FALSE(parts);
}

TEST(Outputs, TwoRunsAtOnceLeaveOneWholeTable) {
  TempDir dir, tmp, copies;
  WriteFrames(dir.path());
  // Each of the two runs alone, then both at once (the tables differ in form).
  std::string script = "cd '" + dir.path().string() + "' || exit 9; ";
  for (const char* mode : {"0", "1"})
    script += std::string("'" VANTOR_EXE "' '*.tif' ") + mode + " && cp ResVantor.txt '" +
              (copies / mode).string() + "' || exit 9; ";
  script += "for i in $(seq 20); do '" VANTOR_EXE "' '*.tif' 0 & '" VANTOR_EXE "' '*.tif' 1 & "
            "wait; cp ResVantor.txt '" + copies.path().string() + "/both'$i; done";
  ASSERT_EQ(Shell(script), 0);
  // The run time is the only part that may differ between runs.
  auto body = [](const std::string& t) { return t.substr(0, t.rfind("Seconds=")); };
  const std::string alone[2] = {body(ReadFileBytes(copies / "0")), body(ReadFileBytes(copies / "1"))};
  for (int i = 1; i <= 20; ++i) {
    const std::string t = ReadFileBytes(copies / ("both" + std::to_string(i)));
    EXPECT_TRUE(body(t) == alone[0] || body(t) == alone[1]) << t;
    EXPECT_EQ(t.substr(t.size() - 2), "\r\n");
  }
  EXPECT_FALSE(HasPartFile(dir.path()));
}

TEST(OutputFile, SignalRemovesTheUnfinishedFileAndStillEndsTheProgram) {
  TempDir dir;
  const pid_t pid = fork();
  if (pid == 0) {
    RemoveUnfinishedOutputsOnSignals();
    OutputFile out;
    if (!out.Open((dir / "x.csv").string(), nullptr) || !out.Write("half", 4, nullptr)) _exit(1);
    raise(SIGTERM);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A pipe or a device (/dev/stdout) at the destination is written, never replaced.
TEST(OutputFile, APipeIsWrittenThrough) {
  TempDir dir;
  const fs::path fifo = dir / "fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  std::string error;
  EXPECT_TRUE(WriteWholeFile(fifo.string(), "abc", 3, &error)) << error;
  char got[4] = {};
  EXPECT_EQ(read(reader, got, sizeof got), 3);
  close(reader);
  EXPECT_STREQ(got, "abc");
  EXPECT_TRUE(fs::is_fifo(fifo));
}

}  // namespace
}  // namespace vantor::app
