// Loads and converts every named file to grey, as the batch run does, and
// nothing else: the input floor of a run.
//
//   load_frames FILE...
#include <cstdio>

#include "app/compare.h"
#include "memrect/memrect.h"

int main(int argc, char** argv) {
  int failed = 0;
  for (int i = 1; i < argc; ++i) {
    std::string reason;
    int32_t h = vantor::app::LoadGrayImage(argv[i], &reason);
    if (h < 1) {
      std::fprintf(stderr, "load_frames: %s: %s\n", argv[i], reason.c_str());
      ++failed;
      continue;
    }
    mrFree(h);
  }
  return failed == 0 ? 0 : 1;
}
