// The sequence engine's core: loads every frame once, measures the pairs of
// one mode on several threads with a bounded number of frames in memory, and
// hands the frames back in order as their displacements become known.
#ifndef VANTOR_SEQUENCE_ENGINE_H
#define VANTOR_SEQUENCE_ENGINE_H

#include <array>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "registration/drift.h"
#include "sequence/frame_source.h"
#include "sequence/sequence.h"

namespace vantor::seq {

// What a run leaves: one entry per frame (index 1..n; 0 unused).
struct RunResults {
  std::vector<DriftResult> results;
  std::vector<double> dxFirst, dyFirst;
  std::vector<std::array<double, 4>> matrixFirst;  // the model's matrix from the first frame
  std::vector<int32_t> width, height, reference;
  std::vector<std::string> reasons;
  int32_t failedFrame = 0;  // the frame whose loading stopped the run
  int32_t upTo = 0;         // frames 1..upTo have results
  void Reset(size_t n);
  void Grow(size_t n);  // entries up to n, the new ones empty
};

// Frames that arrive while a run goes on (a folder being followed). Called
// from one engine thread at a time, with no lock of the engine held.
class FrameFeed {
 public:
  virtual ~FrameFeed() = default;
  // Waits for frames after the ones known and appends them to *more; false
  // when no frame will come any more (*more may still hold the last ones).
  virtual bool Next(std::vector<FrameSource>* more) = 0;
  // Whether the run is to end at once: the frames whose pair has not been
  // started are left out. Checked between pairs.
  virtual bool StopNow() const = 0;
};

// Runs the sequence. Returns the number of frames with results, or -1 with
// the cause in the calling thread's error record (kind MEMORY when memory ran
// out, FILE or FORMAT when a frame could not be loaded, FAILED when the
// callback stopped the run). With a feed, the frames it gives are appended
// to sources as they come (sources may start empty), and frames left out by
// StopNow are removed from it when the run ends.
int32_t RunSequence(std::deque<FrameSource>& sources, const SequenceOptions& options,
                    SequenceFrameCallback callback, void* user, RunResults* out,
                    FrameFeed* feed = nullptr);

// The number of processors this process may run on.
int32_t ProcessorCount();

// The frame budget (SequenceFrameBudget): maxFrameMemory when above 0, else a
// quarter of the physical memory divided by threads, at most the store's limit.
int64_t FrameBudget(int64_t maxFrameMemory, int32_t threads);

}  // namespace vantor::seq

#endif
