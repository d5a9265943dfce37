#include "files/filelist.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "files/fileaccess.h"
#include "generic/last_error.h"
#include "generic/sort.h"

namespace err = vantor::err;

namespace {

// The name pointers of a file list start at this offset, after the count.
constexpr size_t kPointersOffset = alignof(char*) > sizeof(int32_t) ? alignof(char*) : sizeof(int32_t);

inline unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
}

// Matches name against a pattern of literal bytes, '*' and '?', ASCII case
// ignored. Backtracks only to the last '*', so the work is at most
// pattern length x name length.
bool WildMatch(const char* pat, size_t plen, const char* name, size_t nlen) {
  size_t p = 0, n = 0;
  size_t starP = SIZE_MAX, starN = 0;
  while (n < nlen) {
    if (p < plen && pat[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < plen && (pat[p] == '?' || FoldAscii(static_cast<unsigned char>(pat[p])) ==
                                                  FoldAscii(static_cast<unsigned char>(name[n])))) {
      ++p;
      ++n;
    } else if (starP != SIZE_MAX) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < plen && pat[p] == '*') ++p;
  return p == plen;
}

// Owns an open directory stream.
class Dir {
 public:
  explicit Dir(const char* path) : dir_(::opendir(path)) {}
  ~Dir() {
    if (dir_ != nullptr) ::closedir(dir_);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// True when the entry is a regular file or a symbolic link to one.
bool IsListedFile(int dirFd, const struct dirent* e) {
  if (e->d_type == DT_REG) return true;
  if (e->d_type != DT_LNK && e->d_type != DT_UNKNOWN) return false;
  struct stat st {};
  if (::fstatat(dirFd, e->d_name, &st, 0) != 0) return false;  // dangling link or gone
  return S_ISREG(st.st_mode);
}

// Walks the folder of the pattern and calls onFile(name, length, dirFd) for
// every file whose name matches the last component, in the folder's order;
// onFile returns false to stop the walk. Returns -1 when the folder cannot be
// read or no entry at all (folders included) matches, else 0, the cause
// stated. Throws std::bad_alloc only.
template <typename OnFile>
int32_t Enumerate(const char* pattern, OnFile&& onFile) {
  if (pattern == nullptr || *pattern == '\0') return err::Fail(err::kParameter, "no pattern"), -1;
  const char* slash = std::strrchr(pattern, '/');
  std::vector<char> storage;
  const char* folder = ".";
  const char* mask = pattern;
  if (slash != nullptr) {
    mask = slash + 1;
    if (slash == pattern) {
      folder = "/";
    } else {
      storage.assign(pattern, slash);
      storage.push_back('\0');
      folder = storage.data();
    }
  }
  size_t maskLen = std::strlen(mask);
  if (maskLen == 0)
    return err::Fail(err::kParameter, "pattern '%s' names no files, only a folder", pattern), -1;

  Dir dir(folder);
  if (dir.get() == nullptr)
    return err::Fail(err::kFile, "cannot read the folder '%s': %s", folder, std::strerror(errno)),
           -1;
  int dirFd = ::dirfd(dir.get());
  bool matched = false;
  for (;;) {
    errno = 0;
    const struct dirent* e = ::readdir(dir.get());
    if (e == nullptr) {
      if (errno != 0)  // a listing cut short is no listing
        return err::Fail(err::kFile, "cannot read the folder '%s': %s", folder,
                         std::strerror(errno)),
               -1;
      break;
    }
    size_t len = std::strlen(e->d_name);
    if (!WildMatch(mask, maskLen, e->d_name, len)) continue;
    matched = true;
    if (!IsListedFile(dirFd, e)) continue;
    if (!onFile(e->d_name, len, dirFd)) break;
  }
  if (!matched) return err::Fail(err::kFailed, "nothing matches '%s'", pattern), -1;
  return 0;
}

// Formats the entry's modification time in local time (20 characters); all
// zeros when the file cannot be examined any more.
void FormatModificationTime(int dirFd, const char* name, char out[21]) {
  struct stat st {};
  if (::fstatat(dirFd, name, &st, 0) == 0) {
    time_t secs = st.st_mtim.tv_sec;
    struct tm local {};
    if (::localtime_r(&secs, &local) != nullptr) {
      VantorFileTime ft{static_cast<int64_t>(secs) + local.tm_gmtoff,
                        static_cast<int32_t>(st.st_mtim.tv_nsec)};
      if (FileTimeToStrDateTime(&ft, out) == 20) return;
    }
  }
  std::memcpy(out, "0000/00/00  00:00:00", 21);
}

inline int32_t ClampToInt32(int64_t v) { return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v); }

int32_t ListOfFilesImpl(const char* pattern, char* buffer, int32_t size, uint32_t options,
                        int32_t* total) {
  const uint32_t sepValue = options & VANTOR_LIST_SEPARATOR_MASK;
  const unsigned char sep[3] = {static_cast<unsigned char>(sepValue),
                                static_cast<unsigned char>(sepValue >> 8),
                                static_cast<unsigned char>(sepValue >> 16)};
  const size_t sepLen = sepValue < 0x100 ? 1 : (sepValue < 0x10000 ? 2 : 3);
  const bool withDate = (options & VANTOR_LIST_DATE) != 0;
  const bool noExtension = (options & VANTOR_LIST_NO_EXTENSION) != 0;
  const int64_t room = (buffer != nullptr && size > 0) ? size : 0;

  int64_t count = 0;
  int64_t sum = 0;  // bytes the entries need; equals the bytes written until one does not fit
  int64_t end = 0;  // bytes written: the end of the last entry that fit
  bool stopped = room == 0;
  bool first = true;
  int32_t rc = Enumerate(pattern, [&](const char* name, size_t len, int dirFd) {
    if (first && room > 0) buffer[0] = '\0';
    first = false;
    if (noExtension) {
      size_t dot = len;
      while (dot > 0 && name[dot - 1] != '.') --dot;
      if (dot > 0) len = dot - 1;  // the bytes before the last dot
    }
    int64_t at = sum;
    sum += static_cast<int64_t>(len + sepLen);
    ++count;
    if (stopped || sum >= room) {
      stopped = true;
      return true;
    }
    char* out = buffer + at;
    std::memcpy(out, name, len);
    out += len;
    if (withDate && sum + 20 < room) {
      char date[21];
      FormatModificationTime(dirFd, name, date);
      *out++ = ' ';
      std::memcpy(out, date, 20);
      out += 20;
      sum += 21;
    }
    std::memcpy(out, sep, sepLen);
    end = sum;
    return true;
  });
  if (rc < 0) return -1;
  // Close the text with a zero byte when every entry went in and there is
  // room for it; after a cut nothing is written past the last whole entry.
  if (sum == end && end < room) buffer[end] = '\0';
  if (total != nullptr) *total = ClampToInt32(sum);
  return ClampToInt32(count);
}

int32_t FileNameByNumberImpl(const char* pattern, void* buffer, int32_t length, int32_t number) {
  char* out = static_cast<char*>(buffer);
  if (number == 0) {
    int64_t count = 0, sum = 0;
    int32_t rc = Enumerate(pattern, [&](const char*, size_t len, int) {
      ++count;
      sum += static_cast<int64_t>(len) + 1;
      return true;
    });
    if (rc < 0) return -1;
    if (out != nullptr && length >= 4) {
      int32_t t = ClampToInt32(sum);
      std::memcpy(out, &t, sizeof t);
    }
    return ClampToInt32(count);
  }
  int64_t seen = 0;
  int32_t result = 0;
  bool fits = false;
  int32_t rc = Enumerate(pattern, [&](const char* name, size_t len, int) {
    if (++seen < number) return true;
    if (out != nullptr && length > 0 && len < static_cast<size_t>(length)) {
      std::memcpy(out, name, len + 1);
      result = static_cast<int32_t>(len);
      fits = true;
    }
    return false;
  });
  if (rc < 0) return -1;
  if (!fits && out != nullptr && length > 0) out[0] = '\0';
  return result;
}

}  // namespace

extern "C" {

int32_t FileNameByNumber(const char* pattern, void* buffer, int32_t length, int32_t number) {
  return err::GuardedWhen(
      __func__, int32_t(-1), [](int32_t r) { return r < 0; },
      [&] { return FileNameByNumberImpl(pattern, buffer, length, number); });
}

int32_t ListOfFiles(const char* pattern, char* buffer, int32_t size, uint32_t options,
                    int32_t* total) {
  return err::GuardedWhen(
      __func__, int32_t(-1), [](int32_t r) { return r < 0; },
      [&] { return ListOfFilesImpl(pattern, buffer, size, options, total); });
}

VantorFileList* GetAlphaFilesList(const char* pattern) {
  return err::Guarded(__func__, static_cast<VantorFileList*>(nullptr), [&]() -> VantorFileList* {
    int32_t names = 0;
    int32_t count = FileNameByNumber(pattern, &names, sizeof names, 0);
    if (count < 0) return nullptr;
    if (names < 0) return err::Fail(err::kFailed, "the names are too long to list"), nullptr;

    // Count, pointers, names, and 25 to 32 bytes of slack, in 8-byte steps.
    uint64_t head = kPointersOffset + static_cast<uint64_t>(count) * sizeof(char*);
    uint64_t size = (head + static_cast<uint64_t>(names) + 32) & ~uint64_t{7};
    if (size - head > INT32_MAX || size > PTRDIFF_MAX)
      return err::Fail(err::kFailed, "%d names are too many to list", int(count)), nullptr;
    auto* block = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(size)));
    if (block == nullptr) return err::FailMemory(), nullptr;

    char* area = reinterpret_cast<char*>(block + head);
    int32_t areaSize = static_cast<int32_t>(size - head);
    int32_t written = 0;
    int32_t again = ListOfFiles(pattern, area, areaSize, 0, &written);
    // The folder changed between the two walks: the names may not all be there.
    if (again != count || written != names) {
      std::free(block);
      if (again < 0) return nullptr;  // the cause is stated
      return err::Fail(err::kFile, "the folder changed while it was listed"), nullptr;
    }

    auto* list = reinterpret_cast<VantorFileList*>(block);
    list->count = count;
    char** pointers = reinterpret_cast<char**>(block + kPointersOffset);
    char* p = area;
    for (int32_t k = 0; k < count; ++k) {
      pointers[k] = p;
      p += std::strlen(p) + 1;
    }
    if (count > 1 && SortInPlace(pointers, static_cast<int32_t>(sizeof(char*)), count,
                                 VANTOR_SORT_TEXTPTR_NOCASE) != 0) {
      std::free(block);
      return err::FailMemory(), nullptr;  // the sort's only failure here: no scratch memory
    }
    return list;
  });
}

const char* GetAlphaFileName(const VantorFileList* list, int32_t k) {
  if (list == nullptr) return err::Report(__func__, err::kParameter, "no list"), nullptr;
  if (k < 1 || k > list->count)
    return err::Report(__func__, err::kParameter, "name %d of a list of %d", int(k),
                       int(list->count)),
           nullptr;
  const auto* block = reinterpret_cast<const unsigned char*>(list);
  char* const* pointers = reinterpret_cast<char* const*>(block + kPointersOffset);
  return pointers[k - 1];
}

void FreeAlphaFilesList(VantorFileList* list) { std::free(list); }

}  // extern "C"
