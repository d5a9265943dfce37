// The pages of a TIFF file: the chain of image file directories (IFDs), each
// pointing to the next. Walking it costs two small reads per page, so the
// offsets found are kept per thread for the last few files: reading the pages
// of a stack in order walks its chain once, and page k costs what page 1
// costs. An entry is valid while the file's path, identity, size and
// modification time are unchanged.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"
#include "bmptiff/reader_internal.h"
#include "bmptiff/tiff_tags.h"

namespace vantor {
namespace {

constexpr size_t kMaxPages = size_t(1) << 20;
constexpr size_t kCachedFiles = 4;

struct Chain {
  std::string path;
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t size = 0;
  int64_t mtimeNs = 0;
  uint64_t lastUse = 0;
  bool bigTiff = false;
  bool bigEndian = false;
  std::vector<uint64_t> offsets;  // the IFDs found so far
  uint64_t next = 0;              // the IFD after the last one found
  bool ended = false;             // no further IFD
  std::unordered_set<uint64_t> seen;
  std::string failure;            // why the first IFD is unusable
  int32_t failureKind = 0;
};

thread_local std::array<Chain, kCachedFiles> t_chains;
thread_local uint64_t t_clock = 0;

uint64_t Get(const uint8_t* p, int bytes, bool big) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= uint64_t(p[big ? bytes - 1 - i : i]) << (8 * i);
  return v;
}

// Reads the header of a new chain; false with the reason set.
bool StartChain(Chain& c, int fd) {
  uint8_t h[16] = {};
  if (c.size < 8 || !PreadAll(fd, h, c.size < 16 ? 8 : 16, 0)) {
    SetFileError("file too short for a TIFF header");
    return false;
  }
  if (!((h[0] == 'I' && h[1] == 'I') || (h[0] == 'M' && h[1] == 'M'))) {
    SetFileError("unknown file format");
    return false;
  }
  c.bigEndian = h[0] == 'M';
  const uint64_t magic = Get(h + 2, 2, c.bigEndian);
  if (magic == tiff::kClassicMagic) {
    c.next = Get(h + 4, 4, c.bigEndian);
  } else if (magic == tiff::kBigTiffMagic && c.size >= 16 && Get(h + 4, 2, c.bigEndian) == 8) {
    c.bigTiff = true;
    c.next = Get(h + 8, 8, c.bigEndian);
  } else {
    SetFileError("not a TIFF file (magic number %u)", unsigned(magic));
    return false;
  }
  return true;
}

// Follows the chain until it holds want IFDs or ends. A damaged IFD ends the
// chain; the reason is set when it was the first.
void Extend(Chain& c, size_t want) {
  if (c.ended || c.offsets.size() >= want) return;
  Fd fd(::open(c.path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    SetFileErrorOf(err::kFile, "cannot open the file: %s", std::strerror(errno));
    return;
  }
  const int countBytes = c.bigTiff ? 8 : 2, entryBytes = c.bigTiff ? 20 : 12,
            linkBytes = c.bigTiff ? 8 : 4;
  while (!c.ended && c.offsets.size() < want) {
    const uint64_t at = c.next;
    const bool first = c.offsets.empty();
    if (at == 0 && !first) {
      c.ended = true;
      break;
    }
    c.ended = true;  // until this IFD proves sound
    uint8_t buf[8];
    if (at < uint64_t(c.bigTiff ? 16 : 8) || at > c.size || c.size - at < uint64_t(countBytes)) {
      if (first)
        SetFileError("TIFF IFD offset %llu lies outside the file", static_cast<unsigned long long>(at));
      break;
    }
    if (!PreadAll(fd.get(), buf, uint64_t(countBytes), at)) {
      if (first) SetFileErrorOf(err::kFile, "cannot read the TIFF IFD");
      break;
    }
    const uint64_t entries = Get(buf, countBytes, c.bigEndian);
    if (entries == 0 || entries > (c.size - at - uint64_t(countBytes)) / uint64_t(entryBytes)) {
      if (first) {
        if (entries == 0)
          SetFileError("TIFF IFD has no entries");
        else
          SetFileError("TIFF IFD with %llu entries runs past the end of the file",
                       static_cast<unsigned long long>(entries));
      }
      break;
    }
    c.offsets.push_back(at);
    c.seen.insert(at);
    const uint64_t link = at + uint64_t(countBytes) + entries * uint64_t(entryBytes);
    uint64_t next = 0;
    if (link + uint64_t(linkBytes) <= c.size && PreadAll(fd.get(), buf, uint64_t(linkBytes), link))
      next = Get(buf, linkBytes, c.bigEndian);
    // A chain that loops back, or grows without end, stops here.
    if (next == 0 || c.seen.count(next) || c.offsets.size() >= kMaxPages) break;
    c.next = next;
    c.ended = false;
  }
  if (c.ended && c.offsets.empty()) {
    c.failure = FileError();
    c.failureKind = FileErrorKind();
  }
}

// Extend, forgetting the chain when an allocation fails on the way: a chain
// cut short there would pass for a file with fewer pages.
void ExtendOrForget(Chain& c, size_t want) {
  try {
    Extend(c, want);
  } catch (...) {
    c = Chain{};
    throw;
  }
}

// Sets the reason for a chain without a usable IFD.
void NoPages(const Chain& c) {
  if (!c.ended) return;
  if (c.failure.empty())
    SetFileError("TIFF file without pages");
  else
    SetFileErrorOf(c.failureKind != 0 ? c.failureKind : err::kFormat, "%s", c.failure.c_str());
}

// The chain of path, from the cache or started anew; null with the reason
// set when the file cannot be read or is no TIFF.
Chain* ChainOf(const char* path) {
  struct stat st;
  if (!path || ::stat(path, &st) != 0) {
    SetFileErrorOf(err::kFile, "file not found");
    return nullptr;
  }
  if (!S_ISREG(st.st_mode)) {
    SetFileErrorOf(err::kFile, "not a regular file");
    return nullptr;
  }
  const int64_t mtime = int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  Chain* oldest = &t_chains[0];
  for (Chain& c : t_chains) {
    if (!c.path.empty() && c.path == path && c.dev == st.st_dev && c.ino == st.st_ino &&
        c.size == uint64_t(st.st_size) && c.mtimeNs == mtime) {
      c.lastUse = ++t_clock;
      return &c;
    }
    if (c.lastUse < oldest->lastUse) oldest = &c;
  }
  Chain& c = *oldest;
  c = Chain{};
  c.path = path;
  c.dev = st.st_dev;
  c.ino = st.st_ino;
  c.size = uint64_t(st.st_size);
  c.mtimeNs = mtime;
  c.lastUse = ++t_clock;
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    SetFileErrorOf(err::kFile, "cannot open the file: %s", std::strerror(errno));
    c = Chain{};
    return nullptr;
  }
  if (!StartChain(c, fd.get())) {
    c = Chain{};
    return nullptr;
  }
  return &c;
}

}  // namespace

bool FindTiffPage(const char* path, int32_t page, TiffPage* out) {
  Chain* c = ChainOf(path);
  if (!c) return false;
  if (page < 1) {
    SetFileErrorOf(err::kParameter, "no page %d", int(page));
    return false;
  }
  // One page beyond: the caller learns whether more follow.
  ExtendOrForget(*c, size_t(page) + 1);
  if (c->offsets.size() < size_t(page)) {
    if (c->offsets.empty()) {
      NoPages(*c);
    } else {
      SetFileErrorOf(err::kParameter, "no page %d: the file has %zu", int(page), c->offsets.size());
    }
    return false;
  }
  out->ifdOffset = c->offsets[size_t(page) - 1];
  out->bigTiff = c->bigTiff;
  out->more = c->offsets.size() > size_t(page);
  return true;
}

void ForgetTiffPages() {
  for (Chain& c : t_chains) c = Chain{};
}

int32_t CountTiffPages(const char* path) {
  Chain* c = ChainOf(path);
  if (!c) return -1;
  ExtendOrForget(*c, kMaxPages);
  if (c->offsets.empty()) {
    NoPages(*c);
    return -1;
  }
  return int32_t(c->offsets.size());
}

}  // namespace vantor
