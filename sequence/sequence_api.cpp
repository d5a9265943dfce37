// The sequence engine's exported C functions: building a sequence from files
// or caller memory, running it and reading its results.
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "files/filelist.h"
#include "files/filelist_owner.h"
#include "generic/errors.h"
#include "generic/last_error.h"
#include "memrect/readfile.h"
#include "sequence/engine.h"
#include "sequence/follow.h"
#include "sequence/frame_source.h"
#include "sequence/sequence.h"
#include "sequence/sequence_internal.h"


namespace {

namespace err = vantor::err;

// Runs an operation that calls other exported ones and reads their failures
// from the error record: it must not run inside Guarded, which would hold
// those failures back until it ends. Exceptions become its failure result.
template <class F>
int32_t Unguarded(F&& body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return err::FailMemory(), -1;
  } catch (...) {
    return err::Fail(err::kFailed, "unexpected exception"), -1;
  }
}

bool ValidSequenceOptions(const SequenceOptions* o) {
  if (o == nullptr) return err::Fail(err::kParameter, "the options are null"), false;
  if (o->mode < kSequencePrevious || o->mode > kSequenceTemplate)
    return err::Fail(err::kParameter, "mode %d is not 0 (previous), 1 (first), 2 (mean) or 3 "
                     "(template)", static_cast<int>(o->mode)),
           false;
  if (o->mode == kSequenceMean && o->meanFrames < 1)
    return err::Fail(err::kParameter, "reference mean:%d: give the number of frames averaged, "
                     "at least 1", static_cast<int>(o->meanFrames)),
           false;
  if (o->mode == kSequenceTemplate && o->templatePath == nullptr) {
    const int32_t bytes = vantor::seq::LayoutBytes(o->templateLayout);
    if (o->templateData == nullptr || bytes == 0 || o->templateWidth < 1 ||
        o->templateHeight < 1 ||
        o->templateStride < static_cast<int64_t>(o->templateWidth) * bytes)
      return err::Fail(err::kParameter, "reference array: the template is neither a path nor "
                       "memory of a known layout with rows at least a row's bytes apart"),
             false;
  }
  if (o->threads < 0)
    return err::Fail(err::kParameter, "thread count %d is negative", static_cast<int>(o->threads)),
           false;
  if (o->maxFrameMemory < 0)
    return err::Fail(err::kParameter, "frame memory budget %lld is negative",
                     static_cast<long long>(o->maxFrameMemory)),
           false;
  return true;
}

// Checks the channel and slice the options pick against every hyperstack
// time point; false (kind PARAMETER, naming the file's count) for one beyond
// a file's. (The engine gives each time point its pick when it loads it.)
bool PickStackPlanes(const Sequence* s, const SequenceOptions& o) {
  const int32_t channel = std::max(1, o.channel);
  if (o.z < kSequenceZMean)
    return err::Fail(err::kParameter, "z %d is neither a slice from 1 nor max (%d) or mean (%d)",
                     static_cast<int>(o.z), kSequenceZMax, kSequenceZMean),
           false;
  for (const vantor::seq::FrameSource& f : s->sources) {
    if (f.timePoint < 1) continue;
    if (channel > f.channels)
      return err::Fail(err::kParameter, "channel %d: %s has %d channel%s", static_cast<int>(channel),
                       f.path.c_str(), static_cast<int>(f.channels), f.channels == 1 ? "" : "s"),
             false;
    if (o.z > f.slices)
      return err::Fail(err::kParameter, "z %d: %s has %d slice%s", static_cast<int>(o.z),
                       f.path.c_str(), static_cast<int>(f.slices), f.slices == 1 ? "" : "s"),
             false;
  }
  return true;
}

}  // namespace

extern "C" {

void SequenceDefaultOptions(SequenceOptions* o) {
  if (o == nullptr) return;
  *o = SequenceOptions{};
  o->mode = kSequenceFirst;
  o->drift.method = kDriftPrecise;
  o->drift.startStep = 4.0;
  o->drift.finalStep = 0.05;
  o->drift.minDiff = 3.0;
  o->drift.coarseSize = 512;
  o->drift.maskFraction = 0.5;
}

Sequence* SequenceCreate(void) {
  return err::Guarded(__func__, static_cast<Sequence*>(nullptr), [] {
    Sequence* s = new (std::nothrow) Sequence;
    if (s == nullptr) err::FailMemory();
    return s;
  });
}

void SequenceFree(Sequence* sequence) { delete sequence; }

int32_t SequenceAddFiles(Sequence* s, const char* pattern) {
  return Unguarded([&]() -> int32_t {
    if (s == nullptr || pattern == nullptr)
      return err::Fail(err::kParameter, "the sequence or the pattern is null"), -1;
    vantor::FileListOwner list(GetAlphaFilesList(pattern));
    if (!list) {
      if (mrLastErrorKind() == VANTOR_ERROR_MEMORY) return err::FailMemory(), -1;
      return err::Fail(err::kFile, "no image file matches %s", pattern), -1;
    }
    const int32_t count = list->count;
    if (count < 1) return err::Fail(err::kFile, "no image file matches %s", pattern), -1;
    const std::string p(pattern);
    const size_t slash = p.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : p.substr(0, slash + 1);
    std::vector<vantor::seq::FrameSource> added;
    // Every page of a multi-page file is a frame, in page order; every time
    // point of a hyperstack.
    for (int32_t k = 1; k <= count; ++k) {
      const std::string name = GetAlphaFileName(list.get(), k);
      const std::string path = folder + name;
      if (vantor::seq::AppendFileFrames(path, name, false, &added) < 0) {
        if (mrLastErrorKind() == VANTOR_ERROR_MEMORY) return err::FailMemory(), -1;
        return -1;  // the file's cause is in the record
      }
    }
    mrClearLastError();
    s->sources.insert(s->sources.end(), added.begin(), added.end());
    return static_cast<int32_t>(added.size());
  });
}

int32_t SequenceAddMemory(Sequence* s, const void* data, int32_t width, int32_t height,
                          int64_t stride, int32_t layout, int32_t topRowFirst) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (s == nullptr) return err::Fail(err::kParameter, "the sequence is null"), -1;
    const int32_t bytes = vantor::seq::LayoutBytes(layout);
    if (bytes == 0) return err::Fail(err::kParameter, "layout %d is unknown", layout), -1;
    if (width < 1 || height < 1 || data == nullptr)
      return err::Fail(err::kParameter, "a frame of %d x %d pixels at %p cannot be measured",
                       width, height, data),
             -1;
    if (stride < static_cast<int64_t>(width) * bytes)
      return err::Fail(err::kParameter, "rows %lld bytes apart are shorter than a row of %lld",
                       static_cast<long long>(stride),
                       static_cast<long long>(static_cast<int64_t>(width) * bytes)),
             -1;
    vantor::seq::FrameSource f;
    f.data = data;
    f.width = width;
    f.height = height;
    f.stride = stride;
    f.layout = layout;
    f.topRowFirst = topRowFirst != 0;
    s->sources.push_back(std::move(f));
    return 0;
  });
}

int32_t SequenceCount(const Sequence* s) {
  return s == nullptr ? 0 : static_cast<int32_t>(s->sources.size());
}

int32_t SequenceRun(Sequence* s, const SequenceOptions* options,
                    SequenceFrameCallback frameCallback, void* user) {
  return Unguarded([&]() -> int32_t {
    if (s == nullptr) return err::Fail(err::kParameter, "the sequence is null"), -1;
    if (!ValidSequenceOptions(options)) return -1;
    if (s->sources.empty()) return err::Fail(err::kParameter, "the sequence has no frame"), -1;
    const int32_t n = static_cast<int32_t>(s->sources.size());
    if (options->firstFrame > n)
      return err::Fail(err::kParameter, "the sequence holds %d frames, fewer than %d", n,
                       static_cast<int>(options->firstFrame)),
             -1;
    if (!PickStackPlanes(s, *options)) return -1;
    const int32_t done =
        vantor::seq::RunSequence(s->sources, *options, frameCallback, user, &s->results);
    if (done < 0 && mrLastErrorKind() == VANTOR_ERROR_MEMORY) s->results.Reset(0);
    return done;
  });
}

void SequenceDefaultFollowOptions(SequenceFollowOptions* f) {
  if (f == nullptr) return;
  *f = SequenceFollowOptions{};
  f->idleSeconds = 60.0;
}

int32_t SequenceFollow(Sequence* s, const char* pattern, const SequenceFollowOptions* follow,
                       const SequenceOptions* options, SequenceFrameCallback frameCallback,
                       void* user) {
  return Unguarded([&]() -> int32_t {
    if (s == nullptr || pattern == nullptr || follow == nullptr)
      return err::Fail(err::kParameter, "the sequence, the pattern or the follow options are null"),
             -1;
    if (!ValidSequenceOptions(options) || !PickStackPlanes(s, *options)) return -1;
    if (options->mode == kSequenceMean)
      return err::Fail(err::kParameter, "reference mean:%d: the mean of the first frames is not "
                       "taken while following; give a template", static_cast<int>(options->meanFrames)),
             -1;
    if (!(follow->idleSeconds >= 0.0))
      return err::Fail(err::kParameter, "the idle time %g is not a number of seconds",
                       follow->idleSeconds),
             -1;
    std::vector<std::string> known;
    for (const vantor::seq::FrameSource& f : s->sources)
      if (f.data == nullptr) known.push_back(f.path);
    const std::string last = known.empty() ? "" : known.back().substr(known.back().rfind('/') + 1);
    vantor::seq::FolderFeed feed(pattern, follow->idleSeconds, follow->stop,
                                 follow->polling != 0, known, last);
    mrClearLastError();
    const int32_t done =
        vantor::seq::RunSequence(s->sources, *options, frameCallback, user, &s->results, &feed);
    if (done < 0 && mrLastErrorKind() == VANTOR_ERROR_MEMORY) s->results.Reset(0);
    if (done < 0 && s->sources.empty())
      return err::Fail(err::kFile, "no image file matching %s came", pattern), -1;
    return done;
  });
}

int32_t SequenceResult(const Sequence* s, int32_t k, SequenceFrame* out) {
  if (s == nullptr || out == nullptr) return -1;
  const vantor::seq::RunResults& r = s->results;
  const bool failedLoad = k >= 1 && k == r.failedFrame;
  if (k < 1 || (k > r.upTo && !failedLoad) || static_cast<size_t>(k) >= r.results.size())
    return -1;
  const vantor::seq::FrameSource& src = s->sources[static_cast<size_t>(k - 1)];
  *out = SequenceFrame{};
  out->frame = k;
  out->reference = r.reference[k];
  out->result = r.results[k];
  if (failedLoad) {
    out->result.quality = kDriftFailed;
    out->result.distance = -1.0;
  }
  out->dxFirst = r.dxFirst[k];
  out->dyFirst = r.dyFirst[k];
  std::copy(r.matrixFirst[k].begin(), r.matrixFirst[k].end(), out->matrixFirst);
  out->width = r.width[k];
  out->height = r.height[k];
  out->name = src.name.c_str();
  out->path = src.path.c_str();
  out->page = src.page;
  out->reason = r.reasons[k].c_str();
  out->outOfOrder = src.outOfOrder ? 1 : 0;
  out->timePoint = src.timePoint;
  return 0;
}

int32_t SequenceDescribe(const Sequence* s, int32_t k, SequenceFrame* out) {
  if (s == nullptr || out == nullptr || k < 1 || k > static_cast<int32_t>(s->sources.size()))
    return -1;
  const vantor::seq::FrameSource& src = s->sources[static_cast<size_t>(k - 1)];
  *out = SequenceFrame{};
  out->frame = k;
  out->name = src.name.c_str();
  out->path = src.path.c_str();
  out->page = src.page;
  out->timePoint = src.timePoint;
  out->reason = "";
  return 0;
}

int32_t SequenceFailedFrame(const Sequence* s) {
  return s == nullptr ? 0 : s->results.failedFrame;
}

int32_t SequenceReadGrey(const char* path, int32_t page) {
  return Unguarded([&]() -> int32_t {
    if (path == nullptr) return err::Fail(err::kParameter, "the path is null"), -1;
    vantor::seq::FrameSource src;
    src.path = path;
    src.page = page;
    vantor::seq::GreyRange range;
    vantor::seq::LoadedFrame frame;
    std::string reason;
    VantorLoadLimits limits{};
    limits.maxBytes = static_cast<uint64_t>(vantor::seq::FrameBudget(0, 1));
    limits.extraPerPixel = 1;
    const int32_t loaded = vantor::seq::LoadFrame(src, false, limits, &range, &frame, &reason);
    if (loaded < 0) return err::FailMemory(), -1;
    if (loaded == 0) return err::Fail(err::kFormat, "%s: %s", path, reason.c_str()), -1;
    return frame.grey.release();
  });
}

}  // extern "C"
