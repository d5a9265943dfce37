// The one reader of uncompressed rows: image bytes are located in the TIFF
// strips or the BMP pixel area, and file ranges that follow each other are
// read with one preadv call straight into the destination rows. ReadNextRows
// (consecutive rows into a caller's buffer) and ReadRowsInto (a whole image
// into rows of any pitch and direction) both run through it.
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"
#include "bmptiff/tiff_tags.h"

namespace vantor {
namespace {

// Scatter reads into rows of rowBytes that lie step bytes apart from first.
class ScatterReader {
 public:
  ScatterReader(int fd, uint8_t* first, std::ptrdiff_t step, uint32_t rowBytes)
      : fd_(fd), first_(first), step_(step), rowBytes_(rowBytes) {}

  // Queues size file bytes at offset for the image bytes from pos on.
  bool Add(uint64_t offset, uint64_t pos, uint64_t size) {
    if (!iov_.empty() && offset != offset_ + pending_ && !Flush()) return false;
    if (iov_.empty()) offset_ = offset;
    while (size > 0) {
      uint64_t row = pos / rowBytes_;
      uint64_t inRow = pos % rowBytes_;
      uint64_t n = std::min<uint64_t>(rowBytes_ - inRow, size);
      iovec piece{first_ + std::ptrdiff_t(row) * step_ + std::ptrdiff_t(inRow), size_t(n)};
      // Pieces that continue each other in memory merge (rows read into
      // rows of the same pitch, in the same direction).
      if (!iov_.empty() && static_cast<uint8_t*>(iov_.back().iov_base) + iov_.back().iov_len ==
                               piece.iov_base) {
        iov_.back().iov_len += piece.iov_len;
      } else {
        iov_.push_back(piece);
      }
      pending_ += n;
      pos += n;
      size -= n;
      if (iov_.size() == kMaxIov && !Flush()) return false;
    }
    return true;
  }

  // Reads everything queued; false on a read error or the end of the file.
  bool Flush() {
    size_t start = 0;
    while (start < iov_.size()) {
      ssize_t got = ::preadv(fd_, iov_.data() + start, int(iov_.size() - start), off_t(offset_));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return false;
      offset_ += uint64_t(got);
      pending_ -= uint64_t(got);
      size_t g = size_t(got);
      while (start < iov_.size() && g >= iov_[start].iov_len) {
        g -= iov_[start].iov_len;
        ++start;
      }
      if (g > 0) {
        iov_[start].iov_base = static_cast<uint8_t*>(iov_[start].iov_base) + g;
        iov_[start].iov_len -= g;
      }
    }
    iov_.clear();
    pending_ = 0;
    return true;
  }

 private:
  static constexpr size_t kMaxIov = 1024;
  int fd_;
  uint8_t* first_;
  std::ptrdiff_t step_;
  uint64_t rowBytes_;
  uint64_t offset_ = 0;   // file offset of the first queued byte
  uint64_t pending_ = 0;  // bytes queued
  std::vector<iovec> iov_;
};

// A read position in the strips.
struct StripPos {
  uint32_t strip = 0;
  uint32_t offset = 0;  // bytes into the strip
};

enum class Walk { kMore, kExhausted, kTruncated };

// Queues up to want bytes of the strips from at on for the image bytes from
// pos on, advancing at past them. kExhausted when the last strip was used up,
// kTruncated (at = the strip that runs past the end of the file) when a strip
// lies beyond the file.
Walk QueueStrips(const Record& r, StripPos& at, uint64_t want, uint64_t pos,
                 ScatterReader& reader, uint64_t* queued) {
  *queued = 0;
  const size_t strips = r.stripOffsets.size();
  while (true) {
    const uint32_t s = at.strip;
    const uint64_t count = r.stripCounts[s];
    const uint64_t left = count - std::min<uint64_t>(at.offset, count);
    const uint64_t chunk = std::min(want, left);
    if (chunk > 0) {
      const uint64_t from = uint64_t(r.stripOffsets[s]) + at.offset;
      if (from + chunk > r.fileSize) return Walk::kTruncated;
      if (!reader.Add(from, pos + *queued, chunk)) return Walk::kTruncated;
      *queued += chunk;
      want -= chunk;
      at.offset += uint32_t(chunk);
    }
    if (at.offset >= count) {
      ++at.strip;
      at.offset = 0;
      if (at.strip >= strips) return Walk::kExhausted;
    }
    if (want == 0) return Walk::kMore;
  }
}

}  // namespace

int32_t ReadTiffRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead) {
  if (r.currentStrip >= r.stripOffsets.size()) {
    SetFileErrorOf(err::kParameter, "TIFF read past the last strip");
    return -1;
  }
  if (r.compression > tiff::kNone) {
    SetFileError("compressed TIFF is not supported");
    return -1;
  }
  ScatterReader reader(r.fd.get(), buffer, std::ptrdiff_t(r.rowBytes), r.rowBytes);
  StripPos at{r.currentStrip, r.offsetInStrip};
  uint64_t queued = 0;
  Walk w = QueueStrips(r, at, uint64_t(rows) * r.rowBytes, 0, reader, &queued);
  const bool read = reader.Flush();
  if (bytesRead) *bytesRead = uint32_t(queued);
  if (!read) {
    SetFileErrorOf(err::kFile, "read error in the pixel data");
    return -1;
  }
  r.currentStrip = at.strip;
  r.offsetInStrip = at.offset;
  if (at.strip < r.stripOffsets.size())
    r.currentOffset = uint64_t(r.stripOffsets[at.strip]) + at.offset;
  if (w == Walk::kTruncated) {
    SetFileError("file truncated in strip %u", unsigned(at.strip + 1));
    return -1;
  }
  return w == Walk::kExhausted ? 0 : 1;
}

int32_t ReadPlainBmpRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead) {
  const uint64_t remaining = r.fileSize - r.currentOffset;
  const uint64_t wanted = uint64_t(rows) * r.rowBytes;
  const uint64_t n = std::min(wanted, remaining);
  ScatterReader reader(r.fd.get(), buffer, std::ptrdiff_t(r.rowBytes), r.rowBytes);
  if (n > 0 && (!reader.Add(r.currentOffset, 0, n) || !reader.Flush())) {
    SetFileErrorOf(err::kFile, "BMP file cannot be read");
    return -1;
  }
  if (bytesRead) *bytesRead = uint32_t(n);
  return wanted < remaining ? 1 : 0;
}

bool ReadRowsInto(int16_t handle, uint8_t* first, std::ptrdiff_t step, uint32_t rows) {
  SlotRef s(handle);
  if (!s) {
    SetFileErrorOf(err::kParameter, "file handle not in use");
    return false;
  }
  Record& r = s.rec();
  if (rows == 0 || r.rowBytes == 0) return true;
  const uint64_t need = uint64_t(rows) * r.rowBytes;
  ScatterReader reader(r.fd.get(), first, step, r.rowBytes);
  if (r.format == VANTOR_FORMAT_BMP) {
    if (!BmpIsPlain(r)) {
      SetFileError("BMP compression %u is not supported", unsigned(r.compression));
      return false;
    }
    if (uint64_t(r.dataStart) + need > r.fileSize) {
      SetFileError("file truncated: %llu bytes of pixels, %llu in the file",
                   static_cast<unsigned long long>(need),
                   static_cast<unsigned long long>(r.fileSize - r.dataStart));
      return false;
    }
    if (!reader.Add(r.dataStart, 0, need) || !reader.Flush()) {
      SetFileErrorOf(err::kFile, "BMP file cannot be read");
      return false;
    }
    return true;
  }
  if (r.compression != tiff::kNone) {
    SetFileError("compressed TIFF (%s) is not supported", CompressionName(r.compression));
    return false;
  }
  StripPos at;
  uint64_t queued = 0;
  Walk w = QueueStrips(r, at, need, 0, reader, &queued);
  if (w == Walk::kTruncated) {
    SetFileError("file truncated in strip %u", unsigned(at.strip + 1));
    return false;
  }
  if (!reader.Flush()) {
    SetFileErrorOf(err::kFile, "read error in the pixel data");
    return false;
  }
  if (queued < need) {
    SetFileError("strips hold %llu of the image's %llu bytes",
                 static_cast<unsigned long long>(queued), static_cast<unsigned long long>(need));
    return false;
  }
  return true;
}

}  // namespace vantor
