// The mean of a sequence's first frames as a reference: frames 2..N measured
// against frame 1 by the engine, moved onto it by the library's warp at full
// depth (as the precise method reads them: grey levels, colour as the mean of
// its channels) and summed in doubles in frame order, so that every thread
// count sums the same values the same way. Each pixel is divided by the
// number of frames that cover it there. Also the description of a template.
#include "sequence/reference.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <vector>

#include "generic/errors.h"
#include "generic/last_error.h"
#include "improc/warp.h"
#include "memrect/memrect.h"
#include "registration/drift_internal.h"
#include "sequence/engine.h"

namespace vantor::seq {

namespace {

namespace err = vantor::err;

class MeanSum {
 public:
  // The frame callback of the run over frames 1..N.
  static int32_t Add(void* user, const SequenceFrame* f) {
    auto* self = static_cast<MeanSum*>(user);
    try {
      if (self->AddFrame(*f)) return 0;
    } catch (const std::bad_alloc&) {
    }
    self->memory_ = true;
    return 1;
  }
  bool memory() const { return memory_; }
  // The mean as the engine takes a frame; false when memory is short.
  bool Finish(FixedReference* ref);

 private:
  // The pixels a moved frame covers, inclusive.
  struct Cover {
    int32_t x0, x1, y0, y1;
  };
  bool AddFrame(const SequenceFrame& f);
  bool MakeGreyOfMean(int32_t full, RectOwner* grey);

  int32_t w_ = 0, h_ = 0, depth_ = 0;
  GreyRange range_;
  std::vector<double> sum_, plane_, moved_;
  std::vector<Cover> covers_;
  drift::FloatImage grey_;
  bool memory_ = false;
};

bool MeanSum::AddFrame(const SequenceFrame& f) {
  // A pair that failed says nothing of where the frame lies.
  if (f.image == 0 || (f.frame > 1 && f.result.quality == kDriftFailed)) return true;
  int32_t w = 0, h = 0;
  const int32_t depth = mrGetRectInfo(f.image, &w, &h);
  if (f.frame == 1) {
    w_ = w;
    h_ = h;
    depth_ = depth;
    const size_t n = static_cast<size_t>(w) * static_cast<size_t>(h);
    sum_.assign(n, 0.0);
    plane_.resize(n);
    moved_.resize(n);
    // Floating-point frames map onto grey by the first frame's range, as loaded.
    RectOwner scratch;
    if (depth == 64 && MakeGrey(f.image, &range_, &scratch) < 0) return false;
  } else if (w != w_ || h != h_) {
    return true;
  }
  if (!drift::ToFloatGrey(f.image, &grey_, drift::DriftKernelsForMode())) return false;
  for (int32_t y = 0; y < h; ++y)
    std::copy(grey_.Row(y), grey_.Row(y) + w, plane_.begin() + static_cast<ptrdiff_t>(y) * w);
  Cover c{0, w - 1, 0, h - 1};
  const double* add = plane_.data();
  if (f.frame > 1) {
    const double shift[9] = {1, 0, -f.dxFirst, 0, 1, -f.dyFirst, 0, 0, 1};
    const int32_t pitch = w * 8;
    PerspectiveTrans(plane_.data(), w, h, pitch, moved_.data(), w, h, pitch, 64, shift, 0, nullptr,
                     0, 0);
    // The warp takes source column x + floor(-dx) (row y + floor(-dy)) and
    // fills where that lies off the frame.
    const double kx = std::floor(-f.dxFirst), ky = std::floor(-f.dyFirst);
    if (!(std::fabs(kx) < w && std::fabs(ky) < h)) return true;
    const int32_t ox = static_cast<int32_t>(kx), oy = static_cast<int32_t>(ky);
    c = {std::max(0, -ox), std::min(w - 1, w - 1 - ox), std::max(0, -oy),
         std::min(h - 1, h - 1 - oy)};
    add = moved_.data();
  }
  for (int32_t y = c.y0; y <= c.y1; ++y) {
    const size_t row = static_cast<size_t>(y) * static_cast<size_t>(w);
    for (int32_t x = c.x0; x <= c.x1; ++x) sum_[row + x] += add[row + x];
  }
  covers_.push_back(c);
  return true;
}

// The grey the frames would have had at the mean's values: rounded to their
// depth and reduced as LoadFrame reduces them.
bool MeanSum::MakeGreyOfMean(int32_t full, RectOwner* grey) {
  if (depth_ == 64) return MakeGrey(full, &range_, grey) == 0;
  const int32_t depth = depth_ == 16 || depth_ == 48 ? 16 : depth_ == 32 ? 32 : 8;
  RectOwner rounded(mrCreate(depth, w_, h_));
  if (!rounded) return rounded.release(), false;
  int32_t pitch = 0, meanPitch = 0;
  void* base = nullptr;
  void* meanBase = nullptr;
  mrGetExtendedInfo(rounded.get(), nullptr, nullptr, &pitch, &base);
  mrGetExtendedInfo(full, nullptr, nullptr, &meanPitch, &meanBase);
  const double top = depth == 8 ? 255.0 : depth == 16 ? 65535.0 : 2147483647.0;
  const double bottom = depth == 32 ? -2147483648.0 : 0.0;
  for (int32_t y = 0; y < h_; ++y) {
    const auto* m = reinterpret_cast<const double*>(static_cast<const uint8_t*>(meanBase) +
                                                    static_cast<ptrdiff_t>(y) * meanPitch);
    uint8_t* row = static_cast<uint8_t*>(base) + static_cast<ptrdiff_t>(y) * pitch;
    for (int32_t x = 0; x < w_; ++x) {
      const double v = std::clamp(std::floor(m[x] + 0.5), bottom, top);
      if (depth == 8) {
        row[x] = static_cast<uint8_t>(v);
      } else if (depth == 16) {
        reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(v);
      } else {
        reinterpret_cast<int32_t*>(row)[x] = static_cast<int32_t>(v);
      }
    }
  }
  if (depth == 8) {
    *grey = std::move(rounded);
    return true;
  }
  return MakeGrey(rounded.get(), &range_, grey) == 0;
}

bool MeanSum::Finish(FixedReference* ref) {
  RectOwner full(mrCreate(64, w_, h_));
  if (!full) return full.release(), false;
  int32_t pitch = 0;
  void* base = nullptr;
  mrGetExtendedInfo(full.get(), nullptr, nullptr, &pitch, &base);
  // Frames covering each pixel of a row, by running sums of the covers' ends.
  std::vector<int32_t> ends(static_cast<size_t>(w_) + 1);
  for (int32_t y = 0; y < h_; ++y) {
    std::fill(ends.begin(), ends.end(), 0);
    for (const Cover& c : covers_)
      if (y >= c.y0 && y <= c.y1) {
        ++ends[c.x0];
        --ends[c.x1 + 1];
      }
    auto* out = reinterpret_cast<double*>(static_cast<uint8_t*>(base) +
                                          static_cast<ptrdiff_t>(y) * pitch);
    const double* s = sum_.data() + static_cast<size_t>(y) * static_cast<size_t>(w_);
    int32_t frames = 0;
    // Frame 1 covers every pixel: the count is never 0.
    for (int32_t x = 0; x < w_; ++x) {
      frames += ends[x];
      out[x] = s[x] / frames;
    }
  }
  RectOwner grey;
  if (!MakeGreyOfMean(full.get(), &grey)) return false;
  ref->images.grey = std::move(grey);
  ref->images.original = std::move(full);
  ref->range = range_;
  return true;
}

}  // namespace

bool MakeReference(std::deque<FrameSource>& sources, const SequenceOptions& o, RunResults* out,
                   FixedReference* ref) {
  if (o.mode == kSequenceTemplate) {
    FrameSource& t = ref->source;
    if (o.templatePath != nullptr) {
      t.path = t.name = ref->label = o.templatePath;
    } else {
      ref->label = "array";
      t.data = o.templateData;
      t.width = o.templateWidth;
      t.height = o.templateHeight;
      t.stride = o.templateStride;
      t.layout = o.templateLayout;
      t.topRowFirst = o.templateTopRowFirst != 0;
    }
    return true;
  }
  const int32_t n = o.meanFrames;
  const int32_t count = static_cast<int32_t>(sources.size());
  ref->label = "mean:" + std::to_string(n);
  if (n > count)
    return err::Fail(err::kParameter, "reference %s: the sequence holds %d frame%s; give mean:1 to "
                     "mean:%d", ref->label.c_str(), count, count == 1 ? "" : "s", count),
           false;
  std::deque<FrameSource> part(sources.begin(), sources.begin() + n);
  SequenceOptions first = o;
  first.mode = kSequenceFirst;
  first.firstFrame = 1;
  first.lastFrame = n;
  first.keepImages = 1;
  first.resultCallback = nullptr;
  first.resultUser = nullptr;
  MeanSum sum;
  RunResults partial;
  if (RunSequence(part, first, &MeanSum::Add, &sum, &partial) < 0) {
    if (sum.memory()) return err::FailMemory(), false;
    // A frame that could not be loaded is the run's failed frame, with its reason.
    const int32_t failed = partial.failedFrame;
    if (failed != 0) {
      out->failedFrame = failed;
      out->reasons[static_cast<size_t>(failed)] = partial.reasons[static_cast<size_t>(failed)];
    }
    return false;
  }
  if (!sum.Finish(ref)) return err::FailMemory(), false;
  return true;
}

}  // namespace vantor::seq
