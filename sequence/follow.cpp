// The feed of a followed folder. Changes come from inotify (or a look every
// 50 ms where it is not available); each look lists the pattern's files and
// takes the new ones that are complete: the structure their format announces
// all present, unchanged while it was checked, and either closed by their
// writer (or moved in) since they last changed, or untouched for half a
// second, or there already when following began.
#include "sequence/follow.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <new>
#include <thread>

#include "files/filelist.h"
#include "files/filelist_owner.h"
#include "generic/last_error.h"
#include "memrect/readfile.h"
#include "sequence/file_complete.h"

namespace vantor::seq {

namespace {

constexpr int kLookMs = 50;                  // the longest wait between looks
constexpr int64_t kUntouchedNs = 500000000;  // a file no writer was seen closing

unsigned char Fold(unsigned char c) { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

// Whether a sorts before b as file lists sort names.
bool NameBefore(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned char x = Fold(static_cast<unsigned char>(a[i]));
    const unsigned char y = Fold(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

int64_t Nanoseconds(const struct timespec& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

FolderFeed::FolderFeed(const std::string& pattern, double idleSeconds,
                       const volatile int32_t* stop, bool polling,
                       const std::vector<std::string>& known, const std::string& lastName)
    : pattern_(pattern), idle_(idleSeconds), stop_(stop), lastName_(lastName),
      lastArrival_(Clock::now()) {
  const size_t slash = pattern.rfind('/');
  folder_ = slash == std::string::npos ? "" : pattern.substr(0, slash + 1);
  for (const std::string& path : known) taken_.insert(path.substr(path.rfind('/') + 1));
  if (!polling) {
    // Watched before the first look, so that no file is missed in between.
    notify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify_ >= 0 &&
        ::inotify_add_watch(notify_, folder_.empty() ? "." : folder_.c_str(),
                            IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY) < 0) {
      ::close(notify_);
      notify_ = -1;
    }
  }
}

FolderFeed::~FolderFeed() {
  if (notify_ >= 0) ::close(notify_);
}

bool FolderFeed::Next(std::vector<FrameSource>* more) {
  for (;;) {
    if (StopNow()) return false;
    ReadEvents();
    if (!Scan(more)) return false;
    if (!more->empty()) {
      lastArrival_ = Clock::now();
      return true;
    }
    if (stopFile_) return false;
    const double waited = std::chrono::duration<double>(Clock::now() - lastArrival_).count();
    if (waited >= idle_) return false;
    const int left = static_cast<int>((idle_ - waited) * 1000.0) + 1;
    Wait(std::min(kLookMs, left));
  }
}

void FolderFeed::Wait(int ms) {
  if (notify_ < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return;
  }
  struct pollfd p {};
  p.fd = notify_;
  p.events = POLLIN;
  ::poll(&p, 1, ms);
}

void FolderFeed::ReadEvents() {
  if (notify_ < 0) return;
  alignas(struct inotify_event) char buf[8192];
  for (;;) {
    const ssize_t n = ::read(notify_, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const struct inotify_event*>(buf + at);
      at += static_cast<ssize_t>(sizeof(struct inotify_event) + e->len);
      if (e->len == 0) continue;
      const std::string name(e->name);
      if (taken_.count(name) != 0) continue;
      if (e->mask & IN_MODIFY) waiting_[name].closed = false;
      if (e->mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) waiting_[name].closed = true;
    }
  }
}

bool FolderFeed::Scan(std::vector<FrameSource>* more) {
  struct stat st {};
  stopFile_ = ::stat((folder_ + "STOP").c_str(), &st) == 0;
  mrClearLastError();
  FileListOwner list(GetAlphaFilesList(pattern_.c_str()));
  if (!list) {
    // No file yet, or the folder changed while it was listed: look again later.
    if (mrLastErrorKind() == VANTOR_ERROR_MEMORY) throw std::bad_alloc();
    mrClearLastError();
    return true;
  }
  // The files there at the first listing come first, in name order: while one
  // of them is not yet complete (and may still become so), nothing after it
  // is taken.
  const bool first = firstLook_;
  firstLook_ = false;
  bool holding = false;
  std::set<std::string> present;
  for (int32_t k = 1; k <= list->count; ++k) {
    const std::string name = GetAlphaFileName(list.get(), k);
    if (name == "STOP" || taken_.count(name) != 0) continue;
    present.insert(name);
    Candidate& c = waiting_[name];
    if (first) c.initial = true;
    if (holding) continue;
    bool settled = false;
    if (!Ready(name, c, &settled)) {
      holding = c.initial && !settled;
      continue;
    }
    taken_.insert(name);
    waiting_.erase(name);
    const std::string path = folder_ + name;
    const bool late = !lastName_.empty() && NameBefore(name, lastName_);
    lastName_ = name;
    // A file whose axes cannot be read adds nothing; its loads tell why.
    if (AppendFileFrames(path, name, late, more) < 0 && mrLastErrorKind() == VANTOR_ERROR_MEMORY)
      throw std::bad_alloc();
    mrClearLastError();
  }
  // What was seen of files that are gone (or never matched) is forgotten.
  std::erase_if(waiting_, [&](const auto& w) { return present.count(w.first) == 0; });
  return true;
}

bool FolderFeed::Ready(const std::string& name, Candidate& c, bool* settled) {
  *settled = true;  // what cannot be opened or is no file holds nothing back
  const std::string path = folder_ + name;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat before {}, after {};
  bool ready = false;
  if (::fstat(fd, &before) == 0 && S_ISREG(before.st_mode)) {
    const int64_t size = before.st_size, mtime = Nanoseconds(before.st_mtim);
    const Completeness whole = FileCompleteness(fd, size);
    // Written to while it was being checked: not yet.
    const bool steady = ::fstat(fd, &after) == 0 && after.st_size == size &&
                        Nanoseconds(after.st_mtim) == mtime;
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const bool untouched = Nanoseconds(now) - mtime >= kUntouchedNs;
    *settled = untouched;
    // A file there before following began has no close to be seen: its
    // format must say it is whole (or it must be left alone for a while).
    ready = steady && whole != Completeness::kIncomplete &&
            (c.closed || untouched || (c.initial && whole == Completeness::kComplete));
  }
  ::close(fd);
  return ready;
}

}  // namespace vantor::seq
