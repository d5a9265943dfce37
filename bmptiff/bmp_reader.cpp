// The BMP side of the readers: the header into the per-file record, and the
// decoding of 8-bit run-length pixel data. Uncompressed rows go through the
// common row reader.
#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"

namespace vantor {
namespace {

// BMP compression values.
constexpr uint32_t kBmpRgb = 0;
constexpr uint32_t kBmpRle8 = 1;
constexpr uint32_t kBmpRle4 = 2;
constexpr uint32_t kBmpBitfields = 3;

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
    } else if (v == 0) {  // end of line
      ++row;
      if (row >= rows) {
        pos = area;
        result = 1;
        break;
      }
      pos = uint64_t(row) * rowBytes;
    } else if (v == 1) {  // end of bitmap
      result = 0;
      break;
    } else if (v == 2) {  // move
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
    } else {  // literal bytes, padded to an even count
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

}  // namespace

bool BmpIsPlain(const Record& r) { return r.compression == kBmpRgb || r.compression == kBmpBitfields; }

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
  // Pixels read from the headers would be a picture of the headers.
  if (dataOffset < 14 + uint64_t(infoSize)) {
    SetFileError("pixel data inside the header: BMP pixel data offset %u, the headers end at %llu",
                 unsigned(dataOffset), static_cast<unsigned long long>(14 + uint64_t(infoSize)));
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
  bool compressed = compression == kBmpRle8 || compression == kBmpRle4;
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
  if (compression == kBmpBitfields && infoSize == 40) commentAt += 12;  // the three colour masks
  uint64_t commentEnd = std::min<uint64_t>({dataOffset, r.buffered, kHeaderBytes});
  if (commentEnd >= commentAt + 2) {
    r.commentStart = uint32_t(commentAt);
    r.commentLength = uint32_t(commentEnd - commentAt);
  }
  return true;
}

int32_t ReadBmpRows(Record& r, uint8_t* buffer, uint32_t rows, uint32_t* bytesRead) {
  const bool plain = BmpIsPlain(r);
  const bool rle8 = r.compression == kBmpRle8 && r.bitsPerPixel == 8;
  if (!plain && !rle8) {
    SetFileError("BMP compression %u is not supported", unsigned(r.compression));
    return -1;
  }
  if (r.currentOffset > r.fileSize) {
    SetFileError("BMP read position past the end of the file");
    return -1;
  }
  if (plain) return ReadPlainBmpRows(r, buffer, rows, bytesRead);
  const uint64_t remaining = r.fileSize - r.currentOffset;
  std::vector<uint8_t> in;
  try {
    in.resize(remaining + 16);
  } catch (...) {
    SetFileErrorOf(err::kMemory, "out of memory");
    return -1;
  }
  if (!PreadAll(r.fd.get(), in.data(), remaining, r.currentOffset)) {
    SetFileErrorOf(err::kFile, "BMP file cannot be read");
    return -1;
  }
  return DecodeRle8(in.data(), remaining, buffer, rows, r.rowBytes, bytesRead);
}

}  // namespace vantor
