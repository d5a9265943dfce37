// Work of the Python module that runs without the interpreter: measuring a
// sequence of frames on several threads and moving frames onto the first.
// Every thread count gives the same results: each pair and each frame is
// computed alone, and results land in their own slots.
#ifndef VANTOR_PYTHON_SEQUENCE_H
#define VANTOR_PYTHON_SEQUENCE_H

#include <string>
#include <vector>

#include "python/src/frames.h"
#include "registration/drift.h"

namespace vantor::pymod {

// Why a run failed: the kind of the library's failure (VANTOR_ERROR_*, taken
// on the thread where it happened) and its text.
struct Failure {
  int32_t kind = 0;
  std::string text;
};

// The number of processors this process may run on.
int ProcessorCount();

// Measures frames 1.. against frame 0 (previous false) or each against the
// frame before it (previous true). results gets one entry per frame, the
// first zeros and "ok"; classified afterwards unless the method is classic.
// The frames must share size and kind. False with *error set when memory ran
// out (a pair measured without it would be another result) or a frame cannot
// be prepared.
bool MeasureSequence(const std::vector<FrameView>& frames, bool previous,
                     const DriftOptions& options, int threads, std::vector<DriftResult>* results,
                     Failure* error);

// Where one aligned frame goes: rows dstPitch bytes apart, the frame's kind.
struct AlignTarget {
  uint8_t* data = nullptr;
  int64_t pitch = 0;
};

// Writes each frame moved by (-dx[k], -dy[k]) into its target: output pixel
// (x, y) is the frame sampled bilinearly at (x - dx, y - dy), 0 where the
// frame has no pixel. False with *error set when memory ran out.
bool AlignFrames(const std::vector<FrameView>& frames, const std::vector<double>& dx,
                 const std::vector<double>& dy, const std::vector<AlignTarget>& targets,
                 int threads, Failure* error);

}  // namespace vantor::pymod

#endif
