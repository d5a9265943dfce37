// Outputs that never destroy anything: a clash check by file identity before
// the run, and files that appear whole through an exclusive temporary file
// and a rename. The temporary files being written are listed in a fixed table
// that a signal handler can walk (it only calls unlink).
#include "app/outputs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <system_error>

namespace vantor::app {
namespace {

namespace fs = std::filesystem;

// What a path is: "i<device>:<inode>" for an existing file (links followed),
// else "p" and the absolute path with its existing folders resolved.
std::string FileKey(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    char id[64];
    std::snprintf(id, sizeof id, "i%llu:%llu", static_cast<unsigned long long>(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    return id;
  }
  std::error_code ec;
  fs::path p = fs::weakly_canonical(fs::absolute(path, ec), ec);
  if (ec) p = fs::absolute(path, ec).lexically_normal();
  std::string key(1, 'p');
  key.append(p.string());
  return key;
}

// The unfinished files, for the signal handler: an entry is free (0), being
// filled (1) or names a file to remove (2).
struct Unfinished {
  std::atomic<int> state{0};
  char path[4096];
};
constexpr int kUnfinished = 64;  // frames are written one at a time; a few more writers at most
Unfinished g_unfinished[kUnfinished];
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the states");

int Arm(const std::string& path) {
  if (path.size() >= sizeof g_unfinished[0].path) return -1;
  for (int i = 0; i < kUnfinished; ++i) {
    int expected = 0;
    if (g_unfinished[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(g_unfinished[i].path, path.c_str(), path.size() + 1);
      g_unfinished[i].state.store(2);
      return i;
    }
  }
  return -1;  // all taken: this file is only removed on failure, not on a signal
}

void Disarm(int entry) {
  if (entry >= 0) g_unfinished[entry].state.store(0);
}

void RemoveUnfinishedAndEnd(int signal) {
  for (Unfinished& u : g_unfinished)
    if (u.state.load() == 2) ::unlink(u.path);
  // Installed with SA_RESETHAND and SA_NODEFER: this ends the program as the
  // signal would have.
  ::raise(signal);
}

bool Fail(std::string* error, int cause) {
  errno = cause != 0 ? cause : EIO;
  if (error != nullptr) *error = std::strerror(errno);
  return false;
}

}  // namespace

std::string FindOutputClash(const std::vector<std::string>& inputs,
                            const std::vector<NamedOutput>& outputs) {
  std::map<std::string, std::string> seen;  // file → how a message names it
  for (const std::string& in : inputs) seen.emplace(FileKey(in), "the input " + in);
  for (const NamedOutput& out : outputs) {
    const auto [it, fresh] = seen.emplace(FileKey(out.path), out.label);
    if (!fresh) return out.label + " is the same file as " + it->second;
  }
  return "";
}

OutputFile::~OutputFile() { Discard(); }

bool OutputFile::Open(const std::string& path, std::string* error) {
  Discard();
  path_ = path;
  direct_ = false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Fail(error, EISDIR);
    if (!S_ISREG(st.st_mode)) {
      // A device or a pipe cannot be renamed over; it takes the bytes as they come.
      fd_ = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
      if (fd_ < 0) return Fail(error, errno);
      direct_ = true;
      return true;
    }
  }
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return Fail(error, EISDIR);
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0;; ++attempt) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".part%d-%u", int(::getpid()), counter.fetch_add(1));
    // Kept within the 255 bytes a file name may have.
    temp_ = folder + "." + name.substr(0, 200) + suffix;
    entry_ = Arm(temp_);  // before the file exists, so that a signal never misses it
    fd_ = ::open(temp_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd_ >= 0) return true;
    const int cause = errno;
    Disarm(entry_);
    entry_ = -1;
    temp_.clear();
    if (cause != EEXIST || attempt >= 100) return Fail(error, cause);
  }
}

bool OutputFile::Write(const void* data, size_t size, std::string* error) {
  if (fd_ < 0) return Fail(error, EBADF);
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd_, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(error, n < 0 ? errno : ENOSPC);
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool OutputFile::Commit(std::string* error) {
  if (fd_ < 0) return Fail(error, EBADF);
  int cause = 0;
  if (!direct_ && ::fsync(fd_) != 0) cause = errno;
  // Linux closes the descriptor even when close is interrupted.
  if (::close(fd_) != 0 && errno != EINTR && cause == 0) cause = errno;
  fd_ = -1;
  if (cause == 0 && !direct_ && ::rename(temp_.c_str(), path_.c_str()) != 0) cause = errno;
  if (cause != 0) {
    Discard();
    return Fail(error, cause);
  }
  Disarm(entry_);
  entry_ = -1;
  temp_.clear();
  return true;
}

bool OutputFile::Publish(std::string* error) {
  if (fd_ < 0) return Fail(error, EBADF);
  if (direct_) return true;
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    const int cause = errno;
    Discard();
    return Fail(error, cause);
  }
  // The file is the output now: neither a failure nor a signal removes it.
  Disarm(entry_);
  entry_ = -1;
  temp_.clear();
  direct_ = true;
  return true;
}

void OutputFile::Discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  Disarm(entry_);
  entry_ = -1;
}

bool WriteWholeFile(const std::string& path, const void* data, size_t size, std::string* error) {
  OutputFile file;
  return file.Open(path, error) && file.Write(data, size, error) && file.Commit(error);
}

namespace {

// The flag a followed run ends on (see StopOnSignals).
volatile int32_t* g_stopFlag = nullptr;

void StopOrEnd(int signal) {
  if (g_stopFlag != nullptr && *g_stopFlag == 0) {
    *g_stopFlag = 1;
    return;
  }
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  ::sigaction(signal, &sa, nullptr);
  RemoveUnfinishedAndEnd(signal);
}

}  // namespace

void RemoveUnfinishedOutputsOnSignals() {
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
    struct sigaction sa {};
    sa.sa_handler = RemoveUnfinishedAndEnd;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESETHAND | SA_NODEFER;
    ::sigaction(signal, &sa, nullptr);
  }
}

void StopOnSignals(volatile int32_t* flag) {
  g_stopFlag = flag;
  for (int signal : {SIGINT, SIGTERM}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    if (old.sa_handler != SIG_DFL && old.sa_handler != RemoveUnfinishedAndEnd &&
        old.sa_handler != StopOrEnd)
      continue;  // handled by someone else
    struct sigaction sa {};
    sa.sa_handler = flag != nullptr ? StopOrEnd : RemoveUnfinishedAndEnd;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flag != nullptr ? 0 : SA_RESETHAND | SA_NODEFER;
    ::sigaction(signal, &sa, nullptr);
  }
}

}  // namespace vantor::app
