// Loads and converts every named file to grey, as the batch run does, and
// nothing else: the input floor of a run.
//
//   load_frames FILE...
#include <cstdio>

#include "generic/errors.h"
#include "memrect/memrect.h"
#include "sequence/sequence.h"

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    const int32_t h = SequenceReadGrey(argv[i], 0);
    if (h < 1) {
      std::fprintf(stderr, "load_frames: %s\n", mrLastError());
      ++failed;
      continue;
    }
    mrFree(h);
  }
  return failed == 0 ? 0 : 1;
}
