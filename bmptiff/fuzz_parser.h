// The body shared by the TIFF and BMP parser fuzz targets: everything a caller
// can do with an open file, with buffers sized as the interface asks, so that
// the sanitizers catch any access outside them.
#ifndef VANTOR_BMPTIFF_FUZZ_PARSER_H
#define VANTOR_BMPTIFF_FUZZ_PARSER_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/fuzz_input_file.h"

namespace vantor::fuzz {

inline void Exercise(int16_t h) {
  char text[300];
  int32_t len = sizeof text;
  uint16_t bpp = 0, compression = 0;
  uint32_t width = 0, length = 0, word = 0;
  GetHeaderInfo(h, &bpp, &width, &length, text, &len, &compression, &word);
  const void* table = nullptr;
  int32_t entries = 0, bytes = 0;
  GetLUTinfo(h, &table, &entries, &bytes);
  if (table && bytes > 0) {
    volatile uint8_t sum = 0;
    for (int32_t i = 0; i < bytes; ++i) sum = uint8_t(sum + static_cast<const uint8_t*>(table)[i]);
  }
  static const uint16_t kTags[] = {254, 256, 257, 258, 259, 262, 270, 273, 277, 278, 279, 282, 320};
  for (uint16_t tag : kTags) {
    uint16_t type = 0;
    uint32_t count = 0;
    const void* value = nullptr;
    int32_t size = GiveTIFFtag(h, tag, &type, &count, &value);
    if (size > 0 && value && size <= (1 << 20)) {
      volatile uint8_t sum = 0;
      for (int32_t i = 0; i < size; ++i) sum = uint8_t(sum + static_cast<const uint8_t*>(value)[i]);
    }
  }
  uint32_t rowBytes = GetTheRowBytes();
  uint32_t rows = GetTheLength();
  if (rowBytes == 0 || uint64_t(rowBytes) * 4 > (16u << 20)) return;
  std::vector<uint8_t> buf(uint64_t(rowBytes) * 4);
  SetRowOffset(h, int32_t(rows / 2));
  for (int i = 0; i < 8; ++i) {
    uint32_t got = 0;
    if (ReadNextRows(h, buf.data(), 4, &got) != 1) break;
  }
  SetRowOffset(h, 0);
  ReadNextRows(h, buf.data(), 1, nullptr);
  if (rows > 0 && uint64_t(rowBytes) * rows <= (16u << 20)) {
    std::vector<uint8_t> all(uint64_t(rowBytes) * rows);
    vantor::ReadRowsInto(h, all.data() + uint64_t(rowBytes) * (rows - 1), -int64_t(rowBytes), rows);
  }
}


// Opens the input as a file, exercises it and shows its header.
inline void RunParser(std::vector<uint8_t>& bytes) {
  vantor::FuzzInputFile file(bytes.data(), bytes.size());
  if (!file.ok()) return;
  int16_t h = ReadFileHeader(file.path());
  if (h) {
    Exercise(h);
    FreeTheData(h);
  }
  char text[256];
  ShowFileHeader(file.path(), text, sizeof text);
}

}  // namespace vantor::fuzz

#endif
