// TIFF and BMP writers: the header built in memory (TIFF tags kept in
// ascending order, longer values appended behind the IFD, the pixel data
// always starting right after the header), rows appended with positioned
// writes, the header written again at the end. The slot functions hold an
// ImageFileWriter in a slot of the readers' table.
#include "bmptiff/bmptiff_write.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/bmptiff_write_internal.h"
#include "bmptiff/file_record.h"

namespace vantor {
namespace {

constexpr uint32_t kTiffTemplate = 170;   // 8 + 2 + 13 x 12 + 4
constexpr uint32_t kBmpTemplate = 54;
constexpr uint64_t kFileLimit = 0xFFFFFFFFu;  // 32-bit offsets and sizes

enum : uint16_t { kByte = 1, kAscii = 2, kShort = 3, kLong = 4 };

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Get16(const uint8_t* p) { return p[0] | uint32_t(p[1]) << 8; }
uint32_t Get32(const uint8_t* p) {
  return p[0] | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

uint32_t TypeSize(uint32_t type) {
  static const uint8_t sizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? sizes[type] : 0;
}

bool PwriteAll(int fd, const void* data, uint64_t size, uint64_t offset) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, std::min<uint64_t>(size, 1u << 30), off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    size -= uint64_t(n);
    offset += uint64_t(n);
  }
  return true;
}

bool DepthAllowed(int32_t bits) {
  switch (bits) {
    case 1: case 4: case 8: case 16: case 24: case 32: case 48: case 64: return true;
    default: return false;
  }
}

// The template's 13 tags: tag, type, value (the ASCII ones hold "QJX").
struct TemplateTag {
  uint16_t tag, type;
};
constexpr TemplateTag kTemplate[13] = {
    {254, kLong}, {256, kLong}, {257, kLong}, {258, kShort}, {259, kShort},
    {262, kShort}, {270, kAscii}, {273, kLong}, {277, kShort}, {278, kShort},
    {279, kLong}, {284, kShort}, {305, kAscii}};

}  // namespace

ImageFileWriter::~ImageFileWriter() { Close(); }

bool ImageFileWriter::Close() {
  if (fd_ < 0) return true;
  const bool ok = ::close(fd_) == 0;
  fd_ = -1;
  return ok;
}

uint8_t* ImageFileWriter::Find(uint16_t tag) {
  uint8_t* h = header_.get();
  const uint32_t n = Get16(h + 8);
  for (uint32_t i = 0; i < n; ++i) {
    uint8_t* e = h + 10 + 12 * i;
    if (Get16(e) == tag) return e;
  }
  return nullptr;
}

void ImageFileWriter::SyncStripOffsets() {
  if (uint8_t* e = Find(273)) Put32(e + 8, headerLength_);
}

bool ImageFileWriter::SetTag(uint16_t tag, uint16_t type, uint32_t count, const void* value) {
  uint8_t* h = header_.get();
  const uint64_t size = uint64_t(count) * TypeSize(type);
  // Values appended behind the IFD keep even offsets, as TIFF asks.
  const uint64_t room = size > 4 ? size + (size & 1) : 0;
  uint8_t* e = Find(tag);
  if (e == nullptr) {
    if (headerLength_ + 12 + room > kHeaderBytes) return false;
    const uint32_t n = Get16(h + 8);
    uint32_t pos = 0;
    while (pos < n && Get16(h + 10 + 12 * pos) < tag) ++pos;
    const uint32_t at = 10 + 12 * pos;
    std::memmove(h + at + 12, h + at, headerLength_ - at);
    Put16(h + 8, n + 1);
    headerLength_ += 12;
    // Values behind the IFD moved on with it.
    for (uint32_t i = 0; i <= n; ++i) {
      uint8_t* o = h + 10 + 12 * i;
      if (i == pos) continue;
      if (uint64_t(Get32(o + 4)) * TypeSize(Get16(o + 2)) > 4 && Get32(o + 8) >= at) {
        Put32(o + 8, Get32(o + 8) + 12);
      }
    }
    e = h + at;
    Put16(e, tag);
  } else if (headerLength_ + room > kHeaderBytes) {
    return false;
  }
  Put16(e + 2, type);
  Put32(e + 4, count);
  std::memset(e + 8, 0, 4);
  if (size <= 4) {
    if (size > 0) std::memcpy(e + 8, value, size);
  } else {
    std::memcpy(h + headerLength_, value, size);
    if (room > size) h[headerLength_ + size] = 0;
    Put32(e + 8, headerLength_);
    headerLength_ += uint32_t(room);
  }
  SyncStripOffsets();
  return true;
}

bool ImageFileWriter::SetNumber(uint16_t tag, uint16_t type, uint32_t value) {
  uint8_t bytes[4] = {0, 0, 0, 0};
  if (type == kShort) {
    Put16(bytes, value);
  } else {
    Put32(bytes, value);
  }
  return SetTag(tag, type, 1, bytes);
}

bool ImageFileWriter::CreateTiff(const void* table, int32_t entries, const char* description) {
  uint8_t* h = header_.get();
  h[0] = 'I';
  h[1] = 'I';
  Put16(h + 2, 42);
  Put32(h + 4, 8);
  Put16(h + 8, 13);
  for (int i = 0; i < 13; ++i) {
    uint8_t* e = h + 10 + 12 * i;
    Put16(e, kTemplate[i].tag);
    Put16(e + 2, kTemplate[i].type);
    Put32(e + 4, kTemplate[i].type == kAscii ? 4 : 1);
    if (kTemplate[i].type == kAscii) std::memcpy(e + 8, "QJX", 4);
  }
  Put32(h + 10 + 12 * 13, 0);  // no further IFD
  headerLength_ = kTiffTemplate;
  rowBytes_ = uint32_t((uint64_t(bits_) * width_ + 7) / 8);
  dataSize_ = uint64_t(rowBytes_) * length_;

  const bool colour = bits_ == 24 || bits_ == 48;
  const bool map = table != nullptr && entries > 0 && bits_ <= 8;
  bool ok = SetNumber(256, kLong, width_) && SetNumber(257, kLong, length_) &&
            SetNumber(259, kShort, 1) && SetNumber(262, kShort, 1) && SetNumber(284, kShort, 1) &&
            SetNumber(254, kLong, 0);
  if (colour) {
    uint8_t three[6];
    for (int i = 0; i < 3; ++i) Put16(three + 2 * i, bits_ / 3);
    ok = ok && SetTag(258, kShort, 3, three) && SetNumber(277, kShort, 3);
  } else {
    ok = ok && SetNumber(258, kShort, bits_) && SetNumber(277, kShort, 1);
  }
  // Lengths beyond a SHORT need the LONG form.
  ok = ok && SetNumber(278, length_ > 0xFFFF ? kLong : kShort, length_);
  // Signed and floating-point samples say so, or readers take them as unsigned.
  if (bits_ == 32 || bits_ == 64) ok = ok && SetNumber(339, kShort, bits_ == 32 ? 2 : 3);
  if (!ok) return false;

  if (description != nullptr) {
    // Cut so that the colour map still fits behind it.
    const uint64_t reserve = (map ? 12 + (uint64_t(3) << bits_) * 2 : 0) + headerLength_ + 2;
    const uint64_t limit = reserve < kHeaderBytes ? kHeaderBytes - reserve : 0;
    const size_t len = strnlen(description, size_t(limit));
    std::vector<char> text(description, description + len);
    text.push_back(0);
    if (!SetTag(270, kAscii, uint32_t(text.size()), text.data())) return false;
  }
  ok = SetNumber(279, kLong, 0);
  SyncStripOffsets();

  if (map) {
    // Red, green and blue planes of 16-bit values, one per possible pixel.
    const uint32_t n = 1u << bits_;
    const auto* t = static_cast<const uint8_t*>(table);
    std::vector<uint8_t> values(size_t(n) * 6, 0);
    for (uint32_t i = 0; i < n && i < uint32_t(entries); ++i) {
      for (int c = 0; c < 3; ++c) Put16(values.data() + 2 * (size_t(c) * n + i), t[4 * i + 2 - c] * 257u);
    }
    ok = ok && SetTag(320, kShort, 3 * n, values.data()) && SetNumber(262, kShort, 3);
  } else if (colour) {
    ok = ok && SetNumber(262, kShort, 2);
  }
  return ok;
}

bool ImageFileWriter::CreateBmp(const void* table, int32_t entries) {
  uint8_t* h = header_.get();
  const uint64_t rows = length_;
  rowBytes_ = uint32_t(((uint64_t(bits_) * width_ + 31) / 32) * 4);
  dataSize_ = uint64_t(rowBytes_) * rows;
  const uint32_t capacity = bits_ <= 8 ? 1u << bits_ : 0;
  const uint32_t count = entries > 0 ? uint32_t(entries) : 0;
  if (count > capacity) return false;
  headerLength_ = kBmpTemplate + 4 * count;
  if (count > 0 && table == nullptr) return false;
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 10, headerLength_);
  Put32(h + 14, 40);
  Put32(h + 18, width_);
  Put32(h + 22, uint32_t(topDown_ ? -int64_t(length_) : int64_t(length_)));
  Put16(h + 26, 1);
  Put16(h + 28, bits_);
  Put32(h + 34, uint32_t(dataSize_));
  Put32(h + 46, count);
  Put32(h + 50, count);
  if (count > 0) std::memcpy(h + kBmpTemplate, table, 4 * size_t(count));
  Put32(h + 2, uint32_t(headerLength_ + dataSize_));
  return true;
}

std::unique_ptr<ImageFileWriter> ImageFileWriter::Create(int32_t format, int32_t bitsPerPixel,
                                                         int32_t width, int32_t length,
                                                         const void* table, int32_t entries,
                                                         const char* description) {
  if ((format != VANTOR_FORMAT_TIFF && format != VANTOR_FORMAT_BMP) || !DepthAllowed(bitsPerPixel) ||
      width < 0 || (format == VANTOR_FORMAT_TIFF && length < 0) || length == INT32_MIN) {
    SetFileErrorOf(err::kParameter, "cannot describe a %d-bit image of %d x %d pixels",
                   bitsPerPixel, width, length);
    return nullptr;
  }
  std::unique_ptr<ImageFileWriter> w(new (std::nothrow) ImageFileWriter);
  if (w) w->header_.reset(new (std::nothrow) uint8_t[kHeaderAlloc]);
  if (!w || !w->header_) {
    SetFileErrorOf(err::kMemory, "out of memory");
    return nullptr;
  }
  std::memset(w->header_.get(), 0, kHeaderAlloc);
  w->format_ = format;
  w->bits_ = uint32_t(bitsPerPixel);
  w->width_ = uint32_t(width);
  w->topDown_ = length < 0;
  w->length_ = uint32_t(length < 0 ? -length : length);
  const bool ok = format == VANTOR_FORMAT_TIFF ? w->CreateTiff(table, entries, description)
                                               : w->CreateBmp(table, entries);
  if (!ok || w->headerLength_ + w->dataSize_ > kFileLimit) {
    SetFileErrorOf(err::kParameter, "%s",
                   ok ? "image too large for the file format" : "header cannot be made");
    return nullptr;
  }
  w->currentOffset_ = 0;
  return w;
}

void ImageFileWriter::AddDescription(const char* text, int32_t length) {
  if (isOpen() || text == nullptr || length < 0) return;
  const size_t len = strnlen(text, size_t(length));
  if (format_ == VANTOR_FORMAT_TIFF) {
    const size_t used = headerLength_ + 12 + 2;
    const size_t limit = used < kHeaderBytes ? kHeaderBytes - used : 0;
    std::vector<char> t(text, text + std::min(len, limit));
    t.push_back(0);
    SetTag(270, kAscii, uint32_t(t.size()), t.data());
    return;
  }
  const uint32_t take = uint32_t(std::min<size_t>(len, (kHeaderBytes - headerLength_) & ~3u));
  const uint32_t padded = (take + 3) & ~3u;
  uint8_t* h = header_.get();
  std::memcpy(h + headerLength_, text, take);
  std::memset(h + headerLength_ + take, 0, padded - take);
  headerLength_ += padded;
  Put32(h + 10, headerLength_);
  Put32(h + 2, uint32_t(std::min<uint64_t>(headerLength_ + dataSize_, kFileLimit)));
}

int32_t ImageFileWriter::MakeFile(const char* path) {
  if (isOpen()) return err::Fail(err::kParameter, "the file of this slot is already made"), -1;
  if (path == nullptr) return err::Fail(err::kParameter, "no path"), -1;
  // Permissions as any new file (0666 less the umask).
  fd_ = ::open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) {
    SetFileErrorOf(err::kFile, "cannot create the file: %s", std::strerror(errno));
    return -1;
  }
  return WriteFirstHeader();
}

int32_t ImageFileWriter::MakeFileFd(int fd) {
  if (isOpen()) return err::Fail(err::kParameter, "the file of this slot is already made"), -1;
  if (fd < 0) return err::Fail(err::kParameter, "no file (descriptor %d)", fd), -1;
  fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (fd_ < 0) {
    SetFileErrorOf(err::kFile, "cannot use the file: %s", std::strerror(errno));
    return -1;
  }
  return WriteFirstHeader();
}

int32_t ImageFileWriter::WriteFirstHeader() {
  if (!PwriteAll(fd_, header_.get(), headerLength_, 0)) {
    SetFileErrorOf(err::kFile, "cannot write the header: %s", std::strerror(errno));
    Close();
    return -1;
  }
  currentOffset_ = headerLength_;
  return 0;
}

bool ImageFileWriter::Append(uint64_t bytes) {
  if (format_ == VANTOR_FORMAT_TIFF) {
    stripBytes_ += uint32_t(bytes);
    if (uint8_t* e = Find(279)) Put32(e + 8, stripBytes_);
  }
  currentOffset_ += bytes;
  return true;
}

int32_t ImageFileWriter::WriteRows(const void* data, int32_t rows) {
  if (!isOpen()) return err::Fail(err::kParameter, "the file of this slot is not made"), -1;
  if (rows < 0 || (data == nullptr && rows > 0))
    return err::Fail(err::kParameter, "%d rows from %p", int(rows), data), -1;
  const uint64_t bytes = uint64_t(rows) * rowBytes_;
  if (currentOffset_ + bytes > kFileLimit) {
    SetFileErrorOf(err::kFile, "file would exceed 4 GB");
    return -1;
  }
  if (!PwriteAll(fd_, data, bytes, currentOffset_)) {
    SetFileErrorOf(err::kFile, "cannot write the pixels: %s", std::strerror(errno));
    return -1;
  }
  Append(bytes);
  return 0;
}

bool ImageFileWriter::WriteGather(const struct iovec* parts, int count) {
  if (!isOpen()) return err::Fail(err::kParameter, "the file of this slot is not made");
  if (count < 0) return err::Fail(err::kParameter, "%d pieces to write", count);
  uint64_t total = 0;
  for (int i = 0; i < count; ++i) total += parts[i].iov_len;
  if (currentOffset_ + total > kFileLimit) {
    SetFileErrorOf(err::kFile, "file would exceed 4 GB");
    return false;
  }
  // Copies of the vector entries: a partial write moves into the middle of one.
  std::vector<struct iovec> v(parts, parts + count);
  const int max = int(std::max<long>(1, std::min<long>(sysconf(_SC_IOV_MAX), 1024)));
  size_t first = 0;
  uint64_t offset = currentOffset_;
  while (first < v.size()) {
    const int n = int(std::min<size_t>(v.size() - first, size_t(max)));
    const ssize_t got = ::pwritev(fd_, v.data() + first, n, off_t(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      SetFileErrorOf(err::kFile, "cannot write the pixels: %s",
                     got < 0 ? std::strerror(errno) : "disk full");
      return false;
    }
    offset += uint64_t(got);
    size_t left = size_t(got);
    while (first < v.size() && left >= v[first].iov_len) left -= v[first++].iov_len;
    if (left > 0) {
      v[first].iov_base = static_cast<uint8_t*>(v[first].iov_base) + left;
      v[first].iov_len -= left;
    }
  }
  Append(total);
  return true;
}

int32_t ImageFileWriter::Rewrite() {
  if (!isOpen()) return err::Fail(err::kParameter, "the file of this slot is not made"), -1;
  uint8_t* h = header_.get();
  const uint64_t data = currentOffset_ - headerLength_;
  const uint32_t rows = rowBytes_ == 0 ? 0 : uint32_t(data / rowBytes_);
  if (format_ == VANTOR_FORMAT_TIFF) {
    if (uint8_t* e = Find(257)) Put32(e + 8, rows);
  } else {
    Put32(h + 2, uint32_t(currentOffset_));
    Put32(h + 22, uint32_t(topDown_ ? -int64_t(rows) : int64_t(rows)));
    Put32(h + 34, uint32_t(data));
  }
  if (!PwriteAll(fd_, h, headerLength_, 0)) {
    SetFileErrorOf(err::kFile, "cannot write the header: %s", std::strerror(errno));
    return -1;
  }
  return 0;
}

namespace {

// A slot's writer.
class SlotImageWriter final : public SlotWriter {
 public:
  explicit SlotImageWriter(std::unique_ptr<ImageFileWriter> w) : writer(std::move(w)) {}
  std::unique_ptr<ImageFileWriter> writer;
};

// Takes a free slot of the readers' table for a file being written.
int16_t TakeWriteSlot(int32_t format, std::unique_ptr<ImageFileWriter> writer) {
  // Made before a slot is taken: a failed allocation must not keep one.
  auto held = std::make_unique<SlotImageWriter>(std::move(writer));
  for (int16_t h = 1; h <= kFileSlots; ++h) {
    Slot& s = SlotTable()[h];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inUse) continue;
    s.inUse = true;
    s.rec = Record{};
    s.rec.format = format;
    s.rec.writer = std::move(held);
    SetCurrentSlot(h);
    return h;
  }
  SetFileErrorOf(err::kFile, "all %d file slots are in use", kFileSlots);
  return 0;
}

// The writer of a slot, locked for the duration of one call.
class Locked {
 public:
  explicit Locked(int16_t slot) {
    if (slot < 1 || slot > kFileSlots) return;
    Slot& s = SlotTable()[slot];
    lock_ = std::unique_lock<std::mutex>(s.mutex);
    SetCurrentSlot(slot);
    if (s.inUse && s.rec.writer) w_ = static_cast<SlotImageWriter*>(s.rec.writer.get())->writer.get();
  }
  ImageFileWriter* operator->() const { return w_; }
  explicit operator bool() const { return w_ != nullptr; }

 private:
  std::unique_lock<std::mutex> lock_;
  ImageFileWriter* w_ = nullptr;
};

bool NotWritten(int16_t slot) {
  return err::Fail(err::kParameter, "slot %d is not being written", int(slot));
}

}  // namespace

bool WriteNextRowsGather(int16_t slot, const struct iovec* parts, int count) {
  Locked w(slot);
  if (!w) return NotWritten(slot);
  return w->WriteGather(parts, count);
}

}  // namespace vantor

using vantor::ImageFileWriter;
using vantor::Locked;

using vantor::FileGuarded;
using vantor::NotWritten;

extern "C" int16_t CreateTheHeader(int32_t format, int32_t bitsPerPixel, int32_t width,
                                   int32_t length, const void* table, int32_t entries,
                                   const char* description) {
  return FileGuarded(__func__, int16_t(0), [&]() -> int16_t {
    vantor::ClearFileError();
    auto w =
        ImageFileWriter::Create(format, bitsPerPixel, width, length, table, entries, description);
    if (!w) return 0;
    return vantor::TakeWriteSlot(format, std::move(w));
  });
}

extern "C" int32_t MakeHeaderFile(int16_t slot, const char* path) {
  return FileGuarded(__func__, int32_t(-1), [&]() -> int32_t {
    Locked w(slot);
    if (!w) return NotWritten(slot), -1;
    return w->MakeFile(path);
  });
}

extern "C" int32_t MakeHeaderFileFd(int16_t slot, int32_t fd) {
  return FileGuarded(__func__, int32_t(-1), [&]() -> int32_t {
    Locked w(slot);
    if (!w) return NotWritten(slot), -1;
    return w->MakeFileFd(fd);
  });
}

extern "C" int32_t WriteNextRows(int16_t slot, const void* data, int32_t rows) {
  return FileGuarded(__func__, int32_t(-1), [&]() -> int32_t {
    Locked w(slot);
    if (!w) return NotWritten(slot), -1;
    return w->WriteRows(data, rows);
  });
}

extern "C" void AddDescription(int16_t slot, const char* text, int32_t length) {
  vantor::err::GuardedVoid(__func__, [&] {
    Locked w(slot);
    if (!w) {
      NotWritten(slot);
      return;
    }
    w->AddDescription(text, length);
  });
}

extern "C" int32_t RewriteHeader(int16_t slot) {
  return FileGuarded(__func__, int32_t(-1), [&]() -> int32_t {
    Locked w(slot);
    if (!w) return NotWritten(slot), -1;
    return w->Rewrite();
  });
}
