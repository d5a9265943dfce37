// The sequence engine: the same frames from files and from caller memory give
// the same results for every method, mode and thread count; frames come back
// in order; a frame that cannot be loaded stops the run and is named.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "generic/errors.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "sequence/sequence.h"
#include "tools/image_writer.h"
#include "tools/synthetic_image.h"
#include "tools/temp_folder.h"

namespace {

using vantor::RectOwner;
using vantor::test::TempFolder;

struct SeqDeleter {
  void operator()(Sequence* s) const { SequenceFree(s); }
};
using SeqPtr = std::unique_ptr<Sequence, SeqDeleter>;

constexpr int kW = 160, kH = 120, kFrames = 7;

// Frames f00.tif .. of a blob field drifting with a jump; 16-bit when wide.
void WriteFrames(const TempFolder& dir, bool wide) {
  const auto blobs = vantor::tools::MakeBlobs(kW, kH, 40, 7);
  for (int k = 0; k < kFrames; ++k) {
    const double dx = 0.37 * k + (k >= 4 ? 9 : 0), dy = -0.21 * k;
    auto v = vantor::tools::RenderValues(blobs, kW, kH, dx, dy);
    vantor::tools::AddNoise(v, 2.0, 100 + k);
    std::vector<uint8_t> pixels;
    if (wide) {
      for (double x : v) {
        const uint16_t s = static_cast<uint16_t>(std::clamp(x * 13.0, 0.0, 4095.0));
        pixels.push_back(static_cast<uint8_t>(s & 0xFF));
        pixels.push_back(static_cast<uint8_t>(s >> 8));
      }
    } else {
      pixels = vantor::tools::ToBytes(v);
    }
    char name[16];
    std::snprintf(name, sizeof name, "f%02d.tif", k);
    ASSERT_TRUE(vantor::tools::WriteTiff(dir / name, pixels, kW, kH, wide ? 16 : 8));
  }
}

SequenceOptions Options(int32_t mode, int32_t method, int32_t threads) {
  SequenceOptions o;
  SequenceDefaultOptions(&o);
  o.mode = mode;
  o.drift.method = method;
  o.threads = threads;
  return o;
}

std::vector<SequenceFrame> Results(Sequence* s) {
  std::vector<SequenceFrame> out(static_cast<size_t>(SequenceCount(s)));
  for (int32_t k = 1; k <= SequenceCount(s); ++k) EXPECT_EQ(SequenceResult(s, k, &out[k - 1]), 0);
  return out;
}

TEST(Sequence, MemoryTopRowFirstMeasuresAsTheFiles) {
  for (bool wide : {false, true}) {
    TempFolder dir;
    WriteFrames(dir, wide);
    SeqPtr files(SequenceCreate());
    ASSERT_EQ(SequenceAddFiles(files.get(), (dir / "*.tif").c_str()), kFrames);
    // The same pixels as the caller would hold them: row 0 the top.
    std::vector<std::vector<uint8_t>> buffers;
    SeqPtr memory(SequenceCreate());
    const int bytes = wide ? 2 : 1;
    for (int k = 0; k < kFrames; ++k) {
      char name[16];
      std::snprintf(name, sizeof name, "f%02d.tif", k);
      RectOwner r(mrReadFile((dir / name).c_str()));
      int32_t w = 0, h = 0, pitch = 0;
      void* p = nullptr;
      ASSERT_EQ(mrGetExtendedInfo(r.get(), &w, &h, &pitch, &p), wide ? 16 : 8);
      std::vector<uint8_t> top(static_cast<size_t>(w) * h * bytes);
      for (int32_t y = 0; y < h; ++y)
        std::memcpy(top.data() + static_cast<size_t>(y) * w * bytes,
                    static_cast<uint8_t*>(p) + static_cast<ptrdiff_t>(h - 1 - y) * pitch,
                    static_cast<size_t>(w) * bytes);
      buffers.push_back(std::move(top));
      ASSERT_EQ(SequenceAddMemory(memory.get(), buffers.back().data(), w, h, w * bytes,
                                  wide ? kSequenceU16 : kSequenceU8, 1),
                0);
    }
    for (int32_t method : {kDriftDefault, kDriftPrecise})
      for (int32_t mode : {kSequenceFirst, kSequencePrevious}) {
        SequenceOptions one = Options(mode, method, 1), two = Options(mode, method, 2);
        ASSERT_EQ(SequenceRun(files.get(), &one, nullptr, nullptr), kFrames);
        const auto a = Results(files.get());
        ASSERT_EQ(SequenceRun(memory.get(), &two, nullptr, nullptr), kFrames);
        const auto b = Results(memory.get());
        for (int k = 1; k < kFrames; ++k) {
          SCOPED_TRACE(testing::Message() << "wide " << wide << " method " << method << " mode "
                                          << mode << " frame " << k + 1);
          EXPECT_EQ(a[k].result.dx, b[k].result.dx);
          EXPECT_EQ(a[k].result.dy, b[k].result.dy);
          EXPECT_EQ(a[k].dxFirst, b[k].dxFirst);
          EXPECT_EQ(a[k].result.quality, b[k].result.quality);
          // Against the truth: the field moved right and up the picture,
          // and y counts up, so the frame lies at -tx, +ty of the first.
          const double tx = 0.37 * k + (k >= 4 ? 9 : 0), ty = -0.21 * k;
          if (method == kDriftPrecise) {
            EXPECT_NEAR(a[k].dxFirst, -tx, 0.05);
            EXPECT_NEAR(a[k].dyFirst, ty, 0.05);
          }
        }
      }
  }
}

struct Seen {
  std::vector<int32_t> frames;
  int32_t stopAt = 0;
  bool images = true;
};

int32_t Record(void* user, const SequenceFrame* f) {
  auto* seen = static_cast<Seen*>(user);
  seen->frames.push_back(f->frame);
  seen->images = seen->images && f->image > 0;
  return f->frame == seen->stopAt ? 1 : 0;
}

TEST(Sequence, FramesComeInOrderAndTheCallbackCanStop) {
  TempFolder dir;
  WriteFrames(dir, false);
  SeqPtr s(SequenceCreate());
  ASSERT_EQ(SequenceAddFiles(s.get(), (dir / "*.tif").c_str()), kFrames);
  SequenceOptions o = Options(kSequencePrevious, kDriftDefault, 2);
  o.keepImages = 1;
  o.firstFrame = 2;
  o.lastFrame = 5;
  Seen seen;
  ASSERT_EQ(SequenceRun(s.get(), &o, Record, &seen), kFrames);
  EXPECT_EQ(seen.frames, (std::vector<int32_t>{2, 3, 4, 5}));
  EXPECT_TRUE(seen.images);
  Seen stopping;
  stopping.stopAt = 3;
  o.firstFrame = o.lastFrame = 0;
  EXPECT_EQ(SequenceRun(s.get(), &o, Record, &stopping), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FAILED);
  EXPECT_EQ(stopping.frames, (std::vector<int32_t>{1, 2, 3}));
}

TEST(Sequence, AFrameThatCannotBeLoadedStopsTheRunAndIsNamed) {
  TempFolder dir;
  WriteFrames(dir, false);
  ASSERT_TRUE(vantor::tools::SaveBytes(dir / "f03.tif", std::string("II*\0garbage", 11)));
  SeqPtr s(SequenceCreate());
  ASSERT_EQ(SequenceAddFiles(s.get(), (dir / "*.tif").c_str()), kFrames);
  for (int32_t threads : {1, 2}) {
    SequenceOptions o = Options(kSequenceFirst, kDriftDefault, threads);
    EXPECT_EQ(SequenceRun(s.get(), &o, nullptr, nullptr), -1);
    EXPECT_EQ(SequenceFailedFrame(s.get()), 4);
    EXPECT_NE(std::strstr(mrLastError(), "f03.tif"), nullptr) << mrLastError();
    SequenceFrame f;
    EXPECT_EQ(SequenceResult(s.get(), 3, &f), 0);
    EXPECT_EQ(SequenceResult(s.get(), 4, &f), 0);
    EXPECT_STRNE(f.reason, "");
    EXPECT_EQ(SequenceResult(s.get(), 5, &f), -1);
  }
  // A frame over the budget fails the same way, before it is decoded; a
  // negative budget is the caller's mistake.
  SequenceOptions o = Options(kSequenceFirst, kDriftDefault, 2);
  o.maxFrameMemory = 1000;
  o.maxFrameMemoryName = "max";
  EXPECT_EQ(SequenceRun(s.get(), &o, nullptr, nullptr), -1);
  EXPECT_EQ(SequenceFailedFrame(s.get()), 1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FORMAT);
  EXPECT_NE(std::strstr(mrLastError(), "f00.tif: the frame would need "), nullptr) << mrLastError();
  EXPECT_NE(std::strstr(mrLastError(), "; the budget is 1000 bytes (max)"), nullptr);
  o.maxFrameMemory = -1;
  EXPECT_EQ(SequenceRun(s.get(), &o, nullptr, nullptr), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_PARAMETER);
  // The default: a quarter of the memory shared by the threads, at most the store's limit.
  const int64_t quarter = int64_t(sysconf(_SC_PHYS_PAGES)) / 4 * sysconf(_SC_PAGESIZE);
  EXPECT_EQ(SequenceFrameBudget(0, 2), std::min<int64_t>(quarter / 2, 0x7FFFFF32));
  EXPECT_EQ(SequenceFrameBudget(12345, 2), 12345);
  SeqPtr none(SequenceCreate());
  EXPECT_EQ(SequenceAddFiles(none.get(), (dir / "*.png").c_str()), -1);
  EXPECT_EQ(mrLastErrorKind(), VANTOR_ERROR_FILE);
}

}  // namespace
