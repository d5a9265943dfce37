// Small TIFF and BMP writers for the tests, independent of the readers: they
// lay files out byte by byte, so that tests can also build damaged ones.
#ifndef VANTOR_BMPTIFF_TEST_IMAGE_FILES_H
#define VANTOR_BMPTIFF_TEST_IMAGE_FILES_H

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace vantor::testfiles {

using Bytes = std::vector<uint8_t>;

// A file in the test's temporary folder, removed when the object dies.
class TempFile {
 public:
  explicit TempFile(const Bytes& bytes, const char* suffix = ".img") {
    static int serial = 0;
    char name[256];
    std::snprintf(name, sizeof name, "/tmp/vantor_test_%d_%d_%p%s", int(getpid()), serial++,
                  static_cast<void*>(this), suffix);
    path_ = name;
    FILE* f = std::fopen(name, "wb");
    if (f) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
      std::fclose(f);
    }
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

class ByteSink {
 public:
  explicit ByteSink(bool bigEndian) : big_(bigEndian) {}
  void U8(uint32_t v) { b_.push_back(uint8_t(v)); }
  void U16(uint32_t v) {
    if (big_) {
      U8(v >> 8);
      U8(v);
    } else {
      U8(v);
      U8(v >> 8);
    }
  }
  void U32(uint32_t v) {
    if (big_) {
      U16(v >> 16);
      U16(v);
    } else {
      U16(v);
      U16(v >> 16);
    }
  }
  void Raw(const Bytes& v) { b_.insert(b_.end(), v.begin(), v.end()); }
  void PadTo(size_t n) {
    if (b_.size() < n) b_.resize(n, 0);
  }
  size_t size() const { return b_.size(); }
  Bytes& bytes() { return b_; }

 private:
  bool big_;
  Bytes b_;
};

// One IFD entry: SHORT (3), LONG (4) and RATIONAL (5, values in pairs) take
// numbers, ASCII (2) takes text. count overrides the natural count when set.
struct TiffTag {
  TiffTag(uint16_t tag_, uint16_t type_, std::vector<uint32_t> values_, std::string text_ = {},
          int64_t count_ = -1, int64_t forcedOffset_ = -1)
      : tag(tag_), type(type_), values(std::move(values_)), text(std::move(text_)),
        count(count_), forcedOffset(forcedOffset_) {}
  uint16_t tag;
  uint16_t type;
  std::vector<uint32_t> values;
  std::string text;
  int64_t count;
  int64_t forcedOffset;  // write this as the value offset (damaged files)
};

struct TiffLayout {
  bool bigEndian = false;
  uint32_t width = 1;
  uint32_t length = 1;
  std::vector<uint32_t> bitsPerSample{8};  // empty: no BitsPerSample tag
  uint32_t rowsPerStrip = 0;                // 0: one strip
  uint32_t compression = 1;
  int32_t photometric = -1;                 // -1: no tag
  bool stripByteCounts = true;
  uint16_t stripType = 4;                   // LONG or SHORT offsets and counts
  uint32_t ifdAt = 0;                       // 0: after the pixels
  size_t padTo = 0;                         // final file size at least this
  Bytes pixels;                             // file order, one strip after another
  std::vector<TiffTag> extra;
};

inline uint32_t TiffRowBytes(const TiffLayout& s) {
  uint32_t bits = 0;
  for (uint32_t b : s.bitsPerSample) bits += b;
  if (s.bitsPerSample.empty()) bits = 1;
  return (bits * s.width + 7) / 8;
}

inline Bytes MakeTiff(const TiffLayout& s) {
  const uint32_t rowBytes = TiffRowBytes(s);
  const uint32_t rps = s.rowsPerStrip ? s.rowsPerStrip : std::max<uint32_t>(s.length, 1);
  const uint32_t strips = std::max<uint32_t>(1, (s.length + rps - 1) / rps);
  std::vector<uint32_t> counts(strips);
  for (uint32_t i = 0; i < strips; ++i) {
    uint32_t rows = std::min(rps, s.length - std::min(s.length, i * rps));
    counts[i] = rows * rowBytes;
  }
  if (strips == 1) counts[0] = uint32_t(s.pixels.size());

  std::vector<TiffTag> tags = s.extra;
  tags.push_back({256, 4, {s.width}});
  tags.push_back({257, 4, {s.length}});
  if (!s.bitsPerSample.empty()) {
    tags.push_back({258, 3, s.bitsPerSample});
    if (s.bitsPerSample.size() > 1) tags.push_back({277, 3, {uint32_t(s.bitsPerSample.size())}});
  }
  tags.push_back({259, 3, {s.compression}});
  if (s.photometric >= 0) tags.push_back({262, 3, {uint32_t(s.photometric)}});
  tags.push_back({273, s.stripType, std::vector<uint32_t>(strips, 0)});
  tags.push_back({278, 4, {rps}});
  if (s.stripByteCounts) tags.push_back({279, s.stripType, counts});
  std::stable_sort(tags.begin(), tags.end(),
            [](const TiffTag& a, const TiffTag& b) { return a.tag < b.tag; });

  auto typeSize = [](uint16_t t) { return t == 3 ? 2u : t == 5 ? 8u : t == 2 ? 1u : 4u; };
  auto natural = [](const TiffTag& t) -> uint64_t {
    if (t.type == 2) return t.text.size() + 1;
    if (t.type == 5) return t.values.size() / 2;
    return t.values.size();
  };
  const uint32_t ifdSize = 2 + 12 * uint32_t(tags.size()) + 4;
  uint32_t valuesSize = 0;
  for (const TiffTag& t : tags) {
    uint32_t size = uint32_t(natural(t)) * typeSize(t.type);
    if (size > 4) valuesSize += (size + 1) & ~1u;
  }
  uint32_t pixelsAt, ifdAt;
  if (s.ifdAt) {
    ifdAt = s.ifdAt;
    pixelsAt = ifdAt + ifdSize + valuesSize;
  } else {
    pixelsAt = 8;
    ifdAt = 8 + ((uint32_t(s.pixels.size()) + 1) & ~1u);
  }
  std::vector<uint32_t> offsets(strips);
  for (uint32_t i = 0, at = pixelsAt; i < strips; ++i) {
    offsets[i] = at;
    at += counts[i];
  }
  for (TiffTag& t : tags)
    if (t.tag == 273) t.values = offsets;

  ByteSink out(s.bigEndian);
  out.U8(s.bigEndian ? 'M' : 'I');
  out.U8(s.bigEndian ? 'M' : 'I');
  out.U16(42);
  out.U32(ifdAt);
  if (!s.ifdAt) {
    out.Raw(s.pixels);
  }
  out.PadTo(ifdAt);
  uint32_t valueAt = ifdAt + ifdSize;
  std::vector<const TiffTag*> longValues;
  out.U16(uint32_t(tags.size()));
  for (const TiffTag& t : tags) {
    uint64_t n = natural(t);
    uint32_t size = uint32_t(n) * typeSize(t.type);
    out.U16(t.tag);
    out.U16(t.type);
    out.U32(uint32_t(t.count >= 0 ? uint64_t(t.count) : n));
    if (size > 4) {
      out.U32(t.forcedOffset >= 0 ? uint32_t(t.forcedOffset) : valueAt);
      valueAt += (size + 1) & ~1u;
      longValues.push_back(&t);
    } else {
      size_t start = out.size();
      if (t.type == 2) {
        for (char c : t.text) out.U8(uint8_t(c));
        out.U8(0);
      } else if (t.type == 3) {
        for (uint32_t v : t.values) out.U16(v);
      } else {
        for (uint32_t v : t.values) out.U32(v);
      }
      out.PadTo(start + 4);
    }
  }
  out.U32(0);
  for (const TiffTag* t : longValues) {
    size_t start = out.size();
    if (t->type == 2) {
      for (char c : t->text) out.U8(uint8_t(c));
      out.U8(0);
    } else if (t->type == 3) {
      for (uint32_t v : t->values) out.U16(v);
    } else {
      for (uint32_t v : t->values) out.U32(v);
    }
    if ((out.size() - start) & 1) out.U8(0);
  }
  if (s.ifdAt) {
    out.PadTo(pixelsAt);
    out.Raw(s.pixels);
  }
  out.PadTo(s.padTo);
  return out.bytes();
}

struct BmpLayout {
  int32_t width = 1;
  int32_t height = 1;                // negative: top-down
  uint16_t bitsPerPixel = 8;
  uint32_t compression = 0;
  int64_t imageSize = -1;            // -1: the computed size
  uint32_t colorsUsed = 0;
  uint32_t importantColors = 0;
  int32_t ppmX = 0, ppmY = 0;
  std::vector<uint32_t> palette;     // 0x00RRGGBB entries
  std::string comment;               // between palette and pixels
  Bytes pixels;                      // file order, rows padded to 4 bytes
};

inline uint32_t BmpRowBytes(int32_t width, uint32_t bits) {
  return ((bits * uint32_t(width) + 31) / 32) * 4;
}

inline Bytes MakeBmp(const BmpLayout& s) {
  const uint32_t dataOffset = 54 + 4 * uint32_t(s.palette.size()) +
                              ((uint32_t(s.comment.size()) + 3) & ~3u);
  const uint32_t height = uint32_t(s.height < 0 ? -s.height : s.height);
  const uint32_t computed = BmpRowBytes(s.width, s.bitsPerPixel) * height;
  ByteSink out(false);
  out.U8('B');
  out.U8('M');
  out.U32(dataOffset + uint32_t(s.pixels.size()));
  out.U32(0);
  out.U32(dataOffset);
  out.U32(40);
  out.U32(uint32_t(s.width));
  out.U32(uint32_t(s.height));
  out.U16(1);
  out.U16(s.bitsPerPixel);
  out.U32(s.compression);
  out.U32(s.imageSize >= 0 ? uint32_t(s.imageSize) : computed);
  out.U32(uint32_t(s.ppmX));
  out.U32(uint32_t(s.ppmY));
  out.U32(s.colorsUsed);
  out.U32(s.importantColors);
  for (uint32_t c : s.palette) out.U32(c);
  for (char c : s.comment) out.U8(uint8_t(c));
  out.PadTo(dataOffset);
  out.Raw(s.pixels);
  return out.bytes();
}

// Bytes 0, 1, 2, ... (mod 251) as stand-in pixel data.
inline Bytes Ramp(size_t n, uint32_t seed = 0) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = uint8_t((i + seed) % 251);
  return b;
}

}  // namespace vantor::testfiles

#endif
