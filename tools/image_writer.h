// Minimal writers of uncompressed little-endian TIFF and bottom-up BMP files,
// for the sample generator and the tests (the library itself only reads).
#ifndef VANTOR_TOOLS_IMAGE_WRITER_H
#define VANTOR_TOOLS_IMAGE_WRITER_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vantor::tools {

inline void Put16(std::string& s, uint16_t v) { s.append(reinterpret_cast<const char*>(&v), 2); }
inline void Put32(std::string& s, uint32_t v) { s.append(reinterpret_cast<const char*>(&v), 4); }

inline bool SaveBytes(const std::string& path, const std::string& bytes) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  return std::fclose(out) == 0 && ok;
}

// Writes a one-strip TIFF of `samples` channels of `bits` (8 or 16) bits each;
// `pixels` holds the rows top row first, packed, samples interleaved, 16-bit
// values little-endian.
inline bool WriteTiff(const std::string& path, const std::vector<uint8_t>& pixels, uint32_t w,
                      uint32_t h, uint16_t bits = 8, uint16_t samples = 1) {
  std::string f = "II";
  Put16(f, 42);
  Put32(f, 8);
  const uint16_t entries = 9;
  // BitsPerSample with 3 values lies after the IFD, the pixels after that.
  const uint32_t bitsOffset = 8 + 2 + entries * 12 + 4;
  const uint32_t dataOffset = bitsOffset + (samples > 1 ? 8 : 0);
  Put16(f, entries);
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    Put16(f, tag);
    Put16(f, type);
    Put32(f, count);
    if (type == 3 && count == 1) {
      Put16(f, static_cast<uint16_t>(value));
      Put16(f, 0);
    } else {
      Put32(f, value);
    }
  };
  entry(256, 4, 1, w);
  entry(257, 4, 1, h);
  entry(258, 3, samples, samples > 1 ? bitsOffset : bits);
  entry(259, 3, 1, 1);
  entry(262, 3, 1, samples > 1 ? 2 : 1);
  entry(273, 4, 1, dataOffset);
  entry(277, 3, 1, samples);
  entry(278, 4, 1, h);
  entry(279, 4, 1, static_cast<uint32_t>(pixels.size()));
  Put32(f, 0);
  if (samples > 1) {
    for (int i = 0; i < 4; ++i) Put16(f, i < samples ? bits : 0);
  }
  f.append(reinterpret_cast<const char*>(pixels.data()), pixels.size());
  return SaveBytes(path, f);
}

// Writes a multi-page grey TIFF: one uncompressed page per entry of pages
// (each w x h samples of `bits` bits, top row first, little-endian; bits 32
// means IEEE float samples), every page's directory chained to the next.
inline bool WriteTiffPages(const std::string& path, const std::vector<std::vector<uint8_t>>& pages,
                           uint32_t w, uint32_t h, uint16_t bits) {
  std::string f = "II";
  Put16(f, 42);
  Put32(f, 8);
  const uint16_t entries = bits == 32 ? 10 : 9;
  const uint32_t ifdSize = 2 + entries * 12 + 4;
  for (size_t p = 0; p < pages.size(); ++p) {
    const uint32_t here = static_cast<uint32_t>(f.size());
    const uint32_t data = here + ifdSize;
    const uint32_t next = p + 1 < pages.size() ? data + static_cast<uint32_t>(pages[p].size()) : 0;
    Put16(f, entries);
    auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
      Put16(f, tag);
      Put16(f, type);
      Put32(f, 1);
      if (type == 3) {
        Put16(f, static_cast<uint16_t>(value));
        Put16(f, 0);
      } else {
        Put32(f, value);
      }
    };
    entry(256, 4, w);
    entry(257, 4, h);
    entry(258, 3, bits);
    entry(259, 3, 1);
    entry(262, 3, 1);
    entry(273, 4, data);
    entry(277, 3, 1);
    entry(278, 4, h);
    entry(279, 4, static_cast<uint32_t>(pages[p].size()));
    if (bits == 32) entry(339, 3, 3);  // SampleFormat: IEEE floating point
    Put32(f, next);
    f.append(reinterpret_cast<const char*>(pages[p].data()), pages[p].size());
  }
  return SaveBytes(path, f);
}

// Writes a 24-bit BMP; `bgrTopFirst` holds the rows top row first, 3 bytes
// (blue, green, red) per pixel, packed.
inline bool WriteBmp24(const std::string& path, const std::vector<uint8_t>& bgrTopFirst,
                       uint32_t w, uint32_t h) {
  const uint32_t rowBytes = (w * 3 + 3) / 4 * 4;
  std::string f = "BM";
  Put32(f, 54 + rowBytes * h);
  Put32(f, 0);
  Put32(f, 54);
  Put32(f, 40);
  Put32(f, w);
  Put32(f, h);
  Put16(f, 1);
  Put16(f, 24);
  Put32(f, 0);
  Put32(f, rowBytes * h);
  Put32(f, 2835);
  Put32(f, 2835);
  Put32(f, 0);
  Put32(f, 0);
  for (uint32_t y = 0; y < h; ++y) {
    const uint8_t* row = bgrTopFirst.data() + static_cast<size_t>(h - 1 - y) * w * 3;
    f.append(reinterpret_cast<const char*>(row), w * 3);
    f.append(rowBytes - w * 3, '\0');
  }
  return SaveBytes(path, f);
}

}  // namespace vantor::tools

#endif
