// Fuzz inputs as files: the readers take paths, so each input is put into an
// anonymous in-memory file and handed over as /proc/self/fd/N.
#ifndef VANTOR_BMPTIFF_FUZZ_INPUT_FILE_H
#define VANTOR_BMPTIFF_FUZZ_INPUT_FILE_H

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace vantor {

class FuzzInputFile {
 public:
  FuzzInputFile(const uint8_t* data, size_t size) {
    fd_ = memfd_create("vantor_fuzz", MFD_CLOEXEC);
    if (fd_ < 0) return;
    size_t done = 0;
    while (done < size) {
      ssize_t n = write(fd_, data + done, size - done);
      if (n <= 0) break;
      done += size_t(n);
    }
    std::snprintf(path_, sizeof path_, "/proc/self/fd/%d", fd_);
  }
  FuzzInputFile(const FuzzInputFile&) = delete;
  FuzzInputFile& operator=(const FuzzInputFile&) = delete;
  ~FuzzInputFile() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  const char* path() const { return path_; }

 private:
  int fd_ = -1;
  char path_[64] = {};
};

}  // namespace vantor

#endif
