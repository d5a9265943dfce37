// Work of the Python module that runs without the interpreter: the caller's
// frames measured and moved onto the first by the library's sequence engine.
#ifndef VANTOR_PYTHON_SEQUENCE_H
#define VANTOR_PYTHON_SEQUENCE_H

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "python/src/frames.h"
#include "registration/drift.h"
#include "sequence/sequence.h"

namespace vantor::pymod {

// Why a run failed: the kind of the library's failure (VANTOR_ERROR_*) and its text.
struct Failure {
  int32_t kind = 0;
  std::string text;
};

// The number of processors this process may run on.
int ProcessorCount();

// A fixed reference other than the first frame: the mean of the first
// meanFrames frames, or a template file (path) or array (view).
struct FixedReference {
  int32_t mode = kSequenceFirst;  // kSequenceFirst: none; kSequenceMean or kSequenceTemplate
  int32_t meanFrames = 0;
  std::string path;    // a template file, when not empty
  FrameView view = {};  // else the template array (row 0 the top)
};

// Measures frames 1.. against frame 0 (previous false; or against `fixed`,
// frame 0 included) or each against the frame before it (previous true): one
// result per frame in the engine's convention (y counts up the picture). The
// frames must share size and kind. False with *error set when the run failed.
bool MeasureSequence(const std::vector<FrameView>& frames, bool previous,
                     const DriftOptions& options, int threads, std::vector<SequenceFrame>* results,
                     Failure* error, const FixedReference& fixed = {});

// Where one aligned frame goes: rows `pitch` bytes apart, the frame's kind.
struct AlignTarget {
  uint8_t* data = nullptr;
  int64_t pitch = 0;
};

// Writes each frame moved by (-dx[k], -dy[k]) into its target (y counting rows
// down the array) through SequenceAlignMemoryMotion: output pixel (x, y) is the
// frame resampled at (x - dx, y - dy) (interpolation kResample*), fill where
// that lies outside the frame; with matrices (four per frame, rows counted
// down; empty: none) the frame's whole motion about its centre is undone.
// False with *error set when the fill does not suit the frames, a matrix is
// singular or memory ran out.
bool AlignFrames(const std::vector<FrameView>& frames, const std::vector<double>& dx,
                 const std::vector<double>& dy, const std::vector<double>& matrices,
                 const std::vector<AlignTarget>& targets,
                 int interpolation, double fill, int threads, Failure* error);

// One frame's final result while a folder is followed.
struct FollowedFrame {
  int32_t frame = 0;
  std::string name;
  DriftResult result = {};
  double dxFirst = 0, dyFirst = 0;
  bool outOfOrder = false;
};

// A folder followed on a thread of its own (SequenceFollow): its frames'
// final results queue up as they come, for the interpreter to take.
class FollowRun {
 public:
  FollowRun(const std::string& pattern, bool previous, const DriftOptions& options, int threads,
            double idleSeconds);
  ~FollowRun();  // stops following and waits for the thread
  FollowRun(const FollowRun&) = delete;
  FollowRun& operator=(const FollowRun&) = delete;

  // Waits at most ms for the next result: 1 with *out set, 0 none yet, -1
  // the run is over (*error set when it failed).
  int Next(int ms, FollowedFrame* out, Failure* error);
  // Ends following: the frames not yet started are left out.
  void Stop() { stop_ = 1; }

 private:
  static int32_t OnResult(void* user, const SequenceFrame* f);

  volatile int32_t stop_ = 0;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<FollowedFrame> ready_;
  bool over_ = false;
  Failure failure_;
  std::thread thread_;
};

}  // namespace vantor::pymod

#endif
