// The fixed references a sequence may be measured against besides its first
// frame: a template image (a file or caller memory) and the mean of the first
// N frames moved onto the first. The engine measures every frame against it.
#ifndef VANTOR_SEQUENCE_REFERENCE_H
#define VANTOR_SEQUENCE_REFERENCE_H

#include <deque>
#include <string>

#include "sequence/frame_source.h"
#include "sequence/sequence.h"

namespace vantor::seq {

struct RunResults;

struct FixedReference {
  std::string label;   // how messages name it: "mean:N", the template's path, "array"
  FrameSource source;  // a template still to be loaded, when images is empty
  LoadedFrame images;  // the reference made already (the mean)
  GreyRange range;     // the floating-point mapping the mean was made with
};

// What options' mode asks for, made ready for the engine: a template is only
// described (the engine loads it as it loads frames); the mean is measured
// and averaged here, on options.threads threads. False with the cause in the
// error record; a frame of 1..N that could not be loaded is left in *out as
// the run's failed frame, as a run would leave it.
bool MakeReference(std::deque<FrameSource>& sources, const SequenceOptions& options,
                   RunResults* out, FixedReference* ref);

}  // namespace vantor::seq

#endif
