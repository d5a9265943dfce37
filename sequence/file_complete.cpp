// Completeness of image files being written: a walk through a TIFF file's
// directories checking that each one and each strip or tile it points to lies
// inside the file, and the end markers of the other formats.
#include "sequence/file_complete.h"

#include <unistd.h>

#include <cstring>
#include <set>
#include <vector>

namespace vantor::seq {

namespace {

// Reads exactly n bytes at offset; false past the end or on an error.
bool ReadAt(int fd, int64_t offset, void* out, size_t n) {
  auto* p = static_cast<unsigned char*>(out);
  while (n > 0) {
    const ssize_t got = ::pread(fd, p, n, offset);
    if (got <= 0) return false;
    p += got;
    n -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

class TiffWalk {
 public:
  TiffWalk(int fd, int64_t size) : fd_(fd), size_(size) {}

  Completeness Run() {
    unsigned char head[16];
    if (size_ < 8 || !ReadAt(fd_, 0, head, 8)) return Completeness::kIncomplete;
    little_ = head[0] == 'I';
    const uint64_t version = Get(head + 2, 2);
    big_ = version == 43;
    uint64_t ifd = 0;
    if (big_) {
      if (size_ < 16 || !ReadAt(fd_, 8, head + 8, 8)) return Completeness::kIncomplete;
      ifd = Get(head + 8, 8);
    } else {
      ifd = Get(head + 4, 4);
    }
    // A directory past the end, or one that is not all there, is still to come.
    // One already visited ends the walk: a chain that loops is damage the
    // reader reports, not a file still being written.
    std::set<uint64_t> seen;
    while (ifd != 0 && seen.insert(ifd).second)
      if (!Directory(ifd, &ifd)) return Completeness::kIncomplete;
    return Completeness::kComplete;
  }

 private:
  uint64_t Get(const unsigned char* p, int n) const {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= uint64_t{p[little_ ? i : n - 1 - i]} << (8 * i);
    return v;
  }

  bool Inside(uint64_t offset, uint64_t bytes) const {
    return offset <= static_cast<uint64_t>(size_) && bytes <= static_cast<uint64_t>(size_) - offset;
  }

  // The values of an entry (SHORT, LONG or LONG8), from the entry or where it points.
  bool Values(const unsigned char* entry, std::vector<uint64_t>* out) const {
    const uint64_t type = Get(entry + 2, 2);
    const int width = type == 3 ? 2 : type == 4 ? 4 : type == 16 ? 8 : 0;
    if (width == 0) return false;
    const uint64_t count = Get(entry + 4, big_ ? 8 : 4);
    const int field = big_ ? 8 : 4;
    const unsigned char* at = entry + (big_ ? 12 : 8);
    if (count > (1u << 24)) return false;
    const uint64_t bytes = count * static_cast<uint64_t>(width);
    const bool inEntry = bytes <= static_cast<uint64_t>(field);
    const uint64_t offset = inEntry ? 0 : Get(at, field);
    // Checked against the file before anything is allocated for it.
    if (!inEntry && !Inside(offset, bytes)) return false;
    std::vector<unsigned char> data(bytes);
    if (inEntry)
      std::memcpy(data.data(), at, bytes);
    else if (!ReadAt(fd_, static_cast<int64_t>(offset), data.data(), bytes))
      return false;
    out->resize(count);
    for (uint64_t i = 0; i < count; ++i) (*out)[i] = Get(data.data() + i * width, width);
    return true;
  }

  bool Directory(uint64_t at, uint64_t* next) const {
    const int countBytes = big_ ? 8 : 2, entryBytes = big_ ? 20 : 12, nextBytes = big_ ? 8 : 4;
    unsigned char buf[8];
    if (!Inside(at, countBytes) || !ReadAt(fd_, static_cast<int64_t>(at), buf, countBytes))
      return false;
    const uint64_t entries = Get(buf, countBytes);
    const uint64_t bytes = entries * entryBytes + nextBytes;
    if (entries > 65535 || !Inside(at + countBytes, bytes)) return false;
    std::vector<unsigned char> dir(bytes);
    if (!ReadAt(fd_, static_cast<int64_t>(at + countBytes), dir.data(), bytes)) return false;
    std::vector<uint64_t> offsets, counts;
    for (uint64_t e = 0; e < entries; ++e) {
      const unsigned char* entry = dir.data() + e * entryBytes;
      const uint64_t tag = Get(entry, 2);
      // Strip or tile offsets (273, 324) and byte counts (279, 325).
      if (tag == 273 || tag == 324) {
        if (!Values(entry, &offsets)) return false;
      } else if (tag == 279 || tag == 325) {
        if (!Values(entry, &counts)) return false;
      }
    }
    if (offsets.size() != counts.size()) return false;
    for (size_t i = 0; i < offsets.size(); ++i)
      if (!Inside(offsets[i], counts[i])) return false;
    *next = Get(dir.data() + entries * entryBytes, nextBytes);
    return true;
  }

  const int fd_;
  const int64_t size_;
  bool little_ = true, big_ = false;
};

}  // namespace

Completeness FileCompleteness(int fd, int64_t size) {
  unsigned char head[8] = {};
  if (size < 8 || !ReadAt(fd, 0, head, 8)) return Completeness::kIncomplete;
  const bool tiff = (head[0] == 'I' && head[1] == 'I' && head[2] == 42 && head[3] == 0) ||
                    (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 42) ||
                    (head[0] == 'I' && head[1] == 'I' && head[2] == 43 && head[3] == 0) ||
                    (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && head[3] == 43);
  if (tiff) return TiffWalk(fd, size).Run();
  if (std::memcmp(head, "\x89PNG\r\n\x1a\n", 8) == 0) {
    unsigned char end[8];
    if (size < 20 || !ReadAt(fd, size - 8, end, 8)) return Completeness::kIncomplete;
    return std::memcmp(end, "IEND", 4) == 0 ? Completeness::kComplete : Completeness::kIncomplete;
  }
  if (head[0] == 'B' && head[1] == 'M') {
    const uint32_t declared = head[2] | head[3] << 8 | head[4] << 16 | uint32_t{head[5]} << 24;
    if (declared == 0) return Completeness::kUnknown;
    return declared <= size ? Completeness::kComplete : Completeness::kIncomplete;
  }
  if (head[0] == 0xFF && head[1] == 0xD8) {
    unsigned char end[2];
    if (!ReadAt(fd, size - 2, end, 2)) return Completeness::kIncomplete;
    return end[0] == 0xFF && end[1] == 0xD9 ? Completeness::kComplete : Completeness::kIncomplete;
  }
  return Completeness::kUnknown;
}

}  // namespace vantor::seq
