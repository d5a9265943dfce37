// Work of the Python module that runs without the interpreter: the frames
// handed to the library's sequence engine, which measures them and moves them
// onto the first, as it does for the program.
#include "python/src/sequence.h"

#include <chrono>
#include <memory>

#include "generic/errors.h"
#include "sequence/sequence.h"

namespace vantor::pymod {

namespace {

struct SequenceDeleter {
  void operator()(Sequence* s) const { SequenceFree(s); }
};
using SequencePtr = std::unique_ptr<Sequence, SequenceDeleter>;

// The failure the library call just made left in this thread's record.
Failure LastFailure() {
  Failure f{mrLastErrorKind(), mrLastError()};
  if (f.kind == VANTOR_ERROR_NONE) f.kind = VANTOR_ERROR_FAILED;
  return f;
}

int32_t LayoutOf(PixelKind kind) {
  switch (kind) {
    case PixelKind::kU8: return kSequenceU8;
    case PixelKind::kU16: return kSequenceU16;
    case PixelKind::kF32: return kSequenceF32;
    case PixelKind::kF64: return kSequenceF64;
    case PixelKind::kRgb8: return kSequenceRgb8;
    case PixelKind::kRgb16: return kSequenceRgb16;
  }
  return -1;
}

// A sequence of the caller's frames, row 0 the top of each picture.
SequencePtr SequenceOf(const std::vector<FrameView>& frames, Failure* error) {
  SequencePtr s(SequenceCreate());
  if (!s) {
    *error = LastFailure();
    return s;
  }
  for (const FrameView& f : frames) {
    if (SequenceAddMemory(s.get(), f.data, f.width, f.height, f.rowStride, LayoutOf(f.kind), 1) <
        0) {
      *error = LastFailure();
      return SequencePtr();
    }
  }
  return s;
}

}  // namespace

int ProcessorCount() { return SequenceProcessorCount(); }

bool MeasureSequence(const std::vector<FrameView>& frames, bool previous,
                     const DriftOptions& options, int threads, std::vector<SequenceFrame>* results,
                     Failure* error, const FixedReference& fixed) {
  mrClearLastError();
  SequencePtr s = SequenceOf(frames, error);
  if (!s) return false;
  SequenceOptions o;
  SequenceDefaultOptions(&o);
  o.mode = previous ? kSequencePrevious : fixed.mode;
  o.meanFrames = fixed.meanFrames;
  if (!fixed.path.empty()) {
    o.templatePath = fixed.path.c_str();
  } else if (fixed.view.data != nullptr) {
    o.templateData = fixed.view.data;
    o.templateWidth = fixed.view.width;
    o.templateHeight = fixed.view.height;
    o.templateStride = fixed.view.rowStride;
    o.templateLayout = LayoutOf(fixed.view.kind);
    o.templateTopRowFirst = 1;
  }
  o.drift = options;
  o.threads = threads;
  if (SequenceRun(s.get(), &o, nullptr, nullptr) < 0) {
    *error = LastFailure();
    return false;
  }
  results->assign(frames.size(), SequenceFrame{});
  for (size_t k = 0; k < frames.size(); ++k)
    SequenceResult(s.get(), static_cast<int32_t>(k + 1), &(*results)[k]);
  return true;
}

bool AlignFrames(const std::vector<FrameView>& frames, const std::vector<double>& dx,
                 const std::vector<double>& dy, const std::vector<double>& matrices,
                 const std::vector<AlignTarget>& targets,
                 int interpolation, double fill, int threads, Failure* error) {
  mrClearLastError();
  SequencePtr s = SequenceOf(frames, error);
  if (!s) return false;
  std::vector<void*> data(targets.size());
  std::vector<int64_t> pitch(targets.size());
  for (size_t k = 0; k < targets.size(); ++k) {
    data[k] = targets[k].data;
    pitch[k] = targets[k].pitch;
  }
  if (SequenceAlignMemoryMotion(s.get(), dx.data(), dy.data(),
                                matrices.empty() ? nullptr : matrices.data(), data.data(),
                                pitch.data(), interpolation, fill, threads) < 0) {
    *error = LastFailure();
    return false;
  }
  return true;
}

FollowRun::FollowRun(const std::string& pattern, bool previous, const DriftOptions& options,
                     int threads, double idleSeconds) {
  SequenceOptions o;
  SequenceDefaultOptions(&o);
  o.mode = previous ? kSequencePrevious : kSequenceFirst;
  o.drift = options;
  o.threads = threads;
  o.resultCallback = &FollowRun::OnResult;
  o.resultUser = this;
  SequenceFollowOptions f;
  SequenceDefaultFollowOptions(&f);
  f.idleSeconds = idleSeconds;
  f.stop = &stop_;
  thread_ = std::thread([this, pattern, o, f] {
    mrClearLastError();
    SequencePtr s(SequenceCreate());
    const bool ok = s && SequenceFollow(s.get(), pattern.c_str(), &f, &o, nullptr, nullptr) >= 0;
    std::lock_guard<std::mutex> g(mutex_);
    if (!ok) failure_ = LastFailure();
    over_ = true;
    changed_.notify_all();
  });
}

FollowRun::~FollowRun() {
  Stop();
  if (thread_.joinable()) thread_.join();
}

int32_t FollowRun::OnResult(void* user, const SequenceFrame* f) {
  auto* run = static_cast<FollowRun*>(user);
  FollowedFrame r;
  r.frame = f->frame;
  r.name = f->name;
  r.result = f->result;
  r.dxFirst = f->dxFirst;
  r.dyFirst = f->dyFirst;
  r.outOfOrder = f->outOfOrder != 0;
  std::lock_guard<std::mutex> g(run->mutex_);
  run->ready_.push_back(std::move(r));
  run->changed_.notify_all();
  return 0;
}

int FollowRun::Next(int ms, FollowedFrame* out, Failure* error) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !ready_.empty() || over_; });
  if (!ready_.empty()) {
    *out = std::move(ready_.front());
    ready_.pop_front();
    return 1;
  }
  if (!over_) return 0;
  *error = failure_;
  return -1;
}

}  // namespace vantor::pymod
