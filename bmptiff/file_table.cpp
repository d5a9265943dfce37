// The table of 16 open-file slots, opening and releasing files, and the
// per-thread reason of the last failure.
//
// Each slot has its own mutex: an operation on a handle locks that slot only,
// so threads working on different files never wait for each other. The
// current slot read by the argument-less getters is per thread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"
#include "bmptiff/reader_internal.h"

namespace vantor {
namespace {

thread_local char t_error[256];
thread_local int32_t t_kind = 0;
thread_local uint64_t t_serial = 0;
thread_local bool t_unsupported = false;
thread_local int16_t t_current = 0;

void FormatError(int32_t kind, const char* format, va_list ap) {
  std::vsnprintf(t_error, sizeof t_error, format, ap);
  t_kind = kind;
  ++t_serial;
}

int16_t OpenSlot(const char* path, uint64_t ifdOffset) {
  ClearFileError();
  if (!path) {
    SetFileErrorOf(err::kParameter, "no path");
    return 0;
  }
  for (int16_t h = 1; h <= kFileSlots; ++h) {
    Slot& s = SlotTable()[h];
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.inUse) continue;
    s.inUse = true;
    s.rec = Record{};
    bool opened = false;
    try {
      opened = OpenInto(s.rec, path, ifdOffset);
    } catch (...) {
      // A failed allocation while parsing must not keep the slot.
      s.rec = Record{};
      s.inUse = false;
      throw;
    }
    if (!opened) {
      s.rec = Record{};
      s.inUse = false;
      return 0;
    }
    t_current = h;
    return h;
  }
  SetFileErrorOf(err::kFile, "all %d file slots are in use", kFileSlots);
  return 0;
}

}  // namespace

std::array<Slot, kFileSlots + 1>& SlotTable() {
  static std::array<Slot, kFileSlots + 1> table;
  return table;
}

void SetCurrentSlot(int16_t handle) { t_current = handle; }
int16_t CurrentSlot() { return t_current; }

const char* FileError() { return t_error; }
int32_t FileErrorKind() { return t_error[0] ? t_kind : 0; }
uint64_t FileErrorSerial() { return t_serial; }

void StateFileError() {
  if (t_error[0]) err::Fail(t_kind != 0 ? t_kind : err::kFormat, "%s", t_error);
}

void SetFileError(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  FormatError(err::kFormat, format, ap);
  va_end(ap);
  t_unsupported = false;
}

void SetFileErrorOf(int32_t kind, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  FormatError(kind, format, ap);
  va_end(ap);
  t_unsupported = false;
}

void SetUnsupportedError(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  FormatError(err::kFormat, format, ap);
  va_end(ap);
  t_unsupported = true;
}

bool FileErrorIsUnsupported() { return t_unsupported && t_error[0]; }

void ClearFileError() {
  t_error[0] = 0;
  t_kind = 0;
  t_unsupported = false;
}

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

bool OpenInto(Record& r, const char* path, uint64_t ifdOffset) {
  r.header.reset(new (std::nothrow) uint8_t[kHeaderAlloc]);
  if (!r.header) {
    SetFileErrorOf(err::kMemory, "out of memory");
    return false;
  }
  std::memset(r.header.get(), 0, kHeaderAlloc);
  // Read-only: the readers never write.
  r.fd = Fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (r.fd.get() < 0) {
    SetFileErrorOf(err::kFile, "cannot open the file: %s", std::strerror(errno));
    return false;
  }
  struct stat st;
  if (::fstat(r.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    SetFileErrorOf(err::kFile, "not a regular file");
    return false;
  }
  r.fileSize = uint64_t(st.st_size);
  r.buffered = uint32_t(std::min<uint64_t>(r.fileSize, kHeaderBytes));
  if (!PreadAll(r.fd.get(), r.header.get(), r.buffered, 0)) {
    SetFileErrorOf(err::kFile, "cannot read the file header");
    return false;
  }
  const uint8_t* b = r.header.get();
  if (r.buffered >= 2 && ((b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M'))) {
    r.format = VANTOR_FORMAT_TIFF;
    return ParseTiff(r, ifdOffset);
  }
  if (r.buffered >= 2 && b[0] == 'B' && b[1] == 'M' && ifdOffset == 0) {
    r.format = VANTOR_FORMAT_BMP;
    return ParseBmp(r);
  }
  SetFileError("unknown file format");
  return false;
}

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

int16_t ReadFileHeaderAt(const char* path, uint64_t ifdOffset) {
  return FileGuarded("ReadFileHeader", int16_t(0),
                     [&]() -> int16_t { return OpenSlot(path, ifdOffset); });
}

}  // namespace vantor

using namespace vantor;

extern "C" {

int16_t ReadFileHeader(const char* path) {
  return FileGuarded(__func__, int16_t(0), [&]() -> int16_t { return OpenSlot(path, 0); });
}

int32_t FreeTheData(int16_t handle) {
  if (handle >= 1 && handle <= kFileSlots) {
    Slot& s = SlotTable()[handle];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inUse) {
      s.rec = Record{};
      s.inUse = false;
    }
  }
  int32_t free = 0;
  for (int h = 1; h <= kFileSlots; ++h) {
    Slot& s = SlotTable()[h];
    std::lock_guard<std::mutex> lock(s.mutex);
    free += s.inUse ? 0 : 1;
  }
  return free;
}

int32_t ClearAllTB(void) {
  int32_t freed = 0;
  for (int h = 1; h <= kFileSlots; ++h) {
    Slot& s = SlotTable()[h];
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.inUse) {
      s.rec = Record{};
      s.inUse = false;
      ++freed;
    }
  }
  return freed;
}

}  // extern "C"
