// Readable descriptions of an open file: the TIFF ImageDescription or BMP
// comment, the names of compression and photometric values, and the header
// text of ShowFileHeader (a diagnostic).
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/file_record.h"
#include "bmptiff/tiff_tags.h"

namespace vantor {
namespace {

using namespace tiff;

const char* PhotometricName(uint32_t p) {
  switch (p) {
    case kMinIsWhite: return "WhiteIsZero";
    case kMinIsBlack: return "BlackIsZero";
    case kRgb: return "RGB";
    case kPalette: return "Palette color";
    case kMask: return "Transparency mask";
    case kSeparated: return "CMYK";
    case kYCbCr: return "YCbCr";
    case kCieLab: return "CIELab";
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

}  // namespace

const char* CompressionName(uint32_t c) {
  switch (c) {
    case kNone: return "none";
    case kCcittRle: return "CCITT modified Huffman";
    case kCcittFax3: return "CCITT group 3 fax";
    case kCcittFax4: return "CCITT group 4 fax";
    case kLzw: return "LZW";
    case kOldJpeg: return "old-style JPEG";
    case kJpeg: return "JPEG";
    case kAdobeDeflate: case kDeflate: return "Deflate";
    case kPackBits: return "PackBits";
    case kLzma: return "LZMA";
    case kZstd: return "zstd";
    case kWebp: return "WebP";
    default: return "unknown";
  }
}

const char* TiffCompressionName(uint32_t compression) { return CompressionName(compression); }

std::string Description(Record& r) {
  if (r.format == VANTOR_FORMAT_BMP) {
    if (!r.commentLength) return {};
    const char* p = reinterpret_cast<const char*>(r.header.get() + r.commentStart);
    return std::string(p, strnlen(p, r.commentLength));
  }
  const uint8_t* e = FindEntry(r, kImageDescription);
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
    if (r.planar != kPlanarContig) Appendf(s, "\nPlanarConfiguration : %u", unsigned(r.planar));
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

}  // namespace vantor

using namespace vantor;

namespace {

// Releases a slot on every way out (a failed allocation included).
struct SlotRelease {
  int16_t handle;
  ~SlotRelease() {
    if (handle) FreeTheData(handle);
  }
};

}  // namespace

extern "C" int32_t ShowFileHeader(const char* path, char* text, int32_t length) {
  return FileGuarded(__func__, int32_t(0), [&]() -> int32_t {
    std::string s;
    int32_t format = 0;
    const SlotRelease h{ReadFileHeader(path)};
    if (h.handle) {
      SlotRef ref(h.handle);
      format = ref.rec().format;
      s = HeaderText(ref.rec());
    } else {
      const char* why = FileError();
      if (std::strcmp(why, "unknown file format") == 0 || std::strncmp(why, "not a TIFF", 10) == 0)
        s = "\nUnsupported image file firmat";
      else
        s = std::string("\nUnreadable image file: ") + why;
    }
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
  });
}
