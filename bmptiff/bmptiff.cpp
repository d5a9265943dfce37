// TIFF and BMP readers over a table of 16 open-file slots.
//
// Each slot has its own mutex: an operation on a handle locks that slot only,
// so threads working on different files never wait for each other. The
// current slot read by the argument-less getters is per thread.
#include "bmptiff/bmptiff.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bmptiff/bmptiff_internal.h"

namespace vantor {
namespace {

constexpr int kSlots = 16;
constexpr uint32_t kHeaderBytes = 8192;      // bytes of the file start kept in memory
constexpr uint32_t kHeaderAlloc = 8224;      // allocation, with a little slack
constexpr uint32_t kIfdRereadBytes = 8184;   // IFD read on its own lands at buffer + 8

thread_local char t_error[256];
thread_local int16_t t_current = 0;

// Owns a POSIX file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(o.fd_) { o.fd_ = -1; }
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.fd_;
      o.fd_ = -1;
    }
    return *this;
  }
  ~Fd() { reset(); }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int get() const { return fd_; }

 private:
  int fd_ = -1;
};

struct Record {
  std::unique_ptr<uint8_t[]> header;  // kHeaderAlloc bytes: the start of the file
  Fd fd;
  int32_t format = 0;
  uint64_t fileSize = 0;
  uint32_t buffered = 0;             // file bytes held at the start of header
  uint64_t currentOffset = 0;
  uint32_t dataStart = 0;
  uint32_t bitsPerPixel = 0;
  uint32_t width = 0;
  uint32_t length = 0;
  uint32_t rowsPerStrip = 0;
  uint32_t rowBytes = 0;
  uint32_t dataSize = 0;
  double pixelWidth = 0;
  double pixelHeight = 0;
  // TIFF
  uint8_t* ifd = nullptr;             // entry count, then the entries (machine order)
  uint32_t ifdEntries = 0;
  uint32_t compression = 1;
  uint32_t bufferLimit = 0;           // values ending at or before this offset are in header
  bool bigEndian = false;
  std::vector<uint32_t> stripOffsets;
  std::vector<uint32_t> stripCounts;
  uint32_t offsetInStrip = 0;
  uint32_t currentStrip = 0;
  uint32_t samples = 1;
  bool samplesDiffer = false;
  uint32_t bitsPerSample = 1;
  uint32_t photometric = 1;
  bool photometricPresent = false;
  uint32_t planar = 1;
  uint32_t sampleFormat = 1;
  uint32_t fillOrder = 1;
  std::vector<uint16_t> colorMap;
  std::vector<uint8_t> valueStore;    // long tag values handed out by GiveTIFFtag
  uint32_t widened = 0;               // a value of up to 4 bytes handed out
  // BMP
  bool topDown = false;
  uint32_t paletteEntries = 0;
  const uint8_t* palette = nullptr;
  uint32_t commentStart = 0;
  uint32_t commentLength = 0;
};

struct Slot {
  std::mutex mutex;
  bool inUse = false;
  Record rec;
};

std::array<Slot, kSlots + 1>& Table() {
  static std::array<Slot, kSlots + 1> table;  // index 0 unused
  return table;
}

// Locks a slot that is in use and makes it the thread's current slot.
class SlotRef {
 public:
  explicit SlotRef(int16_t handle) {
    if (handle < 1 || handle > kSlots) return;
    Slot& s = Table()[handle];
    lock_ = std::unique_lock<std::mutex>(s.mutex);
    t_current = handle;
    if (s.inUse) slot_ = &s;
  }
  explicit operator bool() const { return slot_ != nullptr; }
  Record& rec() { return slot_->rec; }

 private:
  std::unique_lock<std::mutex> lock_;
  Slot* slot_ = nullptr;
};

// ---- byte helpers --------------------------------------------------------

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
uint16_t Ld16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
uint32_t Ld32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
void St16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }

void Swap16At(uint8_t* p) { std::swap(p[0], p[1]); }
void Swap32At(uint8_t* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

// Reads exactly size bytes at offset; false on error or end of file.
bool PreadAll(int fd, void* buffer, uint64_t size, uint64_t offset) {
  auto* p = static_cast<uint8_t*>(buffer);
  while (size > 0) {
    ssize_t got = ::pread(fd, p, size, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    size -= uint64_t(got);
    offset += uint64_t(got);
  }
  return true;
}

// ---- TIFF ----------------------------------------------------------------

uint32_t TypeSize(uint32_t type) {
  static const uint8_t sizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? sizes[type] : 0;
}

uint8_t* FindEntry(Record& r, uint16_t tag) {
  if (!r.ifd) return nullptr;
  for (uint32_t i = 0; i < r.ifdEntries; ++i) {
    uint8_t* e = r.ifd + 2 + 12 * i;
    if (Ld16(e) == tag) return e;
  }
  return nullptr;
}

// Copies the value of an entry into out, in machine order. The value must lie
// inside the file. False (reason set) otherwise or when the read fails.
bool FetchValue(Record& r, const uint8_t* e, std::vector<uint8_t>& out) {
  uint32_t type = Ld16(e + 2);
  uint64_t count = Ld32(e + 4);
  uint32_t ts = TypeSize(type);
  uint64_t size = count * ts;
  if (size <= 4) {
    out.assign(e + 8, e + 8 + size);
    return true;
  }
  uint64_t offset = Ld32(e + 8);
  if (offset + size > r.fileSize) {
    SetFileError("TIFF tag %u: value outside the file", unsigned(Ld16(e)));
    return false;
  }
  out.resize(size);
  if (offset + size <= r.bufferLimit) {
    std::memcpy(out.data(), r.header.get() + offset, size);
  } else if (!PreadAll(r.fd.get(), out.data(), size, offset)) {
    SetFileError("TIFF tag %u: value cannot be read", unsigned(Ld16(e)));
    return false;
  }
  if (r.bigEndian) {
    uint8_t* p = out.data();
    if (ts == 2) {
      for (uint64_t i = 0; i < size; i += 2) Swap16At(p + i);
    } else if (ts == 4 || ts == 8) {
      for (uint64_t i = 0; i < size; i += 4) Swap32At(p + i);
    }
  }
  return true;
}

enum class TagResult { kAbsent, kOk, kBad };

// Integer values of a tag (BYTE, SHORT, LONG and their signed kinds).
TagResult TagNumbers(Record& r, uint16_t tag, std::vector<uint32_t>& values) {
  values.clear();
  const uint8_t* e = FindEntry(r, tag);
  if (!e) return TagResult::kAbsent;
  uint32_t type = Ld16(e + 2);
  uint32_t ts = TypeSize(type);
  bool integral = type == 1 || type == 3 || type == 4 || type == 6 || type == 8 || type == 9;
  if (!integral) {
    SetFileError("TIFF tag %u has type %u", unsigned(tag), unsigned(type));
    return TagResult::kBad;
  }
  std::vector<uint8_t> bytes;
  if (!FetchValue(r, e, bytes)) return TagResult::kBad;
  size_t n = bytes.size() / ts;
  values.resize(n);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* p = bytes.data() + i * ts;
    values[i] = ts == 1 ? p[0] : ts == 2 ? Ld16(p) : Ld32(p);
  }
  return TagResult::kOk;
}

// First value of an integer tag, or fallback when absent or unreadable.
uint32_t TagFirst(Record& r, uint16_t tag, uint32_t fallback, bool* present = nullptr) {
  std::vector<uint32_t> v;
  bool ok = TagNumbers(r, tag, v) == TagResult::kOk && !v.empty();
  if (present) *present = ok;
  return ok ? v[0] : fallback;
}

// Puts an "MM" IFD entry into machine order, in place.
void SwapEntry(uint8_t* e) {
  Swap16At(e);
  Swap16At(e + 2);
  Swap32At(e + 4);
  uint32_t ts = TypeSize(Ld16(e + 2));
  uint64_t size = uint64_t(Ld32(e + 4)) * ts;
  if (size > 4) {
    Swap32At(e + 8);  // an offset
  } else if (ts == 2) {
    Swap16At(e + 8);
    Swap16At(e + 10);
  } else if (ts == 4) {
    Swap32At(e + 8);
  }
}

double Rational(Record& r, uint16_t tag) {
  const uint8_t* e = FindEntry(r, tag);
  if (!e || Ld16(e + 2) != 5 || Ld32(e + 4) < 1) return 0;
  std::vector<uint8_t> v;
  if (!FetchValue(r, e, v) || v.size() < 8) return 0;
  uint32_t n = Ld32(v.data()), d = Ld32(v.data() + 4);
  return n == 0 ? 0 : double(d) / double(n);
}

bool ParseTiff(Record& r) {
  uint8_t* buf = r.header.get();
  r.bigEndian = buf[0] == 'M';
  if (r.buffered < 8) {
    SetFileError("file too short for a TIFF header");
    return false;
  }
  uint16_t magic = Le16(buf + 2);
  uint32_t ifdOffset = Le32(buf + 4);
  if (r.bigEndian) {
    magic = uint16_t((buf[2] << 8) | buf[3]);
    ifdOffset = (uint32_t(buf[4]) << 24) | (uint32_t(buf[5]) << 16) | (uint32_t(buf[6]) << 8) | buf[7];
  }
  if (magic == 43) {
    SetFileError("BigTIFF files are not supported");
    return false;
  }
  if (magic != 42) {
    SetFileError("not a TIFF file (magic number %u)", unsigned(magic));
    return false;
  }
  if (ifdOffset < 8 || uint64_t(ifdOffset) + 2 > r.fileSize) {
    SetFileError("TIFF IFD offset %u lies outside the file", unsigned(ifdOffset));
    return false;
  }
  auto entriesAt = [&](const uint8_t* p) {
    uint16_t n = Ld16(p);
    return r.bigEndian ? uint16_t((n >> 8) | (n << 8)) : n;
  };
  uint32_t available = 0;  // IFD bytes in the buffer from its start
  bool inPlace = false;
  if ((r.fileSize <= kHeaderBytes || ifdOffset < 2048) && ifdOffset + 2 <= r.buffered) {
    uint32_t n = entriesAt(buf + ifdOffset);
    if (ifdOffset + 2 + 12 * n <= r.buffered) {
      inPlace = true;
      r.ifd = buf + ifdOffset;
      r.bufferLimit = ifdOffset;
      available = r.buffered - ifdOffset;
    }
  }
  if (!inPlace) {
    uint64_t want = std::min<uint64_t>(kIfdRereadBytes, r.fileSize - ifdOffset);
    std::memset(buf + 8, 0, kHeaderBytes - 8);
    if (!PreadAll(r.fd.get(), buf + 8, want, ifdOffset)) {
      SetFileError("cannot read the TIFF IFD");
      return false;
    }
    r.ifd = buf + 8;
    r.bufferLimit = 8;
    available = uint32_t(want);
  }
  r.ifdEntries = entriesAt(r.ifd);
  if (r.ifdEntries == 0) {
    SetFileError("TIFF IFD has no entries");
    return false;
  }
  if (2 + 12 * uint64_t(r.ifdEntries) > available) {
    SetFileError("TIFF IFD with %u entries runs past the end of the file", unsigned(r.ifdEntries));
    return false;
  }
  if (r.bigEndian) {
    St16(r.ifd, uint16_t(r.ifdEntries));
    for (uint32_t i = 0; i < r.ifdEntries; ++i) SwapEntry(r.ifd + 2 + 12 * i);
  }

  std::vector<uint32_t> v;
  bool present = false;
  r.width = TagFirst(r, 256, 0, &present);
  if (!present) {
    SetFileError("TIFF ImageWidth missing");
    return false;
  }
  r.length = TagFirst(r, 257, 0, &present);
  if (!present) {
    SetFileError("TIFF ImageLength missing");
    return false;
  }
  // BitsPerSample: absent means one bit per sample.
  TagResult bps = TagNumbers(r, 258, v);
  if (bps == TagResult::kBad) return false;
  if (bps == TagResult::kAbsent || v.empty()) v.assign(1, 1);
  uint32_t spp = TagFirst(r, 277, 0, &present);
  if (present && v.size() == 1 && spp > 1 && spp <= 16) v.assign(spp, v[0]);
  uint64_t bits = 0;
  for (uint32_t b : v) {
    bits += b;
    if (b != v[0]) r.samplesDiffer = true;
  }
  if (bits == 0 || bits > 1024) {
    SetFileError("TIFF with %llu bits per pixel is not supported", static_cast<unsigned long long>(bits));
    return false;
  }
  r.bitsPerPixel = uint32_t(bits);
  r.samples = uint32_t(v.size());
  r.bitsPerSample = v[0];
  uint64_t rowBytes = (bits * r.width + 7) / 8;
  uint64_t dataSize = rowBytes * r.length;
  if (rowBytes > UINT32_MAX || dataSize > UINT32_MAX) {
    SetFileError("TIFF image of %u x %u is too large", unsigned(r.width), unsigned(r.length));
    return false;
  }
  r.rowBytes = uint32_t(rowBytes);
  r.dataSize = uint32_t(dataSize);
  r.rowsPerStrip = TagFirst(r, 278, 0);

  TagResult so = TagNumbers(r, 273, r.stripOffsets);
  if (so == TagResult::kAbsent) {
    SetFileError("TIFF StripOffsets missing");
    return false;
  }
  if (so == TagResult::kBad) return false;
  if (r.stripOffsets.empty()) {
    SetFileError("TIFF StripOffsets has no values");
    return false;
  }
  TagResult sc = TagNumbers(r, 279, r.stripCounts);
  if (sc == TagResult::kBad) return false;
  if (sc == TagResult::kAbsent) {
    if (r.stripOffsets.size() != 1) {
      SetFileError("TIFF StripByteCounts missing for %zu strips", r.stripOffsets.size());
      return false;
    }
    r.stripCounts.assign(1, r.dataSize);
  } else if (r.stripCounts.size() != r.stripOffsets.size()) {
    SetFileError("TIFF StripOffsets and StripByteCounts differ in length");
    return false;
  }

  r.photometric = TagFirst(r, 262, 1, &r.photometricPresent);
  if (r.photometric == 3) {
    TagResult cm = TagNumbers(r, 320, v);
    if (cm == TagResult::kBad) return false;
    if (cm == TagResult::kOk) r.colorMap.assign(v.begin(), v.end());
  }
  double factor = TagFirst(r, 296, 2) == 3 ? 10.0 : 25.4;
  r.pixelWidth = factor * Rational(r, 282);
  r.pixelHeight = factor * Rational(r, 283);
  r.compression = TagFirst(r, 259, 1);
  r.planar = TagFirst(r, 284, 1);
  r.fillOrder = TagFirst(r, 266, 1);
  if (TagNumbers(r, 339, v) == TagResult::kOk) {
    r.sampleFormat = v.empty() ? 1 : v[0];
    for (uint32_t f : v)
      if (f == 3) r.sampleFormat = 3;
  }
  ClearFileError();  // optional tags may have left a reason behind
  return true;
}

// ---- BMP -----------------------------------------------------------------

bool ParseBmp(Record& r) {
  const uint8_t* buf = r.header.get();
  if (r.buffered < 54) {
    SetFileError("file too short for a BMP header");
    return false;
  }
  uint32_t dataOffset = Le32(buf + 10);
  uint32_t infoSize = Le32(buf + 14);
  if (infoSize < 40) {
    SetFileError("BMP information header of %u bytes is not supported", unsigned(infoSize));
    return false;
  }
  int32_t width = int32_t(Le32(buf + 18));
  int32_t height = int32_t(Le32(buf + 22));
  if (width <= 0 || height == INT32_MIN) {
    SetFileError("BMP size %d x %d is not valid", int(width), int(height));
    return false;
  }
  r.width = uint32_t(width);
  r.topDown = height < 0;
  r.length = uint32_t(height < 0 ? -height : height);
  uint32_t bpp = Le16(buf + 28);
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) {
    SetFileError("BMP with %u bits per pixel is not supported", unsigned(bpp));
    return false;
  }
  r.bitsPerPixel = bpp;
  uint32_t compression = Le32(buf + 30);
  r.compression = compression;
  if (dataOffset > r.fileSize) {
    SetFileError("BMP pixel data offset %u lies outside the file", unsigned(dataOffset));
    return false;
  }

  // Palette: right after the information header; the colours-used count when
  // given, else the full 2^bits. It must end before the pixel data.
  uint64_t paletteAt = 14 + uint64_t(infoSize);
  if (paletteAt > kHeaderBytes) paletteAt = 54;
  uint32_t entries = 0;
  if (bpp <= 8) {
    uint32_t used = Le32(buf + 46);
    uint32_t full = 1u << bpp;
    entries = used != 0 && used < full ? used : full;
    uint64_t end = std::min<uint64_t>({dataOffset, r.buffered, kHeaderBytes});
    uint64_t room = end > paletteAt ? (end - paletteAt) / 4 : 0;
    if (entries > room) entries = uint32_t(room);
  }
  r.paletteEntries = entries;
  r.palette = entries ? buf + paletteAt : nullptr;

  uint64_t rowBytes = ((uint64_t(bpp) * r.width + 31) / 32) * 4;
  uint64_t dataSize = rowBytes * r.length;
  if (rowBytes > UINT32_MAX || dataSize > UINT32_MAX) {
    SetFileError("BMP image of %u x %u is too large", unsigned(r.width), unsigned(r.length));
    return false;
  }
  r.rowBytes = uint32_t(rowBytes);
  r.dataSize = uint32_t(dataSize);
  uint32_t imageSize = Le32(buf + 34);
  bool compressed = compression == 1 || compression == 2;
  if (imageSize != r.dataSize && imageSize != 0 && !compressed) {
    SetFileError("BMP image size %u contradicts %u bytes of pixels", unsigned(imageSize),
                 unsigned(r.dataSize));
    return false;
  }
  r.dataStart = dataOffset;
  r.currentOffset = dataOffset;
  for (int i = 0; i < 2; ++i) {
    int32_t v = int32_t(Le32(buf + 38 + 4 * i));
    double size = (v > 1e-7 && v < 1e9) ? 1000.0 / v : 0.0;
    (i == 0 ? r.pixelWidth : r.pixelHeight) = size;
  }
  // Comment: the bytes between the palette and the pixels.
  uint64_t commentAt = paletteAt + 4 * uint64_t(entries);
  if (compression == 3 && infoSize == 40) commentAt += 12;  // the three colour masks
  uint64_t commentEnd = std::min<uint64_t>({dataOffset, r.buffered, kHeaderBytes});
  if (commentEnd >= commentAt + 2) {
    r.commentStart = uint32_t(commentAt);
    r.commentLength = uint32_t(commentEnd - commentAt);
  }
  return true;
}

// 8-bit run-length decoding into rows rows of rowBytes each.
int32_t DecodeRle8(const uint8_t* in, size_t len, uint8_t* out, uint32_t rows, uint32_t rowBytes,
                   uint32_t* passed) {
  const uint64_t area = uint64_t(rows) * rowBytes;
  uint64_t pos = 0;
  uint32_t row = 0;
  int32_t result = 0;
  size_t i = 0;
  while (true) {
    if (i + 1 >= len) {
      result = 0;
      break;
    }
    uint32_t c = in[i], v = in[i + 1];
    i += 2;
    if (c > 0) {
      uint64_t n = std::min<uint64_t>(c, area - pos);
      std::memset(out + pos, int(v), n);
      pos += n;
      if (pos >= area) {
        result = 1;
        break;
      }
    } else if (v == 0) {
      ++row;
      if (row >= rows) {
        pos = area;
        result = 1;
        break;
      }
      pos = uint64_t(row) * rowBytes;
    } else if (v == 1) {
      result = 0;
      break;
    } else if (v == 2) {
      if (i + 1 >= len) {
        result = 0;
        break;
      }
      uint32_t dx = in[i], dy = in[i + 1];
      i += 2;
      row += dy;
      pos += dx + uint64_t(dy) * rowBytes;
      if (row >= rows || pos >= area) {
        pos = std::min(pos, area);
        result = 1;
        break;
      }
    } else {
      uint64_t n = std::min<uint64_t>({v, area - pos, len - i});
      std::memcpy(out + pos, in + i, n);
      pos += n;
      i += v + (v & 1);
      if (pos >= area) {
        result = 1;
        break;
      }
    }
  }
  if (passed) *passed = uint32_t(std::min<uint64_t>(pos, UINT32_MAX));
  return result;
}

int32_t ReadBmpRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead) {
  bool plain = r.compression == 0 || r.compression == 3;
  bool rle8 = r.compression == 1 && r.bitsPerPixel == 8;
  if (!plain && !rle8) {
    SetFileError("BMP compression %u is not supported", unsigned(r.compression));
    return -1;
  }
  if (r.currentOffset > r.fileSize) {
    SetFileError("BMP read position past the end of the file");
    return -1;
  }
  uint64_t remaining = r.fileSize - r.currentOffset;
  if (plain) {
    uint64_t wanted = uint64_t(rows) * r.rowBytes;
    uint64_t n = std::min(wanted, remaining);
    if (!PreadAll(r.fd.get(), buffer, n, r.currentOffset)) {
      SetFileError("BMP file cannot be read");
      return -1;
    }
    if (bytesRead) *bytesRead = uint32_t(n);
    return wanted < remaining ? 1 : 0;
  }
  std::vector<uint8_t> in;
  try {
    in.resize(remaining + 16);
  } catch (...) {
    SetFileError("out of memory");
    return -1;
  }
  if (!PreadAll(r.fd.get(), in.data(), remaining, r.currentOffset)) {
    SetFileError("BMP file cannot be read");
    return -1;
  }
  return DecodeRle8(in.data(), remaining, buffer, rows, r.rowBytes, bytesRead);
}

int32_t ReadTiffRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead) {
  if (r.currentStrip >= r.stripOffsets.size()) {
    SetFileError("TIFF read past the last strip");
    return -1;
  }
  if (r.compression > 1) {
    SetFileError("compressed TIFF is not supported");
    return -1;
  }
  uint64_t wanted = uint64_t(rows) * r.rowBytes;
  uint64_t done = 0;
  while (true) {
    uint32_t s = r.currentStrip;
    uint64_t left = r.stripCounts[s] - uint64_t(std::min(r.offsetInStrip, r.stripCounts[s]));
    uint64_t chunk = std::min(wanted, left);
    if (chunk > 0) {
      uint64_t at = uint64_t(r.stripOffsets[s]) + r.offsetInStrip;
      if (!PreadAll(r.fd.get(), buffer + done, chunk, at)) {
        SetFileError("file truncated in strip %u", unsigned(s + 1));
        if (bytesRead) *bytesRead = uint32_t(done);
        return -1;
      }
      done += chunk;
      wanted -= chunk;
      r.offsetInStrip += uint32_t(chunk);
      r.currentOffset = at + chunk;
    }
    if (r.offsetInStrip >= r.stripCounts[s]) {
      ++r.currentStrip;
      r.offsetInStrip = 0;
      if (r.currentStrip >= r.stripOffsets.size()) {
        if (bytesRead) *bytesRead = uint32_t(done);
        return 0;
      }
    }
    if (wanted == 0) break;
  }
  if (bytesRead) *bytesRead = uint32_t(done);
  return 1;
}

// Scatter reads straight into the destination rows: file ranges that follow
// each other (the usual layout of strips) share one preadv call of at most
// IOV_MAX pieces.
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
      // Pieces that continue each other in memory merge (rows of a
      // bottom-up BMP read into rows of the same pitch).
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

const char* CompressionName(uint32_t c) {
  switch (c) {
    case 1: return "none";
    case 2: return "CCITT modified Huffman";
    case 3: return "CCITT group 3 fax";
    case 4: return "CCITT group 4 fax";
    case 5: return "LZW";
    case 6: return "old-style JPEG";
    case 7: return "JPEG";
    case 8: case 32946: return "Deflate";
    case 32773: return "PackBits";
    default: return "unknown";
  }
}

const char* PhotometricName(uint32_t p) {
  switch (p) {
    case 0: return "WhiteIsZero";
    case 1: return "BlackIsZero";
    case 2: return "RGB";
    case 3: return "Palette color";
    case 4: return "Transparency mask";
    case 5: return "CMYK";
    case 6: return "YCbCr";
    case 8: return "CIELab";
    default: return "unknown";
  }
}

void Appendf(std::string& s, const char* format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string& s, const char* format, ...) {
  char line[512];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  if (n > 0) s.append(line, std::min<size_t>(size_t(n), sizeof line - 1));
}

// Text of ImageDescription (TIFF) or the comment (BMP).
std::string Description(Record& r) {
  if (r.format == VANTOR_FORMAT_BMP) {
    if (!r.commentLength) return {};
    const char* p = reinterpret_cast<const char*>(r.header.get() + r.commentStart);
    return std::string(p, strnlen(p, r.commentLength));
  }
  const uint8_t* e = FindEntry(r, 270);
  if (!e) return {};
  std::vector<uint8_t> bytes;
  if (!FetchValue(r, e, bytes) || bytes.empty()) return {};
  const char* p = reinterpret_cast<const char*>(bytes.data());
  return std::string(p, strnlen(p, bytes.size()));
}

std::string HeaderText(Record& r) {
  std::string s;
  if (r.format == VANTOR_FORMAT_TIFF) {
    Appendf(s, "\nByte order: %s", r.bigEndian ? "MOTOROLA" : "INTEL");
    Appendf(s, "\nImageWidth : %10lu\nImageLength : %9lu", (unsigned long)r.width,
            (unsigned long)r.length);
    Appendf(s, "\nBitsPerPixel : %u (%u samples)", unsigned(r.bitsPerPixel), unsigned(r.samples));
    Appendf(s, "\nCompression: %s", CompressionName(r.compression));
    Appendf(s, "\n%s : %s", "PhotometricInterpretation", PhotometricName(r.photometric));
    Appendf(s, "\nStrips : %zu (rows per strip %lu)", r.stripOffsets.size(),
            (unsigned long)r.rowsPerStrip);
    if (r.planar != 1) Appendf(s, "\nPlanarConfiguration : %u", unsigned(r.planar));
    if (!r.colorMap.empty()) Appendf(s, "\nColorMap : %zu values", r.colorMap.size());
  } else {
    Appendf(s, "\nBitmap file format (BMP %s)", r.topDown ? "top-down" : "bottom-up");
    Appendf(s, "\nImageWidth : %10lu\nImageLength : %9lu\n  (bits per pixel: %u)",
            (unsigned long)r.width, (unsigned long)r.length, unsigned(r.bitsPerPixel));
    Appendf(s, "%s", r.compression == 0 ? "\nNo compression" : "\nUnknown compression");
    if (r.bitsPerPixel == 24)
      Appendf(s, "\nTrue color file");
    else if (r.bitsPerPixel > 8)
      Appendf(s, "\nColor mask: %u bits", unsigned(r.bitsPerPixel));
    else
      Appendf(s, "\nColor map: %lu entries", (unsigned long)r.paletteEntries);
  }
  if (r.pixelWidth > 0 || r.pixelHeight > 0)
    Appendf(s, "\nPixel size : %g x %g mm", r.pixelWidth, r.pixelHeight);
  std::string d = Description(r);
  if (!d.empty()) {
    s += r.format == VANTOR_FORMAT_BMP ? "\nComment:\n   " : "\nImageDescription:\n   ";
    s += d;
  }
  return s;
}

bool OpenInto(Record& r, const char* path) {
  r.header.reset(new (std::nothrow) uint8_t[kHeaderAlloc]);
  if (!r.header) {
    SetFileError("out of memory");
    return false;
  }
  std::memset(r.header.get(), 0, kHeaderAlloc);
  // Read-only: the readers never write.
  r.fd = Fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (r.fd.get() < 0) {
    SetFileError("cannot open the file: %s", std::strerror(errno));
    return false;
  }
  struct stat st;
  if (::fstat(r.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetFileError("not a regular file");
    return false;
  }
  r.fileSize = uint64_t(st.st_size);
  r.buffered = uint32_t(std::min<uint64_t>(r.fileSize, kHeaderBytes));
  if (!PreadAll(r.fd.get(), r.header.get(), r.buffered, 0)) {
    SetFileError("cannot read the file header");
    return false;
  }
  const uint8_t* b = r.header.get();
  if (r.buffered >= 2 && ((b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M'))) {
    r.format = VANTOR_FORMAT_TIFF;
    return ParseTiff(r);
  }
  if (r.buffered >= 2 && b[0] == 'B' && b[1] == 'M') {
    r.format = VANTOR_FORMAT_BMP;
    return ParseBmp(r);
  }
  SetFileError("unknown file format");
  return false;
}

}  // namespace

const char* FileError() { return t_error; }

void SetFileError(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  std::vsnprintf(t_error, sizeof t_error, format, ap);
  va_end(ap);
}

void ClearFileError() { t_error[0] = 0; }

bool GetFileLayout(int16_t handle, FileLayout* out) {
  SlotRef s(handle);
  if (!s) return false;
  Record& r = s.rec();
  FileLayout l;
  l.format = r.format;
  l.bitsPerPixel = r.bitsPerPixel;
  l.width = r.width;
  l.length = r.length;
  l.rowBytes = r.rowBytes;
  l.fileSize = r.fileSize;
  l.compression = r.compression;
  l.bigEndian = r.bigEndian;
  l.samples = r.samples;
  l.samplesDiffer = r.samplesDiffer;
  l.bitsPerSample = r.bitsPerSample;
  l.planar = r.planar;
  l.sampleFormat = r.sampleFormat;
  l.fillOrder = r.fillOrder;
  l.photometric = r.photometric;
  l.topDown = r.topDown;
  l.pixelWidth = r.pixelWidth;
  l.pixelHeight = r.pixelHeight;
  *out = l;
  return true;
}

const char* TiffCompressionName(uint32_t compression) { return CompressionName(compression); }

bool ReadRowsInto(int16_t handle, uint8_t* first, std::ptrdiff_t step, uint32_t rows) {
  SlotRef s(handle);
  if (!s) {
    SetFileError("file handle not in use");
    return false;
  }
  Record& r = s.rec();
  if (rows == 0 || r.rowBytes == 0) return true;
  uint64_t need = uint64_t(rows) * r.rowBytes;
  ScatterReader reader(r.fd.get(), first, step, r.rowBytes);
  if (r.format == VANTOR_FORMAT_BMP) {
    if (r.compression != 0 && r.compression != 3) {
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
      SetFileError("BMP file cannot be read");
      return false;
    }
    return true;
  }
  if (r.compression != 1) {
    SetFileError("compressed TIFF (%s) is not supported", CompressionName(r.compression));
    return false;
  }
  uint64_t pos = 0;
  for (size_t i = 0; i < r.stripOffsets.size() && pos < need; ++i) {
    uint64_t take = std::min<uint64_t>(r.stripCounts[i], need - pos);
    if (take == 0) continue;
    if (uint64_t(r.stripOffsets[i]) + take > r.fileSize) {
      SetFileError("file truncated in strip %zu", i + 1);
      return false;
    }
    if (!reader.Add(r.stripOffsets[i], pos, take)) {
      SetFileError("file truncated in strip %zu", i + 1);
      return false;
    }
    pos += take;
  }
  if (!reader.Flush()) {
    SetFileError("read error in the pixel data");
    return false;
  }
  if (pos < need) {
    SetFileError("strips hold %llu of the image's %llu bytes", static_cast<unsigned long long>(pos),
                 static_cast<unsigned long long>(need));
    return false;
  }
  return true;
}

}  // namespace vantor

using namespace vantor;

extern "C" {

int16_t ReadFileHeader(const char* path) {
  ClearFileError();
  if (!path) {
    SetFileError("no path");
    return 0;
  }
  for (int16_t h = 1; h <= kSlots; ++h) {
    Slot& s = Table()[h];
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.inUse) continue;
    s.inUse = true;
    s.rec = Record{};
    if (!OpenInto(s.rec, path)) {
      s.rec = Record{};
      s.inUse = false;
      return 0;
    }
    t_current = h;
    return h;
  }
  SetFileError("all %d file slots are in use", kSlots);
  return 0;
}

int32_t HeaderFormat(int16_t handle) {
  SlotRef s(handle);
  return s ? s.rec().format : 0;
}

int32_t GetHeaderInfo(int16_t handle, uint16_t* bitsPerPixel, uint32_t* width, uint32_t* length,
                      char* description, int32_t* descriptionLength, uint16_t* compression,
                      uint32_t* formatWord) {
  int32_t room = descriptionLength ? *descriptionLength : 0;
  if (description && room > 0) description[0] = 0;
  SlotRef s(handle);
  if (!s) {
    if (descriptionLength) *descriptionLength = 0;
    return 0;
  }
  Record& r = s.rec();
  if (bitsPerPixel) *bitsPerPixel = uint16_t(std::min<uint32_t>(r.bitsPerPixel, 0xFFFF));
  if (width) *width = r.width;
  if (length) *length = r.length;
  if (compression) *compression = uint16_t(std::min<uint32_t>(r.compression, 0xFFFF));
  if (formatWord) {
    uint32_t low = 0x4D42;
    if (r.format == VANTOR_FORMAT_TIFF)
      low = r.photometricPresent ? (r.photometric & 0xFFFF)
                                 : (r.bitsPerPixel == 24 || r.bitsPerPixel == 48 ? 2 : 1);
    *formatWord = (uint32_t(r.format) << 24) | low;
  }
  if (descriptionLength) {
    std::string d = Description(r);
    size_t copied = 0;
    if (description && room > 0) {
      copied = std::min<size_t>(d.size(), size_t(room) - 1);
      std::memcpy(description, d.data(), copied);
      description[copied] = 0;
    }
    size_t reported = r.format == VANTOR_FORMAT_TIFF ? d.size() : copied;
    *descriptionLength = int32_t(std::min<size_t>(reported, INT32_MAX));
  }
  return r.format;
}

#define VANTOR_GETTER(name, expr)      \
  uint32_t name(void) {                \
    SlotRef s(t_current);              \
    if (!s) return 0;                  \
    const Record& r = s.rec();         \
    return (expr);                     \
  }
VANTOR_GETTER(GetThePixel, r.bitsPerPixel)
VANTOR_GETTER(GetTheWidth, r.width)
VANTOR_GETTER(GetTheLength, r.length)
VANTOR_GETTER(GetTheFileSize, uint32_t(std::min<uint64_t>(r.fileSize, UINT32_MAX)))
VANTOR_GETTER(GetTheRowBytes, r.rowBytes)
VANTOR_GETTER(GetTheDataSize, r.dataSize)
#undef VANTOR_GETTER

int32_t SetRowOffset(int16_t handle, int32_t row) {
  SlotRef s(handle);
  if (!s || row < 0) return -1;
  Record& r = s.rec();
  if (uint32_t(row) > r.length) return -1;
  uint64_t pos = uint64_t(row) * r.rowBytes;
  if (r.format == VANTOR_FORMAT_BMP) {
    r.currentOffset = r.dataStart + pos;
    return int32_t(r.length - uint32_t(row));
  }
  for (size_t i = 0; i < r.stripCounts.size(); ++i) {
    if (pos < r.stripCounts[i]) {
      r.currentStrip = uint32_t(i);
      r.offsetInStrip = uint32_t(pos);
      r.currentOffset = uint64_t(r.stripOffsets[i]) + pos;
      return int32_t(r.length - uint32_t(row));
    }
    pos -= r.stripCounts[i];
  }
  return -1;
}

int32_t ReadNextRows(int16_t handle, void* buffer, int32_t rows, uint32_t* bytesRead) {
  if (bytesRead) *bytesRead = 0;
  SlotRef s(handle);
  if (!s) {
    SetFileError("file handle not in use");
    return -1;
  }
  if (!buffer || rows < 0) return -1;
  Record& r = s.rec();
  auto* out = static_cast<uint8_t*>(buffer);
  return r.format == VANTOR_FORMAT_BMP ? ReadBmpRows(r, out, uint32_t(rows), bytesRead)
                                       : ReadTiffRows(r, out, uint32_t(rows), bytesRead);
}

int32_t GetLUTinfo(int16_t handle, const void** table, int32_t* entries, int32_t* byteSize) {
  if (table) *table = nullptr;
  if (entries) *entries = 0;
  if (byteSize) *byteSize = 0;
  SlotRef s(handle);
  if (!s) return 0;
  Record& r = s.rec();
  if (r.format == VANTOR_FORMAT_TIFF) {
    if (!r.colorMap.empty()) {
      if (table) *table = r.colorMap.data();
      if (entries) *entries = int32_t(std::min<size_t>(r.colorMap.size(), INT32_MAX));
      if (byteSize) *byteSize = int32_t(std::min<size_t>(r.colorMap.size() * 2, INT32_MAX));
    }
  } else if (r.paletteEntries) {
    if (table) *table = r.palette;
    if (entries) *entries = int32_t(r.paletteEntries);
    if (byteSize) *byteSize = int32_t(r.paletteEntries * 4);
  }
  return r.format;
}

int32_t GiveTIFFtag(int16_t handle, uint16_t tag, uint16_t* type, uint32_t* count,
                    const void** value) {
  SlotRef s(handle);
  if (!s) return -1;
  Record& r = s.rec();
  uint8_t* e = FindEntry(r, tag);
  if (!e) return 0;
  uint16_t t = Ld16(e + 2);
  uint32_t n = Ld32(e + 4);
  uint64_t size = uint64_t(n) * TypeSize(t);
  if (type) *type = t;
  if (count) *count = n;
  // Values are handed out from aligned storage: IFD entries are only
  // 2-byte aligned.
  const void* address = &r.widened;
  if (size > 4) {
    if (size > INT32_MAX || !FetchValue(r, e, r.valueStore)) return -1;
    address = r.valueStore.data();
  } else if ((t == 3 || t == 8) && n == 1) {
    r.widened = t == 3 ? uint32_t(Ld16(e + 8)) : uint32_t(int32_t(int16_t(Ld16(e + 8))));
  } else {
    r.widened = Ld32(e + 8);
  }
  if (value) *value = address;
  return size > 1 ? int32_t(size) : 1;
}

int32_t TIFFtagValuePnt(int16_t handle, uint16_t tag, void** valueField) {
  if (valueField) *valueField = nullptr;
  SlotRef s(handle);
  if (!s) return 0;
  uint8_t* e = FindEntry(s.rec(), tag);
  if (!e) return 0;
  if (valueField) *valueField = e + 8;
  return 1;
}

int32_t FreeTheData(int16_t handle) {
  if (handle >= 1 && handle <= kSlots) {
    Slot& s = Table()[handle];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inUse) {
      s.rec = Record{};
      s.inUse = false;
    }
  }
  int32_t free = 0;
  for (int h = 1; h <= kSlots; ++h) {
    Slot& s = Table()[h];
    std::lock_guard<std::mutex> lock(s.mutex);
    free += s.inUse ? 0 : 1;
  }
  return free;
}

int32_t ClearAllTB(void) {
  int32_t freed = 0;
  for (int h = 1; h <= kSlots; ++h) {
    Slot& s = Table()[h];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inUse) {
      s.rec = Record{};
      s.inUse = false;
      ++freed;
    }
  }
  return freed;
}

int32_t GetImageFileInfo(const char* path, uint16_t* bitsPerPixel, uint32_t* width,
                         uint32_t* length, char* description, int32_t* descriptionLength) {
  int16_t h = ReadFileHeader(path);
  if (!h) {
    if (description && descriptionLength && *descriptionLength > 0) description[0] = 0;
    if (descriptionLength) *descriptionLength = 0;
    return 0;
  }
  int32_t format = GetHeaderInfo(h, bitsPerPixel, width, length, description, descriptionLength,
                                 nullptr, nullptr);
  FreeTheData(h);
  return format;
}

int32_t ShowFileHeader(const char* path, char* text, int32_t length) {
  std::string s;
  int32_t format = 0;
  int16_t h = ReadFileHeader(path);
  if (h) {
    SlotRef ref(h);
    format = ref.rec().format;
    s = HeaderText(ref.rec());
  } else {
    const char* why = FileError();
    if (std::strcmp(why, "unknown file format") == 0 || std::strncmp(why, "not a TIFF", 10) == 0)
      s = "\nUnsupported image file firmat";
    else
      s = std::string("\nUnreadable image file: ") + why;
  }
  if (h) FreeTheData(h);
  if (text) {
    if (length > 0) {
      size_t n = std::min<size_t>(s.size(), size_t(length) - 1);
      std::memcpy(text, s.data(), n);
      text[n] = 0;
    }
  } else {
    std::fprintf(stderr, "%s\n%s\n", path ? path : "", s.c_str());
  }
  return format;
}

}  // extern "C"
