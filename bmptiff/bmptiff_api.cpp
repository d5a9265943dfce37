// The C interface of the readers on an open file: header summary, getters,
// row positioning and reading, colour tables and TIFF tags. Opening and
// releasing are in file_table.cpp, the header text in header_text.cpp.
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>

#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"
#include "bmptiff/tiff_tags.h"

using namespace vantor;

namespace {

bool NotInUse(const char* operation, int16_t handle) {
  return err::Report(operation, err::kParameter, "file handle %d is not in use", int(handle));
}

}  // namespace

extern "C" {

int32_t HeaderFormat(int16_t handle) {
  SlotRef s(handle);
  if (!s) return NotInUse(__func__, handle), 0;
  return s.rec().format;
}

int32_t GetHeaderInfo(int16_t handle, uint16_t* bitsPerPixel, uint32_t* width, uint32_t* length,
                      char* description, int32_t* descriptionLength, uint16_t* compression,
                      uint32_t* formatWord) {
  return FileGuarded(__func__, int32_t(0), [&]() -> int32_t {
    int32_t room = descriptionLength ? *descriptionLength : 0;
    if (description && room > 0) description[0] = 0;
    SlotRef s(handle);
    if (!s) {
      if (descriptionLength) *descriptionLength = 0;
      return err::Fail(err::kParameter, "file handle %d is not in use", int(handle)), 0;
    }
    Record& r = s.rec();
    if (bitsPerPixel) *bitsPerPixel = uint16_t(std::min<uint32_t>(r.bitsPerPixel, 0xFFFF));
    if (width) *width = r.width;
    if (length) *length = r.length;
    if (compression) *compression = uint16_t(std::min<uint32_t>(r.compression, 0xFFFF));
    if (formatWord) {
      uint32_t low = 0x4D42;
      if (r.format == VANTOR_FORMAT_TIFF)
        low = r.photometricPresent
                  ? (r.photometric & 0xFFFF)
                  : (r.bitsPerPixel == 24 || r.bitsPerPixel == 48 ? tiff::kRgb : tiff::kMinIsBlack);
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
  });
}

#define VANTOR_GETTER(name, expr)                     \
  uint32_t name(void) {                               \
    SlotRef s(CurrentSlot());                         \
    if (!s) return NotInUse(#name, CurrentSlot()), 0; \
    const Record& r = s.rec();                        \
    return (expr);                                    \
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
  if (!s) return NotInUse(__func__, handle), -1;
  Record& r = s.rec();
  if (row < 0 || uint32_t(row) > r.length)
    return err::Report(__func__, err::kParameter, "row %d lies outside the %u rows of the file",
                       int(row), unsigned(r.length)),
           -1;
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
  return err::Report(__func__, err::kFormat, "row %d lies past the last strip", int(row)), -1;
}

int32_t ReadNextRows(int16_t handle, void* buffer, int32_t rows, uint32_t* bytesRead) {
  return FileGuardedWhen(
      __func__, int32_t(-1), [](int32_t r) { return r < 0; },
      [&]() -> int32_t {
        if (bytesRead) *bytesRead = 0;
        SlotRef s(handle);
        if (!s) {
          SetFileErrorOf(err::kParameter, "file handle not in use");
          return -1;
        }
        if (!buffer || rows < 0)
          return err::Fail(err::kParameter, "%d rows into buffer %p", int(rows), buffer), -1;
        Record& r = s.rec();
        auto* out = static_cast<uint8_t*>(buffer);
        return r.format == VANTOR_FORMAT_BMP ? ReadBmpRows(r, out, uint32_t(rows), bytesRead)
                                             : ReadTiffRows(r, out, uint32_t(rows), bytesRead);
      });
}

int32_t GetLUTinfo(int16_t handle, const void** table, int32_t* entries, int32_t* byteSize) {
  if (table) *table = nullptr;
  if (entries) *entries = 0;
  if (byteSize) *byteSize = 0;
  SlotRef s(handle);
  if (!s) return NotInUse(__func__, handle), 0;
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
  return FileGuardedWhen(
      __func__, int32_t(-1), [](int32_t r) { return r < 0; },
      [&]() -> int32_t {
        SlotRef s(handle);
        if (!s) return err::Fail(err::kParameter, "file handle %d is not in use", int(handle)), -1;
        Record& r = s.rec();
        uint8_t* e = FindEntry(r, tag);
        if (!e) return 0;
        uint16_t t = Ld16(e + 2);
        uint32_t n = Ld32(e + 4);
        uint64_t size = uint64_t(n) * tiff::TypeSize(t);
        if (type) *type = t;
        if (count) *count = n;
        // Values are handed out from aligned storage: IFD entries are only
        // 2-byte aligned.
        const void* address = &r.widened;
        if (size > 4) {
          if (size > INT32_MAX)
            return err::Fail(err::kFormat, "TIFF tag %u holds %llu bytes", unsigned(tag),
                             static_cast<unsigned long long>(size)),
                   -1;
          if (!FetchValue(r, e, r.valueStore)) return -1;
          address = r.valueStore.data();
        } else if ((t == tiff::kShort || t == tiff::kSShort) && n == 1) {
          r.widened =
              t == tiff::kShort ? uint32_t(Ld16(e + 8)) : uint32_t(int32_t(int16_t(Ld16(e + 8))));
        } else {
          r.widened = Ld32(e + 8);
        }
        if (value) *value = address;
        return size > 1 ? int32_t(size) : 1;
      });
}

int32_t TIFFtagValuePnt(int16_t handle, uint16_t tag, void** valueField) {
  if (valueField) *valueField = nullptr;
  SlotRef s(handle);
  if (!s) return NotInUse(__func__, handle), 0;
  uint8_t* e = FindEntry(s.rec(), tag);
  if (!e) return 0;
  if (valueField) *valueField = e + 8;
  return 1;
}

int32_t GetImageFileInfo(const char* path, uint16_t* bitsPerPixel, uint32_t* width,
                         uint32_t* length, char* description, int32_t* descriptionLength) {
  return FileGuarded(__func__, int32_t(0), [&]() -> int32_t {
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
  });
}

}  // extern "C"
