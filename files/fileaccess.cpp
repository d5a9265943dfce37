#include "files/fileaccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "generic/last_error.h"

namespace err = vantor::err;

namespace {

// Owns a POSIX file descriptor; closes it on every way out.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  bool ok() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Opens a regular file (never a folder, pipe or device) with the given
// flags. The open itself does not wait (a pipe without a writer would hold it
// forever); blocking reads and writes are restored afterwards.
Fd OpenFile(const char* path, int flags, mode_t mode = 0) {
  if (path == nullptr || *path == '\0') return Fd(-1);
  int fd = ::open(path, flags | O_CLOEXEC | O_NONBLOCK, mode);
  if (fd < 0) return Fd(-1);
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
    // errno tells why: a folder, or another entry that is no regular file.
    const int why = errno;
    const bool regular = S_ISREG(st.st_mode);
    ::close(fd);
    errno = regular ? why : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return Fd(-1);
  }
  return Fd(fd);
}

// The file's size as the offset of its end, or -1 (also for 2 GiB and more).
int64_t EndOffset(int fd) {
  off_t end = ::lseek(fd, 0, SEEK_END);
  if (end < 0 || end > INT32_MAX) return -1;
  return end;
}

// States why path cannot be opened (errno from the attempt).
bool CannotOpen(const char* operation, const char* path) {
  if (path == nullptr || *path == '\0') return err::Report(operation, err::kParameter, "no path");
  return err::Report(operation, err::kFile, "cannot open '%s': %s", path, std::strerror(errno));
}

int32_t WriteCommon(const char* operation, const char* path, const void* data, int32_t length,
                    bool append) {
  if (length < 0 || (length > 0 && data == nullptr))
    return err::Report(operation, err::kParameter, "%d bytes from %p", int(length), data), -1;
  int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
  Fd fd = OpenFile(path, flags, 0666);
  if (!fd.ok()) return CannotOpen(operation, path), -1;
  const char* p = static_cast<const char*>(data);
  size_t left = static_cast<size_t>(length);
  while (left > 0) {
    ssize_t n = ::write(fd.get(), p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      return err::Report(operation, err::kFile, "cannot write '%s': %s", path,
                         n < 0 ? std::strerror(errno) : "nothing written"),
             -1;
    p += n;
    left -= static_cast<size_t>(n);
  }
  int64_t end = EndOffset(fd.get());
  if (end < 0) return err::Report(operation, err::kFile, "'%s' is 2 GiB or larger", path), -1;
  return static_cast<int32_t>(end);
}

// GetFileAccess without a report: 0 is an answer for IsExisting.
int32_t Access(const char* path, int32_t* size) {
  // Opened for reading only: opening for writing, even without writing,
  // tells file watchers and synchronisers that the file was written. Write
  // access is asked of the system instead.
  Fd fd = OpenFile(path, O_RDONLY);
  if (!fd.ok()) return 0;
  const int32_t result = ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) == 0 ? 3 : 1;
  if (size != nullptr) {
    int64_t end = EndOffset(fd.get());
    *size = end < 0 ? INT32_MAX : static_cast<int32_t>(end);
  }
  return result;
}

}  // namespace

extern "C" {

int32_t GetFileAccess(const char* path, int32_t* size) {
  const int32_t a = Access(path, size);
  if (a == 0) CannotOpen(__func__, path);
  return a;
}

int32_t IsExisting(const char* path) {
  int32_t a = Access(path, nullptr);
  return (a == 1 || a == 3) ? 1 : 0;
}

int32_t ReadFromFile(const char* path, void* buffer, int32_t length, int32_t offset, int32_t* size) {
  Fd fd = OpenFile(path, O_RDONLY);
  if (!fd.ok()) return CannotOpen(__func__, path), -1;
  int64_t end = EndOffset(fd.get());
  if (end < 0) return err::Report(__func__, err::kFile, "'%s' is 2 GiB or larger", path), -1;
  if (length == 0) {
    if (size != nullptr) *size = static_cast<int32_t>(end);
    return 0;
  }
  if (length < 0 || buffer == nullptr)
    return err::Report(__func__, err::kParameter, "%d bytes into %p", int(length), buffer), -1;
  if (offset > end) return 0;
  if (offset < 0) return err::Report(__func__, err::kParameter, "offset %d", int(offset)), -1;
  if (::lseek(fd.get(), offset, SEEK_SET) < 0)
    return err::Report(__func__, err::kFile, "cannot read '%s': %s", path, std::strerror(errno)),
           -1;
  int64_t want = end - offset < length ? end - offset : length;
  char* p = static_cast<char*>(buffer);
  int64_t got = 0;
  while (got < want) {
    ssize_t n = ::read(fd.get(), p + got, static_cast<size_t>(want - got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      return err::Report(__func__, err::kFile, "cannot read '%s': %s", path, std::strerror(errno)),
             -1;
    if (n == 0) break;  // the file shrank under us
    got += n;
  }
  if (size != nullptr) *size = static_cast<int32_t>(end);
  return static_cast<int32_t>(got);
}

int32_t WriteToFile(const char* path, const void* data, int32_t length) {
  return WriteCommon(__func__, path, data, length, false);
}

int32_t AppendFile(const char* path, const void* data, int32_t length) {
  return WriteCommon(__func__, path, data, length, true);
}

int32_t FileTimeToStrDateTime(const VantorFileTime* time, char* out) {
  if (time == nullptr || out == nullptr)
    return err::Report(__func__, err::kParameter, "null time or text"), 0;
  time_t secs = static_cast<time_t>(time->seconds);
  struct tm tm {};
  int year = gmtime_r(&secs, &tm) == nullptr ? -1 : tm.tm_year + 1900;
  if (year < 0 || year > 9999)
    return err::Report(__func__, err::kParameter, "time %lld lies outside years 0 to 9999",
                       static_cast<long long>(time->seconds)),
           0;
  int n = std::snprintf(out, 21, "%.4d/%.2d/%.2d  %.2d:%.2d:%.2d", year, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_hour, tm.tm_min, tm.tm_sec);
  return n == 20 ? 20 : 0;
}

}  // extern "C"
