// The per-file record of an open TIFF or BMP file, the slot table that holds
// 16 of them, and the byte helpers the parsers share. Internal to bmptiff/.
#ifndef VANTOR_BMPTIFF_FILE_RECORD_H
#define VANTOR_BMPTIFF_FILE_RECORD_H

#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vantor {

constexpr int kFileSlots = 16;
constexpr uint32_t kHeaderBytes = 8192;     // bytes of the file start kept in memory
constexpr uint32_t kHeaderAlloc = 8224;     // allocation, with a little slack
constexpr uint32_t kIfdRereadBytes = 8184;  // an IFD read on its own lands at buffer + 8

// Owns a POSIX file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
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

// The state of a file being written in a slot (bmptiff_write.cpp); the slot
// owns it, and releasing the slot closes the file.
class SlotWriter {
 public:
  virtual ~SlotWriter() = default;
};

struct Record {
  std::unique_ptr<uint8_t[]> header;  // kHeaderAlloc bytes: the start of the file
  Fd fd;
  int32_t format = 0;
  uint64_t fileSize = 0;
  uint32_t buffered = 0;              // file bytes held at the start of header
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
  // Writing
  std::unique_ptr<SlotWriter> writer;
};

struct Slot {
  std::mutex mutex;
  bool inUse = false;
  Record rec;
};

// The table, index 0 unused.
std::array<Slot, kFileSlots + 1>& SlotTable();

// Makes handle the calling thread's current slot (read by the getters).
void SetCurrentSlot(int16_t handle);
int16_t CurrentSlot();

// Locks a slot that is in use and makes it the thread's current slot.
class SlotRef {
 public:
  explicit SlotRef(int16_t handle) {
    if (handle < 1 || handle > kFileSlots) return;
    Slot& s = SlotTable()[handle];
    lock_ = std::unique_lock<std::mutex>(s.mutex);
    SetCurrentSlot(handle);
    if (s.inUse) slot_ = &s;
  }
  explicit operator bool() const { return slot_ != nullptr; }
  Record& rec() { return slot_->rec; }

 private:
  std::unique_lock<std::mutex> lock_;
  Slot* slot_ = nullptr;
};

// Opens path into r and parses its header; false with the reason set. A
// nonzero ifdOffset parses the TIFF IFD there instead of the header's first.
bool OpenInto(Record& r, const char* path, uint64_t ifdOffset = 0);

// Format parsers, called by OpenInto with the file start in r.header.
bool ParseTiff(Record& r, uint64_t ifdOffset);
bool ParseBmp(Record& r);

// TIFF IFD access.
uint8_t* FindEntry(Record& r, uint16_t tag);
bool FetchValue(Record& r, const uint8_t* entry, std::vector<uint8_t>& out);

// ReadNextRows for each format (results as there). Uncompressed rows of both
// go through the one row reader (row_reader.cpp); run-length BMP rows are
// decoded in bmp_reader.cpp.
int32_t ReadTiffRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead);
int32_t ReadBmpRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead);
int32_t ReadPlainBmpRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead);
bool BmpIsPlain(const Record& r);  // uncompressed (or bit-field) BMP pixels

// Readable descriptions.
const char* CompressionName(uint32_t compression);
std::string Description(Record& r);
std::string HeaderText(Record& r);

// ---- byte helpers ----------------------------------------------------------

inline uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
inline uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline uint16_t Be16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t Be32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t Ld16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline uint32_t Ld32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void St16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void Swap16At(uint8_t* p) { std::swap(p[0], p[1]); }
inline void Swap32At(uint8_t* p) {
  std::swap(p[0], p[3]);
  std::swap(p[1], p[2]);
}

// Reads exactly size bytes at offset; false on error or end of file.
bool PreadAll(int fd, void* buffer, uint64_t size, uint64_t offset);

}  // namespace vantor

#endif
