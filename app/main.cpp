// The vantor program: the whole run is VantorMain.
#include <fcntl.h>
#include <malloc.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/outputs.h"
#include "app/vantorunit.h"

int main(int argc, char** argv) {
  // Frames of many megabytes are made and freed for every pair: keep such
  // blocks in the heap for reuse instead of mapping fresh zeroed pages each time.
  mallopt(M_MMAP_THRESHOLD, 256 << 20);
  mallopt(M_TRIM_THRESHOLD, 512 << 20);
  // A closed standard stream keeps its number taken (by a file that cannot be
  // written), so that no output file gets it and writes to it still fail.
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) < 0 && errno == EBADF) open("/dev/null", O_RDONLY);
  vantor::app::RemoveUnfinishedOutputsOnSignals();
  int status = vantor::app::VantorMain(argc, argv);
  // What went to standard output must have arrived there (a write that
  // failed earlier was reported where it failed).
  bool lost = std::ferror(stdout) != 0;
  if (std::fclose(stdout) != 0) {
    std::fprintf(stderr, "vantor: cannot write to standard output: %s\n", std::strerror(errno));
    lost = true;
  }
  return lost && status == vantor::app::kExitOk ? vantor::app::kExitNotSaved : status;
}
