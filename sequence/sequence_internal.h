// The sequence behind the C handle: its frames' sources and the last run's results.
#ifndef VANTOR_SEQUENCE_SEQUENCE_INTERNAL_H
#define VANTOR_SEQUENCE_SEQUENCE_INTERNAL_H

#include <deque>

#include "sequence/engine.h"
#include "sequence/frame_source.h"

struct Sequence {
  std::deque<vantor::seq::FrameSource> sources;
  vantor::seq::RunResults results;
};

#endif
