// Following a folder: files written while the run goes on (some slowly, in
// pieces) give the same results as the finished folder, none is read before
// it is whole, late names are marked, and the final results handed over
// during the run are those the run ends with.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "generic/errors.h"
#include "sequence/file_complete.h"
#include "sequence/sequence.h"
#include "tools/image_writer.h"
#include "tools/synthetic_image.h"
#include "tools/temp_folder.h"

namespace {

using vantor::test::TempFolder;
using namespace std::chrono_literals;

struct SeqDeleter {
  void operator()(Sequence* s) const { SequenceFree(s); }
};
using SeqPtr = std::unique_ptr<Sequence, SeqDeleter>;

constexpr int kW = 160, kH = 120;

// The bytes of frame k of a drifting blob field (with a jump at frame 5).
std::string FrameBytes(const TempFolder& scratch, int k) {
  static const auto blobs = vantor::tools::MakeBlobs(kW, kH, 40, 7);
  auto v = vantor::tools::RenderValues(blobs, kW, kH, 0.37 * k + (k >= 5 ? 9 : 0), -0.21 * k);
  vantor::tools::AddNoise(v, 2.0, 100 + k);
  const std::string path = scratch / "x.tif";
  EXPECT_TRUE(vantor::tools::WriteTiff(path, vantor::tools::ToBytes(v), kW, kH));
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a file in `pieces` parts, a pause after each; reopened for each part
// when `reopen` (so that its writer closes it half-written).
void WriteSlowly(const std::string& path, const std::string& bytes, int pieces, bool reopen) {
  int fd = -1;
  for (int i = 0; i < pieces; ++i) {
    if (fd < 0) fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    const size_t a = bytes.size() * i / pieces, b = bytes.size() * (i + 1) / pieces;
    ASSERT_EQ(::write(fd, bytes.data() + a, b - a), static_cast<ssize_t>(b - a));
    if (reopen) {
      ::close(fd);
      fd = -1;
    }
    std::this_thread::sleep_for(40ms);
  }
  if (fd >= 0) ::close(fd);
}

struct Seen {
  std::vector<SequenceFrame> frames, finals;
  std::vector<std::string> names;
};

int32_t OnFrame(void* user, const SequenceFrame* f) {
  auto& s = *static_cast<Seen*>(user);
  s.frames.push_back(*f);
  s.names.push_back(f->name);
  return 0;
}

int32_t OnFinal(void* user, const SequenceFrame* f) {
  static_cast<Seen*>(user)->finals.push_back(*f);
  return 0;
}

SequenceOptions Options(int32_t mode, int32_t method, int32_t threads) {
  SequenceOptions o;
  SequenceDefaultOptions(&o);
  o.mode = mode;
  o.drift.method = method;
  o.threads = threads;
  return o;
}

TEST(Follow, FilesWrittenDuringTheRunMeasureAsTheFinishedFolder) {
  struct Case {
    int32_t mode, method, threads;
  };
  for (const Case c : {Case{kSequencePrevious, kDriftPrecise, 2}, Case{kSequenceFirst, kDriftDefault, 1}}) {
    TempFolder dir, scratch;
    const int frames = 9;
    std::vector<std::string> bytes;
    for (int k = 0; k < frames; ++k) bytes.push_back(FrameBytes(scratch, k));
    auto name = [](int k) { return "f" + std::to_string(10 + k) + ".tif"; };
    for (int k = 0; k < 3; ++k) vantor::tools::SaveBytes(dir / name(k), bytes[k]);
    std::thread writer([&] {
      for (int k = 3; k < frames; ++k) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30 * (k % 3)));
        if (k % 2 == 0)
          WriteSlowly(dir / name(k), bytes[k], 4, k % 4 == 0);
        else
          vantor::tools::SaveBytes(dir / name(k), bytes[k]);
      }
    });
    Seen seen;
    SequenceOptions o = Options(c.mode, c.method, c.threads);
    o.resultCallback = OnFinal;
    o.resultUser = &seen;
    SequenceFollowOptions f;
    SequenceDefaultFollowOptions(&f);
    f.idleSeconds = 0.8;
    SeqPtr live(SequenceCreate());
    const auto start = std::chrono::steady_clock::now();
    const int32_t done = SequenceFollow(live.get(), (dir / "*.tif").c_str(), &f, &o, OnFrame, &seen);
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.join();
    ASSERT_EQ(done, frames) << mrLastError();
    EXPECT_LT(took, 4.0);

    SeqPtr whole(SequenceCreate());
    ASSERT_EQ(SequenceAddFiles(whole.get(), (dir / "*.tif").c_str()), frames);
    SequenceOptions plain = Options(c.mode, c.method, c.threads);
    ASSERT_EQ(SequenceRun(whole.get(), &plain, nullptr, nullptr), frames);
    ASSERT_EQ(seen.frames.size(), size_t(frames));
    ASSERT_EQ(seen.finals.size(), size_t(frames));
    for (int k = 1; k <= frames; ++k) {
      SequenceFrame a, b;
      ASSERT_EQ(SequenceResult(live.get(), k, &a), 0);
      ASSERT_EQ(SequenceResult(whole.get(), k, &b), 0);
      EXPECT_EQ(seen.names[k - 1], name(k - 1));
      EXPECT_EQ(seen.frames[k - 1].frame, k);
      EXPECT_EQ(a.outOfOrder, 0);
      for (const SequenceFrame* x : {&a, &seen.finals[k - 1]}) {
        EXPECT_EQ(x->frame, k);
        EXPECT_EQ(x->result.dx, b.result.dx) << "frame " << k;
        EXPECT_EQ(x->result.dy, b.result.dy) << "frame " << k;
        EXPECT_EQ(x->dxFirst, b.dxFirst) << "frame " << k;
        EXPECT_EQ(x->result.quality, b.result.quality) << "frame " << k;
      }
    }
  }
}

TEST(Follow, ALateNameIsMarkedAndKeepsItsPlaceOfArrival) {
  // Told of changes, and looking for them (where files count as complete
  // once left alone for half a second).
  for (const int32_t polling : {0, 1}) {
    TempFolder dir, scratch;
    const auto gap = polling != 0 ? 700ms : 100ms;
    vantor::tools::SaveBytes(dir / "b.tif", FrameBytes(scratch, 0));
    std::thread writer([&] {
      std::this_thread::sleep_for(gap);
      vantor::tools::SaveBytes(dir / "c.tif", FrameBytes(scratch, 1));
      std::this_thread::sleep_for(gap);
      vantor::tools::SaveBytes(dir / "a.tif", FrameBytes(scratch, 2));
      std::this_thread::sleep_for(gap);
      vantor::tools::SaveBytes(dir / "STOP", "");
    });
    Seen seen;
    SequenceOptions o = Options(kSequenceFirst, kDriftPrecise, 1);
    SequenceFollowOptions f;
    SequenceDefaultFollowOptions(&f);  // 60 s: the STOP file ends it
    f.polling = polling;
    SeqPtr s(SequenceCreate());
    const int32_t done = SequenceFollow(s.get(), (dir / "*.tif").c_str(), &f, &o, OnFrame, &seen);
    writer.join();
    ASSERT_EQ(done, 3) << polling;
    EXPECT_EQ(seen.names, (std::vector<std::string>{"b.tif", "c.tif", "a.tif"})) << polling;
    EXPECT_EQ(seen.frames[1].outOfOrder, 0);
    EXPECT_NE(seen.frames[2].outOfOrder, 0);
  }
}

TEST(Follow, ATiffOrBmpIsCompleteOnlyWithAllItsData) {
  TempFolder dir;
  std::vector<std::vector<uint8_t>> pages(3, std::vector<uint8_t>(40 * 30 * 2, 7));
  ASSERT_TRUE(vantor::tools::WriteTiffPages(dir / "p.tif", pages, 40, 30, 16));
  ASSERT_TRUE(vantor::tools::WriteBmp24(dir / "p.bmp", std::vector<uint8_t>(40 * 30 * 3, 9), 40, 30));
  for (const char* name : {"p.tif", "p.bmp"}) {
    // The file cut shorter and shorter, as a reader could find it while it is written.
    const int fd = ::open((dir / name).c_str(), O_RDWR);
    const int64_t whole = ::lseek(fd, 0, SEEK_END);
    for (int64_t n = whole; n >= 0; n -= n > 400 ? 7 : 1) {
      ASSERT_EQ(::ftruncate(fd, n), 0);
      EXPECT_EQ(vantor::seq::FileCompleteness(fd, n) == vantor::seq::Completeness::kComplete,
                n == whole)
          << name << ": " << n << " of " << whole << " bytes";
    }
    ::close(fd);
  }
  // A directory chain that comes back to its start is damage for the reader
  // to report, not a file still being written, and the walk ends.
  ASSERT_TRUE(vantor::tools::WriteTiffPages(dir / "p.tif", {pages[0]}, 40, 30, 16));
  const int fd = ::open((dir / "p.tif").c_str(), O_RDWR);
  std::vector<uint8_t> all(8192);
  const int64_t n = ::pread(fd, all.data(), all.size(), 0);
  ASSERT_TRUE(n > 8 && n < 8192 && all[0] == 'I');
  // Little-endian classic TIFF: the first directory's offset, its entry count, then its next link.
  uint32_t ifd = 0;
  std::memcpy(&ifd, &all[4], 4);
  uint16_t entries = 0;
  std::memcpy(&entries, &all[ifd], 2);
  ASSERT_EQ(::pwrite(fd, &ifd, 4, ifd + 2 + 12 * entries), 4);
  EXPECT_EQ(vantor::seq::FileCompleteness(fd, n), vantor::seq::Completeness::kComplete);
  ::close(fd);
}

}  // namespace
