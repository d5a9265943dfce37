// Sequence comparison as the program does it: the library's sequence engine
// measures the frames; this file turns its results into the result table,
// the CSV, the plot, the warnings and the aligned frames.
#include "app/compare.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/aligned.h"
#include "app/drift_table.h"
#include "app/outputs.h"
#include "app/paths.h"
#include "app/plot.h"
#include "generic/errors.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "memrect/stack_axes.h"
#include "sequence/sequence.h"

namespace vantor::app {

namespace {

constexpr double kRoundingFactor = 10.0;

// Ends the run for memory (the program's status 4), saying so once.
void RanOutOfMemory(RunContext& ctx) {
  if (!ctx.outOfMemory) std::fprintf(stderr, "vantor: out of memory\n");
  ctx.outOfMemory = true;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) std::vsnprintf(s.data(), s.size() + 1, format, args);
  va_end(args);
  return s;
}

struct SequenceDeleter {
  void operator()(Sequence* s) const { SequenceFree(s); }
};
using SequencePtr = std::unique_ptr<Sequence, SequenceDeleter>;

// The aligned copy of a multi-page file being written: its pages go in turn.
struct StackOutput {
  int32_t firstK = 0, lastK = 0;
  AlignedStack file;
  bool open = false, failed = false;
  VantorStackAxes axes{};  // of a hyperstack
};

// The value of count `key` in an ImageJ description (a "key=N" line) or in
// OME-XML (a key="N" attribute) set to value; the text unchanged when absent.
std::string SetCount(std::string text, const std::string& key, int64_t value) {
  const bool xml = text.rfind("ImageJ=", 0) != 0;
  const std::string lead = xml ? " " + key + "=\"" : "\n" + key + "=";
  for (size_t at = 0; (at = text.find(lead, at)) != std::string::npos;) {
    const size_t from = at + lead.size();
    const size_t to = xml ? text.find('"', from) : std::min(text.find('\n', from), text.size());
    if (to == std::string::npos) break;
    text.replace(from, to - from, std::to_string(value));
    at = from;
  }
  return text;
}

// One run of the program over the engine's results.
class ProgramRun {
 public:
  ProgramRun(RunContext& ctx, bool toPrevious) : ctx_(ctx), toPrevious_(toPrevious) {}

  // Lists, measures and writes; the frames measured, or -1. folder: the
  // images' folder with its trailing '/', where the table goes.
  int Run(const char* pattern, const std::string& folder) {
    following_ = ctx_.options.follow >= 0.0;
    std::string followed = pattern;  // the pattern whose files are measured
    mrClearLastError();
    seq_.reset(SequenceCreate());
    if (!seq_) {
      RanOutOfMemory(ctx_);
      return -1;
    }
    int32_t frames = SequenceAddFiles(seq_.get(), pattern);
    // A folder given without *.tif files: its images of another kind, the
    // first kind it has (not with --classic, which keeps the folder rule as it was).
    if (frames < 0 && ctx_.folderRule && ctx_.options.method != Method::kClassic &&
        mrLastErrorKind() != VANTOR_ERROR_MEMORY) {
      for (const char* kind : {"*.tiff", "*.png", "*.bmp", "*.jpg", "*.jpeg"}) {
        const std::string other = folder + kind;
        frames = SequenceAddFiles(seq_.get(), other.c_str());
        if (frames >= 0 || mrLastErrorKind() == VANTOR_ERROR_MEMORY) {
          if (frames >= 0) followed = other;
          if (frames >= 0)
            std::fprintf(stderr, "vantor: note: %s holds no *.tif file; measuring its %d %s "
                         "files\n", folder.c_str(), frames, kind);
          break;
        }
      }
    }
    // Following, the frames may all be still to come.
    if (frames < 0 && following_ && mrLastErrorKind() != VANTOR_ERROR_MEMORY) frames = 0;
    if (frames < 0) {
      if (mrLastErrorKind() == VANTOR_ERROR_MEMORY)
        RanOutOfMemory(ctx_);
      else if (mrLastErrorKind() == VANTOR_ERROR_FORMAT)  // a file whose axes cannot be taken
        std::fprintf(stderr, "vantor: %s\n", Shown(mrLastError()).c_str());
      else
        std::fprintf(stderr, "vantor: no image file matches %s%s%s\n", pattern,
                     ctx_.folderRule && ctx_.options.method != Method::kClassic
                         ? " (nor *.tiff, *.png, *.bmp or *.jpg files)"
                         : "",
                     LoopNote(pattern).c_str());
      return -1;
    }
    // A multi-page file given on its own has a table of its own beside it.
    SequenceFrame one;
    if (ctx_.options.method != Method::kClassic && SequenceDescribe(seq_.get(), 1, &one) == 0 &&
        one.page >= 1 && std::strpbrk(pattern + folder.size(), "*?") == nullptr) {
      const std::string path = one.path;
      ctx_.stackName = path.substr(path.rfind('/') + 1);
    }
    first_ = std::max(1, ctx_.options.firstFrame);
    last_ = ctx_.options.lastFrame > 0 ? std::min(ctx_.options.lastFrame, frames) : frames;
    if (first_ > frames && !following_) {
      std::fprintf(stderr, "vantor: --frames: %s holds %d frames, fewer than %d\n", pattern,
                   frames, first_);
      ctx_.refused = true;  // a range that cannot mean anything: a bad parameter
      return -1;
    }
    n_ = frames;
    pattern_ = pattern;
    ctx_.framesWritten = {first_, last_};
    aligned_ = !ctx_.options.alignedDir.empty();
    if (!OutputsAreDistinct(folder) || (following_ && !AlignedOutsideFolder(folder))) return -1;
    SequenceOptions o;
    SequenceDefaultOptions(&o);
    const ReferenceChoice& reference = ctx_.options.reference;
    fixed_ = reference.Fixed();
    o.mode = toPrevious_                                    ? kSequencePrevious
             : reference.kind == ReferenceChoice::kMean     ? kSequenceMean
             : reference.kind == ReferenceChoice::kTemplate ? kSequenceTemplate
                                                            : kSequenceFirst;
    o.meanFrames = reference.frames;
    if (reference.kind == ReferenceChoice::kTemplate) o.templatePath = reference.value.c_str();
    o.drift.method = ctx_.options.method == Method::kClassic  ? kDriftClassic
                     : ctx_.options.method == Method::kSearch ? kDriftDefault
                                                              : kDriftPrecise;
    o.drift.startStep = ctx_.params.StartPixStep;
    o.drift.finalStep = ctx_.params.FinPixStep;
    o.drift.minDiff = ctx_.params.MinDiff;
    o.drift.coarseSize = ctx_.params.CoarseSize;
    o.drift.maskFraction = ctx_.params.MaskFraction;
    o.drift.model = ctx_.options.model;
    o.threads = ctx_.options.threads;
    o.firstFrame = first_;
    o.lastFrame = following_ ? std::max(0, ctx_.options.lastFrame) : last_;
    o.keepImages = aligned_ ? 1 : 0;
    o.resultCallback = &ProgramRun::OnResult;
    o.resultUser = this;
    o.maxFrameMemory = ctx_.options.maxFrameMemory;
    o.maxFrameMemoryName = "--max-frame-memory";
    o.channel = ctx_.options.channel;
    o.z = ctx_.options.z;
    precise_ = o.drift.method == kDriftPrecise;
    if (aligned_ && !following_) PlanStacks();
    if (!ctx_.options.applyPath.empty()) return Apply();
    if (!ctx_.options.csvPath.empty()) {
      ctx_.csv = std::make_unique<CsvStream>();
      ctx_.csv->Open(ctx_.options.csvPath, precise_, following_,
                     fixed_ ? "reference=" + Shown(reference.value) : std::string(),
                     ctx_.options.model);
    }
    mrClearLastError();
    const int32_t done = following_ ? Follow(followed, &o) : SequenceRun(seq_.get(), &o, &ProgramRun::OnFrame, this);
    ctx_.form.FinishStatus();
    if (ctx_.refused) return -1;  // the fill does not suit the frames
    if (following_) {
      frames = n_ = SequenceCount(seq_.get());
      last_ = ctx_.options.lastFrame > 0 ? std::min(ctx_.options.lastFrame, frames) : frames;
      ctx_.framesWritten = {first_, last_};
      if (frames == 0 && mrLastErrorKind() != VANTOR_ERROR_MEMORY) {
        std::fprintf(stderr, "vantor: no image file matching %s came within %g seconds\n",
                     followed.c_str(), ctx_.options.follow);
        return -1;
      }
      if (first_ > frames && done >= 0) {
        std::fprintf(stderr, "vantor: --frames: %s brought %d frames, fewer than %d\n",
                     followed.c_str(), frames, first_);
        return -1;
      }
    }
    if ((done < 0 && mrLastErrorKind() == VANTOR_ERROR_MEMORY) || ctx_.outOfMemory) {
      RanOutOfMemory(ctx_);
      return -1;  // a table of what memory allowed would be wrong
    }
    if (done < 0 && mrLastErrorKind() == VANTOR_ERROR_PARAMETER &&
        (std::strncmp(mrLastError(), "channel ", 8) == 0 || std::strncmp(mrLastError(), "z ", 2) == 0)) {
      // A channel or slice beyond a hyperstack's ("channel 3: PATH has 2 channels").
      const std::string why = mrLastError();
      const bool channel = why[0] == 'c';
      const std::string given = channel ? "--channel=" + std::to_string(ctx_.options.channel)
                                        : "--z=" + std::to_string(ctx_.options.z);
      std::fprintf(stderr, "vantor: %s%s\n", given.c_str(), why.substr(why.find(':')).c_str());
      ctx_.refused = true;
      return -1;
    }
    if (done < 0 && fixed_ && std::strncmp(mrLastError(), "reference ", 10) == 0) {
      // The mean or the template could not be had: "reference LABEL: why".
      std::fprintf(stderr, "vantor: --reference=%s\n", Shown(mrLastError() + 10).c_str());
      ctx_.refused = true;
      return -1;
    }
    if (done < 0 && mrLastErrorKind() == VANTOR_ERROR_PARAMETER) {
      // A search step larger than the frames: named as the other parameters are.
      // (The engine says "start step: ..." or "final step: ...".)
      const std::string why = mrLastError();
      const size_t colon = std::min(why.find(':'), why.size());
      std::fprintf(stderr, "vantor: parameter %d (%s)%s (--classic takes it as given)\n",
                   why.rfind("start", 0) == 0 ? 3 : 4, why.substr(0, colon).c_str(),
                   why.c_str() + colon);
      ctx_.refused = true;
      return -1;
    }
    const int32_t failed = SequenceFailedFrame(seq_.get());
    if (failed == 1) {
      ReportLoadFailure(1);
      return -1;
    }
    if (failed != 0) ReportLoadFailure(failed);
    WriteRows(failed != 0 ? failed - 1 : frames, failed == 0);
    if (ctx_.outOfMemory) return -1;
    return failed != 0 ? -1 : last_ - first_ + 1;
  }

 private:
  // Before anything is measured or written: false (with a message) when an
  // output would replace an input or another output.
  bool OutputsAreDistinct(const std::string& folder) {
    const RunOptions& o = ctx_.options;
    const std::string table = folder + TableName(ctx_);
    std::vector<NamedOutput> outputs{{table, "the result table " + table}};
    if (!o.csvPath.empty() && o.csvPath != "-") outputs.push_back({o.csvPath, "--csv=" + o.csvPath});
    if (!o.plotPath.empty()) outputs.push_back({o.plotPath, "--plot=" + o.plotPath});
    std::vector<std::string> inputs;
    std::string previous;  // the pages of a multi-page file make one aligned file
    for (int32_t k = 1; k <= n_; ++k) {
      SequenceFrame f;
      if (SequenceDescribe(seq_.get(), k, &f) < 0) continue;
      if (inputs.empty() || inputs.back() != f.path) inputs.push_back(f.path);
      if (k == 1 && o.reference.kind == ReferenceChoice::kTemplate) inputs.push_back(o.reference.value);
      if (!aligned_ || k < first_ || k > last_) continue;
      const std::string name(f.name, f.page >= 1 ? std::string(f.name).rfind('[')
                                                 : std::strlen(f.name));
      if (f.page >= 1 && name == previous) continue;
      previous = name;
      const std::string path = (std::filesystem::path(o.alignedDir) / name).string();
      outputs.push_back({path, "--aligned=" + o.alignedDir + " (" + path + ")"});
    }
    const std::string clash = FindOutputClash(inputs, outputs);
    if (clash.empty()) return true;
    std::fprintf(stderr, "vantor: %s; nothing was written\n", clash.c_str());
    ctx_.refused = true;
    return false;
  }

  // Why nothing matched when a symbolic-link loop is the cause (not with --classic).
  std::string LoopNote(const char* pattern) const {
    if (ctx_.options.method == Method::kClassic) return "";
    const std::string loop = FindLinkLoop(pattern);
    return loop.empty() ? "" : "; " + loop + " is a symbolic-link loop";
  }

  // Measures the frames there are and those that come (see --follow); the
  // first SIGINT or SIGTERM ends following. The sequence is built anew: the
  // follow takes a file only once it is complete.
  int32_t Follow(const std::string& pattern, const SequenceOptions* o) {
    seq_.reset(SequenceCreate());
    if (!seq_) return -1;  // the shortage is in the error record
    SequenceFollowOptions f;
    SequenceDefaultFollowOptions(&f);
    f.idleSeconds = ctx_.options.follow;
    f.stop = &stop_;
    StopOnSignals(&stop_);
    const int32_t done = SequenceFollow(seq_.get(), pattern.c_str(), &f, o, &ProgramRun::OnFrame, this);
    StopOnSignals(nullptr);
    return done;
  }

  // Following, aligned copies written into the followed folder would come
  // back as frames: refused (with a message).
  bool AlignedOutsideFolder(const std::string& folder) {
    if (!aligned_) return true;
    std::error_code ec;
    if (!std::filesystem::equivalent(ctx_.options.alignedDir, folder.empty() ? "." : folder, ec))
      return true;
    std::fprintf(stderr, "vantor: --aligned=%s is the followed folder, where the aligned frames "
                 "would be taken as new ones; nothing was written\n",
                 ctx_.options.alignedDir.c_str());
    ctx_.refused = true;
    return false;
  }

  // The multi-page inputs among the wanted frames, with their first and last frame.
  void PlanStacks() {
    for (int32_t k = first_; k <= last_; ++k) {
      SequenceFrame f;
      if (SequenceDescribe(seq_.get(), k, &f) == 0 && f.page >= 1) {
        auto& so = stacks_[f.path];
        if (!so) {
          so = std::make_unique<StackOutput>();
          so->firstK = k;
        }
        so->lastK = k;
      }
    }
  }

  // The callbacks stop the run when memory runs out (status 4).
  static int32_t OnFrame(void* user, const SequenceFrame* f) {
    ProgramRun& run = *static_cast<ProgramRun*>(user);
    try {
      return run.Frame(*f);
    } catch (const std::bad_alloc&) {
      RanOutOfMemory(run.ctx_);
      return 1;
    }
  }

  // A frame's final result: its CSV line.
  static int32_t OnResult(void* user, const SequenceFrame* f) {
    ProgramRun& run = *static_cast<ProgramRun*>(user);
    try {
      if (run.ctx_.csv) run.ctx_.csv->Row(*f);
      return 0;
    } catch (const std::bad_alloc&) {
      RanOutOfMemory(run.ctx_);
      return 1;
    }
  }

  int32_t Frame(const SequenceFrame& f) {
    ctx_.form.ShowFile(f.path, f.frame, following_ ? f.frame : n_);
    ctx_.form.ProcessMessages();
    if (f.outOfOrder != 0 && f.page <= 1)
      std::fprintf(stderr, "vantor: warning: %s arrived after %s, whose name sorts after it; the "
                   "sequence keeps the order of arrival (it is frame %d)\n", Shown(f.path).c_str(),
                   Shown(previousPath_).c_str(), static_cast<int>(f.frame));
    previousPath_ = f.path;
    if (following_ && aligned_ && f.page >= 1 && stacks_.count(f.path) == 0) {
      // A followed multi-page file comes whole: its pages are the next frames.
      auto& so = stacks_[f.path];
      so = std::make_unique<StackOutput>();
      so->firstK = f.frame;
      // Its frames: the pages, or a hyperstack's time points.
      int32_t frames = std::max(1, mrPageCount(f.path));
      VantorStackAxes axes{};
      if (f.timePoint >= 1 && mrStackAxes(f.path, &axes) == 0)
        frames = axes.times == 1 && axes.slices > 1 ? axes.slices : axes.times;
      so->lastK = std::min(f.frame + std::max(1, frames) - 1,
                           ctx_.options.lastFrame > 0 ? ctx_.options.lastFrame : INT32_MAX);
    }
    if (!aligned_ || f.image == 0) return 0;
    const int32_t depth = mrGetRectInfo(f.image, nullptr, nullptr);
    const std::string fillProblem =
        ctx_.options.fill && depth != 1 ? FillProblem(depth, *ctx_.options.fill) : "";
    if (!fillProblem.empty()) {
      std::fprintf(stderr, "vantor: %s: the fill is %s (%s)\n", ctx_.options.fillText.c_str(),
                   fillProblem.c_str(), Shown(f.path).c_str());
      ctx_.refused = true;
      return 1;
    }
    if (!folderMade_) {
      folderMade_ = true;
      std::string error;
      if (!CreateOutputFolder(ctx_.options.alignedDir, &error)) {
        std::fprintf(stderr, "vantor: %s\n", error.c_str());
        ctx_.outputFailed = true;
        aligned_ = false;
        return 0;
      }
    }
    const bool write = f.frame == 1 || f.result.quality != kDriftFailed;
    AlignedLook look;
    look.interpolation = ctx_.options.interpolation;
    look.fill = ctx_.options.fill;
    look.float32 = depth == 64 && StoredAsFloat32(f.path, f.page);
    // The matrix too as the CSV gives it.
    if ((ctx_.options.model != kDriftTranslation || applyMatrix_) && write)
      for (int i = 0; i < 4; ++i) look.a[i] = AsInCsv(f.matrixFirst[i]);
    // Moved by the displacement as the CSV gives it, so that --apply with that
    // CSV writes the same files.
    const double dx = AsInCsv(f.dxFirst), dy = AsInCsv(f.dyFirst);
    std::string error;
    bool ok = true;
    mrClearLastError();
    try {
      if (f.timePoint >= 1) {
        ok = WriteTimePoint(f, write, look, &error);
      } else if (f.page >= 1) {
        // Every page takes its turn in the copy, written or not.
        ok = WriteStackPage(f, write, dx, dy, look, &error);
      } else if (write) {
        ok = WriteAlignedFrame(ctx_.options.alignedDir, f.name, f.image, dx, dy, f.path, &error,
                               look);
      }
    } catch (const std::bad_alloc&) {
      RanOutOfMemory(ctx_);
      return 1;
    }
    if (!ok && mrLastErrorKind() == VANTOR_ERROR_MEMORY) {
      RanOutOfMemory(ctx_);  // status 4, not a frame left unwritten
      return 1;
    }
    if (!write && f.timePoint >= 1) {
      std::fprintf(stderr, "vantor: warning: %s: written unmoved into the aligned hyperstack, it "
                   "could not be measured\n", Shown(f.name).c_str());
    } else if (!write) {
      const std::string where =
          f.page >= 1 ? std::string(f.path) + " page " + std::to_string(f.page) : f.path;
      std::fprintf(stderr, "vantor: warning: %s: no aligned copy, it could not be measured\n",
                   Shown(where).c_str());
    }
    if (!ok) {
      std::fprintf(stderr, "vantor: %s\n", error.c_str());
      ctx_.outputFailed = true;
    }
    return 0;
  }

  // Appends a page of a multi-page file to that file's aligned copy (skipped
  // when write is false) and finishes the copy after its last page.
  bool WriteStackPage(const SequenceFrame& f, bool write, double dx, double dy,
                      const AlignedLook& look, std::string* error) {
    StackOutput& so = *stacks_.at(f.path);
    bool ok = true;
    if (write && !so.failed) {
      if (!so.open) {
        int32_t w = 0, h = 0;
        const int32_t depth = mrGetRectInfo(f.image, &w, &h);
        const int64_t bytes = (int64_t{depth} * w + 7) / 8 * h * (so.lastK - so.firstK + 1);
        const std::string file(f.name, std::string(f.name).rfind('['));
        ok = so.open = so.file.Open(ctx_.options.alignedDir, file, f.path, bytes, error);
      }
      if (ok) ok = so.file.Append(f.image, dx, dy, error, look);
      so.failed = !ok;
    }
    if (ok && f.frame == so.lastK && so.open && !so.failed) {
      ok = so.file.Finish(error);
      so.failed = !ok;
    }
    return ok;
  }

  // --apply: every frame loaded in turn and moved by the saved table's
  // dx_first, dy_first and, from a motion model's run, a11_first ..
  // a22_first (matched by frame number) through the frame callback,
  // as a measured run would move it; nothing is measured. The frames written.
  int Apply() {
    std::vector<DriftRow> rows;
    std::string error;
    if (!ReadDriftTable(ctx_.options.applyPath, &rows, &error)) {
      std::fprintf(stderr, "vantor: %s\n", error.c_str());
      ctx_.refused = true;
      return -1;
    }
    if (static_cast<int32_t>(rows.size()) != n_) {
      std::fprintf(stderr, "vantor: --apply=%s holds %zu frames, but %s matches %d; nothing was written\n",
                   ctx_.options.applyPath.c_str(), rows.size(), pattern_.c_str(), n_);
      ctx_.refused = true;
      return -1;
    }
    for (int32_t k = 1; k <= n_; ++k)
      if (rows[k - 1].frame != k) {
        std::fprintf(stderr, "vantor: %s line %d: frame %d, where frame %d was expected (the "
                     "frames are numbered 1 to %d)\n", ctx_.options.applyPath.c_str(),
                     rows[k - 1].line, rows[k - 1].frame, k, n_);
        ctx_.refused = true;
        return -1;
      }
    VantorLoadLimits limits = {};
    limits.maxBytes = SequenceFrameBudget(ctx_.options.maxFrameMemory, 1);
    limits.budgetName = "--max-frame-memory";
    for (int32_t k = 1; k <= n_; ++k) {
      SequenceFrame f;
      if (SequenceDescribe(seq_.get(), k, &f) < 0) return -1;
      mrClearLastError();
      RectOwner image(mrReadFileLimited(f.path, f.page, &limits));
      if (!image) {
        image.release();
        if (mrLastErrorKind() == VANTOR_ERROR_MEMORY) {
          RanOutOfMemory(ctx_);
          return -1;
        }
        std::fprintf(stderr, "vantor: %s: %s\n", Shown(f.path).c_str(), mrLastLoadError());
        return -1;
      }
      f.frame = k;
      f.image = image.get();
      f.dxFirst = rows[k - 1].dxFirst;
      f.dyFirst = rows[k - 1].dyFirst;
      applyMatrix_ = rows[k - 1].hasMatrix;
      std::copy(rows[k - 1].matrixFirst, rows[k - 1].matrixFirst + 4, f.matrixFirst);
      f.result.quality = rows[k - 1].failed && k > 1 ? kDriftFailed : kDriftOk;
      if (Frame(f) != 0) return -1;
    }
    ctx_.form.FinishStatus();
    return n_;
  }

  // Appends every channel and slice of a hyperstack's time point to the
  // aligned hyperstack, moved by the time point's displacement (unmoved when
  // it could not be measured: the axes stay whole), and finishes the file
  // after the last. The copy has the input's description, with the time
  // points counted again when --frames wrote only some, its resolution and
  // its sample type; its pages go time point by time point.
  bool WriteTimePoint(const SequenceFrame& f, bool measured, const AlignedLook& look,
                      std::string* error) {
    StackOutput& so = *stacks_.at(f.path);
    const std::string file(f.name, std::string(f.name).rfind('['));
    if (so.failed) return true;
    if (!so.open && !OpenHyperstack(f, file, &so, error)) {
      so.failed = true;
      return false;
    }
    const VantorStackAxes& a = so.axes;
    const int32_t t = f.timePoint - 1;
    std::vector<int32_t> pages;
    for (int32_t c = 0; c < a.channels; ++c)
      for (int32_t z = 0; z < a.slices; ++z) pages.push_back(1 + c * a.strideC + z * a.strideZ + t * a.strideT);
    std::sort(pages.begin(), pages.end());
    const double dx = measured ? AsInCsv(f.dxFirst) : 0.0, dy = measured ? AsInCsv(f.dyFirst) : 0.0;
    // The plane measured is in memory already (not a projection over z).
    const int32_t z = ctx_.options.z;
    const int32_t inMemory = a.slices == 1 || z >= 1
                                 ? 1 + (std::max(1, ctx_.options.channel) - 1) * a.strideC +
                                       (std::max(1, z) - 1) * a.strideZ + t * a.strideT
                                 : 0;
    for (int32_t page : pages) {
      if (page == inMemory) {
        if (!so.file.Append(f.image, dx, dy, error, look)) {
          so.failed = true;
          return false;
        }
        continue;
      }
      RectOwner plane(mrReadFilePage(f.path, page));
      if (plane.get() < 1) {
        plane.release();
        *error = std::string(f.path) + ": page " + std::to_string(page) + ": " + mrLastLoadError();
        so.failed = true;
        return false;
      }
      if (!so.file.Append(plane.get(), dx, dy, error, look)) {
        so.failed = true;
        return false;
      }
    }
    if (f.frame == so.lastK) {
      so.failed = !so.file.Finish(error);
      return !so.failed;
    }
    return true;
  }

  bool OpenHyperstack(const SequenceFrame& f, const std::string& file, StackOutput* so,
                      std::string* error) {
    VantorStackAxes& a = so->axes;
    AlignedStack::PageTags tags;
    if (mrStackAxes(f.path, &a) < 0 || !AlignedStack::ReadPageTags(f.path, &tags)) {
      *error = std::string(f.path) + ": cannot read the hyperstack's axes again";
      return false;
    }
    // Slices only are time points, as the sequence took them.
    const bool folded = a.times == 1 && a.slices > 1;
    if (folded) {
      a.times = a.slices;
      a.strideT = a.strideZ;
      a.slices = 1;
    }
    const int32_t times = so->lastK - so->firstK + 1;
    if (times != a.times) {
      const int64_t planes = int64_t{a.channels} * a.slices * times;
      tags.description = SetCount(tags.description, "images", planes);
      tags.description = SetCount(tags.description, folded ? "slices" : "frames", times);
      tags.description = SetCount(tags.description, folded ? "SizeZ" : "SizeT", times);
      tags.description = SetCount(tags.description, "PlaneCount", planes);
    }
    // Pages go time point by time point: OME-XML says so when its order was another.
    const size_t order = tags.description.find("DimensionOrder=\"XY");
    if (order != std::string::npos && order + 21 <= tags.description.size()) {
      std::string czt = tags.description.substr(order + 18, 3);
      czt.erase(std::remove(czt.begin(), czt.end(), 'T'), czt.end());
      if (czt.size() == 2) tags.description.replace(order + 18, 3, czt + "T");
    }
    int32_t w = 0, h = 0;
    const int32_t depth = mrGetRectInfo(f.image, &w, &h);
    const int64_t pageBytes = (int64_t{tags.float32 ? 32 : depth} * w + 7) / 8 * h;
    const int64_t bytes = pageBytes * a.channels * a.slices * times;
    if (!so->file.Open(ctx_.options.alignedDir, file, f.path, bytes, error)) return false;
    so->file.SetPageTags(std::move(tags));
    so->open = true;
    return true;
  }

  void ReportLoadFailure(int32_t k) {
    SequenceFrame f;
    if (SequenceResult(seq_.get(), k, &f) < 0) return;
    const std::string reason = f.reason;
    // A page of a file of several is named, when the reason does not.
    const std::string where = f.page >= 1 && reason.rfind("page ", 0) != 0
                                  ? "page " + std::to_string(f.page) + ": "
                                  : "";
    std::fprintf(stderr, "vantor: %s: %s%s\n", Shown(f.path).c_str(), where.c_str(),
                 reason.c_str());
  }

  // Appends the header and the rows to the result buffer, and
  // warns about every frame that is not "ok". complete: every frame was
  // loaded (otherwise no plot is drawn, as no table or CSV is saved).
  void WriteRows(int32_t upTo, bool complete) {
    SequenceFrame firstFrame;
    if (SequenceResult(seq_.get(), 1, &firstFrame) < 0) return;
    const std::string firstName = firstFrame.name;
    const bool withFirst = first_ == 1;
    if (toPrevious_)
      ctx_.result += withFirst ? Format("\r\n%s:\t 0, 0, 0 , 0; (0)\r\n", RowName(firstName).c_str())
                               : "\r\n";
    else
      ctx_.result += "FileName\tDX\tDY\tValue\r\n" +
                     (withFirst && !fixed_ ? Format("%s\t 0\t 0\t 0\r\n", RowName(firstName).c_str())
                                           : "");
    // Against a mean or a template the first frame's row is a measurement like the others.
    std::vector<PlotPoint> points;
    if (withFirst && !fixed_) points.push_back({1, 0.0, 0.0, PlotPoint::kOk});
    ctx_.summary = RunSummary{};
    ctx_.summary.frames = std::max(0, std::min(upTo, last_) - first_ + 1);
    for (int32_t k = std::max(fixed_ ? 1 : 2, first_); k <= std::min(upTo, last_); ++k) {
      SequenceFrame f;
      if (SequenceResult(seq_.get(), k, &f) < 0) continue;
      const DriftResult& r = f.result;
      const std::string name = f.name;
      const double dx = RoundResult(r.dx, kRoundingFactor);
      const double dy = RoundResult(r.dy, kRoundingFactor);
      const double value = RoundResult(r.distance, kRoundingFactor);
      if (toPrevious_) {
        ctx_.result += Format("%s:\t %.4g, %.4g;  %.6g, %.6g,  (%.4g)\r\n", RowName(name).c_str(), dx, dy,
                              RoundResult(f.dxFirst, kRoundingFactor),
                              RoundResult(f.dyFirst, kRoundingFactor), value);
      } else {
        ctx_.result += Format("%s\t%.6g\t%.6g\t%.6g\r\n", RowName(name).c_str(), dx, dy, value);
      }
      RunSummary& sum = ctx_.summary;
      if (r.quality == kDriftFailed) {
        ++sum.failed;
      } else {
        sum.rescued += r.quality == kDriftRescued;
        sum.suspect += r.quality == kDriftSuspect;
        const double d = std::hypot(f.dxFirst, f.dyFirst);
        if (d > sum.largest) {
          sum.largest = d;
          sum.largestFrame = k;
        }
      }
      double angle = 0, scale = 1;
      DriftMatrixTurn(f.matrixFirst, &angle, &scale);
      points.push_back({k, f.dxFirst, f.dyFirst,
                        r.quality == kDriftRescued   ? PlotPoint::kRescued
                        : r.quality == kDriftSuspect ? PlotPoint::kSuspect
                        : r.quality == kDriftFailed  ? PlotPoint::kFailed
                                                     : PlotPoint::kOk,
                        angle, scale});
      Warn(f);
    }
    if (!ctx_.options.plotPath.empty() && complete) {
      std::string error;
      // The stack's whole path when the frames are its pages, else the folder.
      const std::string first = firstFrame.path;
      const size_t slash = first.rfind('/');
      const std::string folder =
          firstFrame.page >= 1 ? first : first.substr(0, slash == std::string::npos ? 0 : slash + 1);
      const std::string title = Format("Drift of %s (%s)", folder.c_str(),
                                       toPrevious_ ? "each frame against the previous one, summed"
                                       : fixed_    ? ("each frame against " + ReferenceName()).c_str()
                                                   : "each frame against the first");
      if (!WriteDriftPlot(ctx_.options.plotPath, points, title, &error,
                          ctx_.options.model != kDriftTranslation)) {
        std::fprintf(stderr, "vantor: %s\n", error.c_str());
        ctx_.outputFailed = true;
      }
    }
  }

  // A file name as a table row gives it: a tab or a line end in it would
  // break the tab-separated lines, so they become blanks (the CSV keeps the
  // exact name; --classic writes it as it is).
  std::string RowName(std::string name) const {
    if (ctx_.options.method == Method::kClassic) return name;
    for (char& c : name)
      if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return name;
  }

  // A file name in a message: a line end or tab in it would break the one
  // line a message is, so they become blanks.
  static std::string Shown(std::string name) {
    for (char& c : name)
      if (c == '\t' || c == '\r' || c == '\n') c = ' ';
    return name;
  }

  // One warning line for a frame whose quality is not "ok".
  void Warn(const SequenceFrame& f) {
    const DriftResult& r = f.result;
    SequenceFrame ref;
    if (!fixed_ && SequenceResult(seq_.get(), f.reference, &ref) < 0) return;
    const std::string shownPath = Shown(f.path), shownRef = Shown(fixed_ ? ReferenceName() : ref.name);
    const char* path = shownPath.c_str();
    const char* refName = shownRef.c_str();
    if (r.quality == kDriftFailed) {
      std::fprintf(stderr, "vantor: warning: %s: cannot be measured against %s (%s); its DX and "
                   "DY are not a measurement\n", path, refName, f.reason);
    } else if (r.quality == kDriftSuspect) {
      std::fprintf(stderr, "vantor: warning: %s: the displacement (%.2f, %.2f) against %s looks "
                   "unreliable (%s)\n", path, r.dx, r.dy, refName, SuspectReason(r, ctx_.options.model).c_str());
    }
    if (r.rescued) {
      std::fprintf(stderr, "vantor: warning: %s: rescued: the local search against %s ended at "
                   "(%.2f, %.2f), the global check found (%.2f, %.2f)\n", path, refName,
                   r.searchDx, r.searchDy, r.dx, r.dy);
    }
  }

  // A mean or template reference as messages name it.
  std::string ReferenceName() const {
    const ReferenceChoice& r = ctx_.options.reference;
    if (r.kind == ReferenceChoice::kMean)
      return r.frames == 1 ? "the first frame alone (mean:1)"
                           : "the mean of frames 1 to " + std::to_string(r.frames);
    return "the template " + r.value;
  }

  static std::string SuspectReason(const DriftResult& r, int32_t model) {
    if (r.focus > 2.0) return Format("it is out of focus: blurred by about %.1f pixels", r.focus);
    if (r.focus < -2.0)
      return Format("the reference is out of focus: blurred by about %.1f pixels", -r.focus);
    if (r.scale > 0.0 && (r.scale < 0.78 || r.scale > 1.28 || std::fabs(r.angle) > 31.0))
      return Format("a turn of %.1f degrees and scale %.3f, beyond the 30 degrees and 0.8 to 1.25 "
                    "looked for", r.angle, r.scale);
    if (r.turn > 1.0 && model == kDriftRigid)
      return Format("scale change: about %.1f pixels at the compared area's corners that the "
                    "rigid model cannot follow; measure with --model=similarity", r.turn);
    if (r.turn > 1.0)
      return Format("rotation or scale change: about %.1f pixels at the compared area's corners "
                    "that the displacement cannot follow; measure with --model=rigid or "
                    "--model=similarity", r.turn);
    if (r.precision >= 1e8) return "the refinement did not converge";
    if (r.precision > 0.1) return Format("estimated error %.2f pixel", r.precision);
    if (r.inliers >= 0.0 && r.inliers < 0.5)
      return Format("only %.0f %% of the compared pixels fit", 100.0 * r.inliers);
    if (r.distinctness >= 0.0 && r.distinctness < 0.05)
      return "no displacement matches clearly better than the others";
    return Format("distance %.2f, far above the sequence's typical distance", r.distance);
  }

  RunContext& ctx_;
  const bool toPrevious_;
  SequencePtr seq_;
  int32_t n_ = 0, first_ = 1, last_ = 0;
  std::string pattern_;  // the pattern the frames matched
  bool aligned_ = false, folderMade_ = false;
  bool precise_ = false;
  bool fixed_ = false;  // a mean or template reference (frame 1 measured too)
  bool following_ = false;
  bool applyMatrix_ = false;  // --apply from a motion model's CSV: frames turn too
  volatile int32_t stop_ = 0;  // set by SIGINT or SIGTERM while following
  std::string previousPath_;   // the frame before, for the out-of-order warning
  std::map<std::string, std::unique_ptr<StackOutput>> stacks_;  // by the input's path
};

int Compare(RunContext& ctx, char* pathBuffer, size_t filePart, bool toPrevious) {
  ProgramRun run(ctx, toPrevious);
  return run.Run(pathBuffer, std::string(pathBuffer, filePart));
}

}  // namespace

double RoundResult(double value, double factor) {
  const double r = std::floor(std::fabs(value) * factor + 0.5) / factor;
  return value < 0.0 ? -r : r;
}

int CompareToPrevious(RunContext& ctx, char* pathBuffer, size_t filePart) {
  return Compare(ctx, pathBuffer, filePart, true);
}

int CompareToFirst(RunContext& ctx, char* pathBuffer, size_t filePart) {
  return Compare(ctx, pathBuffer, filePart, false);
}

}  // namespace vantor::app
