// The vantor program: the whole run is VantorMain.
#include <malloc.h>

#include "app/vantorunit.h"

int main(int argc, char** argv) {
  // Frames of many megabytes are made and freed for every pair: keep such
  // blocks in the heap for reuse instead of mapping fresh zeroed pages each time.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  return vantor::app::VantorMain(argc, argv);
}
