// TIFF pages through libtiff, for everything the own reader refuses: every
// compression libtiff decodes (LZW, Deflate, PackBits, zstd, JPEG, fax, ...),
// predictors, strips or tiles, BigTIFF, separate colour planes, 1 to 16 bits
// per sample, signed and floating-point samples. Samples land in the depths
// of the image store as the own reader puts them:
//   grey, palette    1 bit -> 1, 4 bits -> 4, 2..8 -> 8, 9..16 -> 16, 17..32 -> 32
//   RGB              up to 8 bits -> 24, 9..16 -> 48 (blue, green, red)
//   floating point   -> 64 (double; colour as the mean of red, green, blue)
//   signed <= 16     offset into unsigned (-32768 -> 0); wider stays signed
//   other colours    (CMYK, YCbCr, CIELab, ...) -> 24 through libtiff's RGBA
// Alpha and other extra samples are dropped; values keep their bit count (a
// 12-bit sample stays 0..4095). Rows go bottom-up: the first file row is the
// top of the picture.
//
// libtiff reports through per-handle handlers: the first error becomes the
// load reason, warnings are dropped, and no allocation may exceed a cap.
#include <tiffio.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/tiff_tags.h"
#include "memrect/memrect.h"
#include "memrect/readfile_internal.h"
#include "memrect/rect_owner.h"

namespace vantor {
namespace {

constexpr uint64_t kMaxSingleAlloc = uint64_t(512) << 20;
constexpr size_t kSlack = 16;  // bytes after every decode buffer: sample reads may look ahead

// ---- messages --------------------------------------------------------------

struct Messages {
  std::string path;
  std::string first;  // the first error, cleaned
  bool short_of_memory = false;  // the first error could not even be kept
  bool damaged = false;  // a warning said data are missing: the page fails
};

// One line of text: the file name (which the caller names anyway) and the
// reporting function's name removed, control characters turned to blanks.
std::string Clean(const std::string& path, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  std::string s = buf;
  if (!path.empty()) {
    for (size_t at; (at = s.find(path)) != std::string::npos;) {
      size_t end = at + path.size();
      while (end < s.size() && (s[end] == ':' || s[end] == ',' || s[end] == ' ')) ++end;
      s.erase(at, end - at);
    }
  }
  std::string out;
  for (char c : s) {
    char d = (static_cast<unsigned char>(c) < 32) ? ' ' : c;
    if (d == ' ' && (out.empty() || out.back() == ' ')) continue;
    out.push_back(d);
  }
  while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
  if (out.size() > 180) out.resize(180);
  return out;
}

// libtiff's words said as what they mean for the file: reads that come up
// short are truncation, overflowing size arithmetic is a size out of range,
// its allocation cap is the frame's limit; byte counts in readable units.
std::string Plain(const std::string& s) {
  if (s.find("Read error") != std::string::npos || s.find("Cannot read") != std::string::npos)
    return "file truncated: fewer bytes than the directory gives";
  const size_t decoding = s.find("Decoding error at scanline");
  if (decoding != std::string::npos)
    return s.substr(0, decoding) + "damaged or cut compressed data at row" + s.substr(decoding + 26);
  if (s.find("Integer overflow") != std::string::npos)
    return "TIFF sizes out of range (" + s + ")";
  unsigned long long want = 0, limit = 0;
  const size_t at = s.find("Memory allocation of ");
  if (at != std::string::npos &&
      std::sscanf(s.c_str() + at, "Memory allocation of %llu bytes is beyond the %llu byte limit",
                  &want, &limit) == 2)
    return "a TIFF buffer of " + ReadableBytes(want) + " is above the limit of " +
           ReadableBytes(limit) + " for one decoder buffer";
  return s;
}

int OnError(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
  auto* m = static_cast<Messages*>(user);
  // Called from C: nothing may be thrown through libtiff.
  if (m->first.empty() && !m->short_of_memory) {
    try {
      m->first = Plain(Clean(m->path, fmt, ap));
    } catch (...) {
      m->short_of_memory = true;
    }
  }
  return 1;  // handled: libtiff's process-wide handler stays silent
}

// States libtiff's first error as the reason, "prefix" before it, or what
// when it said nothing.
bool TiffFailure(const Messages& m, const char* prefix, const char* what) {
  if (m.short_of_memory)
    SetFileErrorOf(err::kMemory, "%sout of memory", prefix);
  else if (!m.first.empty())
    SetFileErrorOf(DecoderMessageKind(m.first.c_str()), "%s%s", prefix, m.first.c_str());
  else
    SetFileError("%s%s", prefix, what);
  return false;
}

// Warnings are dropped, but for those of the JPEG codec that mean missing
// data: libjpeg would fill the rest of the strip with grey.
int OnWarning(TIFF*, void* user, const char*, const char* fmt, va_list ap) {
  auto* m = static_cast<Messages*>(user);
  char buf[256];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  if (std::strstr(buf, "Premature end of JPEG") || std::strstr(buf, "premature end of data") ||
      std::strstr(buf, "Corrupt JPEG data")) {
    m->damaged = true;
    if (m->first.empty() && !m->short_of_memory) {
      try {
        m->first = "file truncated: the compressed data end early";
      } catch (...) {
        m->short_of_memory = true;
      }
    }
  }
  return 1;
}

struct CloseTiff {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
struct FreeOptions {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

// ---- samples ---------------------------------------------------------------

// Where the samples of one output channel lie in a decoded row span: sample k
// of the span is sample number first + k * stride counted from base.
struct Channel {
  const uint8_t* base = nullptr;
  uint64_t first = 0;
  uint32_t stride = 1;
};

// bps bits at bit position pos, most significant bit first (bps <= 32). The
// buffers carry kSlack bytes so that the 8-byte window never leaves them.
inline uint32_t Bits(const uint8_t* base, uint64_t pos, unsigned bps) {
  const uint8_t* p = base + (pos >> 3);
  uint64_t w = 0;
  for (int i = 0; i < 8; ++i) w = (w << 8) | p[i];
  const unsigned shift = unsigned(64 - (pos & 7) - bps);
  return uint32_t((w >> shift) & ((uint64_t(1) << bps) - 1));
}

template <typename T>
inline T Load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double HalfToDouble(uint16_t h) {
  const int sign = (h >> 15) & 1, exp = (h >> 10) & 31, frac = h & 1023;
  double v;
  if (exp == 0)
    v = std::ldexp(double(frac), -24);
  else if (exp == 31)
    v = frac ? std::nan("") : INFINITY;
  else
    v = std::ldexp(double(frac | 1024), exp - 25);
  return sign ? -v : v;
}

// How a page becomes a rectangle.
struct Plan {
  uint32_t width = 0, height = 0;
  uint16_t bps = 0, spp = 1, format = tiff::kUnsigned, planar = tiff::kPlanarContig;
  uint16_t photometric = tiff::kMinIsBlack, compression = tiff::kNone;
  int channels = 1;          // 1 grey, 3 colour
  uint16_t sample[3] = {0, 1, 2};
  uint32_t depth = 8;
  bool isFloat = false;
  bool offsetSigned = false;  // signed samples moved into the unsigned range
  bool extendSigned = false;  // signed samples wider than 16 bits kept signed
};

// Integer value k of channel c.
inline uint32_t IntSample(const Plan& pl, const Channel& c, uint32_t k) {
  const uint64_t i = c.first + uint64_t(k) * c.stride;
  uint32_t v;
  switch (pl.bps) {
    case 8: v = c.base[i]; break;
    case 16: v = Load<uint16_t>(c.base + 2 * i); break;
    case 32: v = Load<uint32_t>(c.base + 4 * i); break;
    default: v = Bits(c.base, i * pl.bps, pl.bps); break;
  }
  if (pl.offsetSigned) v ^= 1u << (pl.bps - 1);
  if (pl.extendSigned && pl.bps < 32 && (v >> (pl.bps - 1)) & 1) v |= ~0u << pl.bps;
  return v;
}

inline double FloatSample(const Plan& pl, const Channel& c, uint32_t k) {
  const uint64_t i = c.first + uint64_t(k) * c.stride;
  switch (pl.bps) {
    case 16: return HalfToDouble(Load<uint16_t>(c.base + 2 * i));
    case 32: return double(Load<float>(c.base + 4 * i));
    default: return Load<double>(c.base + 8 * i);
  }
}

// Converts n pixels of a decoded span into the output row from pixel x0 on.
// The output row starts zeroed (a new rectangle): 1- and 4-bit pixels are
// OR-ed in.
void ConvertSpan(const Plan& pl, const Channel* ch, uint32_t x0, uint32_t n, uint8_t* out) {
  const Channel& c0 = ch[0];
  const bool plain = pl.channels == 1 && c0.stride == 1 && c0.first == 0 && !pl.offsetSigned &&
                     !pl.extendSigned;
  if (plain && uint32_t(pl.bps) == pl.depth && pl.depth >= 8) {
    std::memcpy(out + uint64_t(x0) * (pl.depth / 8), c0.base, uint64_t(n) * (pl.depth / 8));
    return;
  }
  if (plain && pl.bps == 1 && pl.depth == 1 && (x0 & 7) == 0) {
    uint8_t* o = out + x0 / 8;
    const uint32_t full = n / 8;
    for (uint32_t i = 0; i < full; ++i) o[i] = kBitReverse[c0.base[i]];
    if (n & 7) o[full] |= uint8_t(kBitReverse[c0.base[full]] & ((1u << (n & 7)) - 1));
    return;
  }
  if (pl.isFloat) {
    double* o = reinterpret_cast<double*>(out) + x0;
    if (pl.channels == 1) {
      for (uint32_t k = 0; k < n; ++k) {
        double v = FloatSample(pl, c0, k);
        std::memcpy(o + k, &v, 8);
      }
    } else {
      for (uint32_t k = 0; k < n; ++k) {
        double v = (FloatSample(pl, ch[0], k) + FloatSample(pl, ch[1], k) +
                    FloatSample(pl, ch[2], k)) / 3.0;
        std::memcpy(o + k, &v, 8);
      }
    }
    return;
  }
  switch (pl.depth) {
    case 1:
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t x = x0 + k;
        if (IntSample(pl, c0, k) & 1) out[x >> 3] |= uint8_t(1u << (x & 7));
      }
      break;
    case 4:
      for (uint32_t k = 0; k < n; ++k) {
        const uint32_t x = x0 + k;
        out[x >> 1] |= uint8_t((IntSample(pl, c0, k) & 15) << ((x & 1) ? 4 : 0));
      }
      break;
    case 8:
      for (uint32_t k = 0; k < n; ++k) out[x0 + k] = uint8_t(IntSample(pl, c0, k));
      break;
    case 16:
      for (uint32_t k = 0; k < n; ++k) {
        uint16_t v = uint16_t(IntSample(pl, c0, k));
        std::memcpy(out + 2 * (uint64_t(x0) + k), &v, 2);
      }
      break;
    case 32:
      for (uint32_t k = 0; k < n; ++k) {
        uint32_t v = IntSample(pl, c0, k);
        std::memcpy(out + 4 * (uint64_t(x0) + k), &v, 4);
      }
      break;
    case 24: {
      uint8_t* o = out + 3 * uint64_t(x0);
      if (pl.bps == 8 && !pl.offsetSigned && ch[0].base == ch[2].base && ch[0].stride >= 3 &&
          ch[0].first == 0 && ch[1].first == 1 && ch[2].first == 2) {
        const uint32_t s = ch[0].stride;
        const uint8_t* in = ch[0].base;
        for (uint32_t k = 0; k < n; ++k, in += s, o += 3) {
          o[0] = in[2];
          o[1] = in[1];
          o[2] = in[0];
        }
        break;
      }
      for (uint32_t k = 0; k < n; ++k, o += 3) {
        o[0] = uint8_t(IntSample(pl, ch[2], k));
        o[1] = uint8_t(IntSample(pl, ch[1], k));
        o[2] = uint8_t(IntSample(pl, ch[0], k));
      }
      break;
    }
    case 48: {
      uint8_t* o = out + 6 * uint64_t(x0);
      for (uint32_t k = 0; k < n; ++k, o += 6) {
        uint16_t bgr[3] = {uint16_t(IntSample(pl, ch[2], k)), uint16_t(IntSample(pl, ch[1], k)),
                           uint16_t(IntSample(pl, ch[0], k))};
        std::memcpy(o, bgr, 6);
      }
      break;
    }
    default:
      break;
  }
}

// ---- the page --------------------------------------------------------------

class PageLoader {
 public:
  PageLoader(const LoadControl& c, TIFF* tif, Messages& msgs) : c_(c), tif_(tif), msgs_(msgs) {}

  int32_t Load(TiffExtras* extras) {
    if (!Describe()) return -1;
    if (extras) Extras(extras);
    if (!DataOutsideHeader()) return -1;
    if (rgba_) return LoadRgba();
    RectOwner rect(CreateRect(c_, pl_.depth, pl_.width, pl_.height, BufferBytes()));
    if (!rect) return -1;
    px_ = Resolve(rect.get());
    if (px_.depth != int32_t(pl_.depth)) {
      SetFileError("image store refused the new image");
      return -1;
    }
    if (!(TIFFIsTiled(tif_) ? ReadTiles() : ReadStrips())) return -1;
    return rect.release();
  }

 private:
  template <typename T>
  T Field(ttag_t tag, T fallback) {
    T v = fallback;
    if (!TIFFGetFieldDefaulted(tif_, tag, &v)) v = fallback;
    return v;
  }

  // Sets the reason: libtiff's first error, or what if it said nothing.
  bool Fail(const char* what) { return TiffFailure(msgs_, "", what); }

  bool Describe() {
    if (!TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &pl_.width) ||
        !TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &pl_.height))
      return Fail("TIFF image size missing");
    pl_.bps = Field<uint16_t>(TIFFTAG_BITSPERSAMPLE, 1);
    pl_.spp = Field<uint16_t>(TIFFTAG_SAMPLESPERPIXEL, 1);
    pl_.format = Field<uint16_t>(TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    pl_.planar = Field<uint16_t>(TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    pl_.compression = Field<uint16_t>(TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &pl_.photometric))
      pl_.photometric = pl_.spp >= 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK;
    if (pl_.width == 0 || pl_.height == 0) {
      SetFileError("empty image (%u x %u)", unsigned(pl_.width), unsigned(pl_.height));
      return false;
    }
    if (pl_.spp == 0 || pl_.bps == 0) {
      SetFileError("TIFF with %u samples of %u bits", unsigned(pl_.spp), unsigned(pl_.bps));
      return false;
    }
    // JPEG-compressed YCbCr: libjpeg turns it into RGB.
    if (pl_.photometric == PHOTOMETRIC_YCBCR && pl_.compression == COMPRESSION_JPEG &&
        TIFFSetField(tif_, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
      pl_.photometric = PHOTOMETRIC_RGB;
    const bool grey = pl_.photometric == PHOTOMETRIC_MINISBLACK ||
                      pl_.photometric == PHOTOMETRIC_MINISWHITE ||
                      pl_.photometric == PHOTOMETRIC_PALETTE || pl_.photometric == PHOTOMETRIC_MASK;
    const bool rgb = pl_.photometric == PHOTOMETRIC_RGB && pl_.spp >= 3;
    if ((!grey && !rgb) || pl_.compression == COMPRESSION_OJPEG) {
      char why[1024] = {};
      if (!TIFFRGBAImageOK(tif_, why)) {
        SetFileError("TIFF colour model cannot be read: %s", why);
        return false;
      }
      rgba_ = true;
      pl_.depth = 24;
      return true;
    }
    pl_.channels = rgb ? 3 : 1;
    const unsigned b = pl_.bps;
    switch (pl_.format) {
      case SAMPLEFORMAT_IEEEFP:
        if (b != 16 && b != 32 && b != 64) {
          SetFileError("TIFF with %u-bit floating-point samples cannot be loaded", b);
          return false;
        }
        pl_.isFloat = true;
        pl_.depth = 64;
        return true;
      case SAMPLEFORMAT_UINT:
      case SAMPLEFORMAT_INT:
      case SAMPLEFORMAT_VOID:
        break;
      default:
        SetFileError("TIFF with complex samples (format %u) cannot be loaded", unsigned(pl_.format));
        return false;
    }
    const bool isSigned = pl_.format == SAMPLEFORMAT_INT;
    if (b > 32 || (rgb && b > 16)) {
      SetFileError("TIFF with %u-bit %s samples cannot be loaded", b, rgb ? "colour" : "integer");
      return false;
    }
    if (rgb)
      pl_.depth = b <= 8 ? 24 : 48;
    else if (b == 1 && !isSigned)
      pl_.depth = 1;
    else if (b == 4 && !isSigned)
      pl_.depth = 4;
    else
      pl_.depth = b <= 8 ? 8 : b <= 16 ? 16 : 32;
    pl_.offsetSigned = isSigned && b <= 16;
    pl_.extendSigned = isSigned && b > 16;
    return true;
  }

  void Extras(TiffExtras* e) {
    char* text = nullptr;
    if (TIFFGetField(tif_, TIFFTAG_IMAGEDESCRIPTION, &text) && text) e->description = text;
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (pl_.photometric == PHOTOMETRIC_PALETTE && pl_.bps <= 16 &&
        TIFFGetField(tif_, TIFFTAG_COLORMAP, &r, &g, &b) && r && g && b) {
      const size_t n = size_t(1) << pl_.bps;
      e->colorMap.reserve(3 * n);
      e->colorMap.insert(e->colorMap.end(), r, r + n);
      e->colorMap.insert(e->colorMap.end(), g, g + n);
      e->colorMap.insert(e->colorMap.end(), b, b + n);
    }
  }

  // Samples in one decoded buffer row: all of them (contiguous) or one plane.
  uint32_t SamplesPerRow() const { return pl_.planar == PLANARCONFIG_SEPARATE ? 1 : pl_.spp; }
  uint64_t MinRowBytes(uint32_t width) const {
    return (uint64_t(width) * pl_.bps * SamplesPerRow() + 7) / 8;
  }
  // The planes to decode: only those of the channels used.
  int Planes() const { return pl_.planar == PLANARCONFIG_SEPARATE ? pl_.channels : 1; }

  // False with the reason when a strip or tile with data starts inside the
  // 8-byte file header: libtiff would decode the header as pixels.
  bool DataOutsideHeader() {
    const bool tiled = TIFFIsTiled(tif_);
    const uint32_t n = tiled ? TIFFNumberOfTiles(tif_) : TIFFNumberOfStrips(tif_);
    for (uint32_t i = 0; i < n; ++i) {
      const uint64_t at = TIFFGetStrileOffset(tif_, i);
      if (at < 8 && TIFFGetStrileByteCount(tif_, i) > 0) {
        SetFileError("pixel data inside the header: TIFF %s %u at offset %llu",
                     tiled ? "tile" : "strip", unsigned(i + 1), static_cast<unsigned long long>(at));
        return false;
      }
    }
    return true;
  }

  // The decode buffers the page will need: one strip or tile per plane read.
  uint64_t BufferBytes() {
    uint64_t one = 0;
    if (TIFFIsTiled(tif_)) {
      one = TIFFTileSize64(tif_);
    } else {
      const uint32_t rps = std::clamp<uint32_t>(Field<uint32_t>(TIFFTAG_ROWSPERSTRIP, pl_.height),
                                                1, pl_.height);
      one = TIFFScanlineSize64(tif_) * rps;
    }
    return one * uint64_t(Planes());
  }

  bool Allocate(uint64_t bytes) {
    const char* unit = TIFFIsTiled(tif_) ? "TIFF tile" : "TIFF strip";
    if (bytes > kMaxSingleAlloc) {
      SetFileError("a %s of %s is above the limit of %s for one decoder buffer", unit,
                   ReadableBytes(bytes).c_str(), ReadableBytes(kMaxSingleAlloc).c_str());
      return false;
    }
    if (!WithinLimit(c_, bytes * uint64_t(Planes()), unit)) return false;
    try {
      for (int p = 0; p < Planes(); ++p) buffers_[p].assign(size_t(bytes) + kSlack, 0);
    } catch (const std::bad_alloc&) {
      SetFileErrorOf(err::kMemory, "out of memory");
      return false;
    }
    return true;
  }

  // The channels of buffer row r (a strip row or a tile row).
  void Channels(uint64_t rowBytes, uint32_t r, Channel* ch) const {
    for (int c = 0; c < pl_.channels; ++c) {
      if (pl_.planar == PLANARCONFIG_SEPARATE) {
        ch[c].base = buffers_[c].data() + uint64_t(r) * rowBytes;
        ch[c].first = 0;
        ch[c].stride = 1;
      } else {
        ch[c].base = buffers_[0].data() + uint64_t(r) * rowBytes;
        ch[c].first = pl_.sample[c];
        ch[c].stride = pl_.spp;
      }
    }
  }

  // "LZW: strip 3: what libtiff said".
  std::string Codec() const {
    const char* name = TiffCompressionName(pl_.compression);
    if (std::strcmp(name, "unknown") != 0) return name;
    return "compression " + std::to_string(pl_.compression);
  }
  bool DecodeFailed(const char* unit, uint32_t index) {
    const std::string& why = msgs_.first;
    // libtiff counts strips and tiles from 0: where it names one, its words stand.
    std::string where;
    if (why.find("strip") == std::string::npos && why.find("tile") == std::string::npos)
      where = std::string(unit) + " " + std::to_string(index + 1) + ": ";
    if (pl_.compression != COMPRESSION_NONE) where = Codec() + ": " + where;
    return TiffFailure(msgs_, where.c_str(), "cannot be decoded");
  }

  bool ReadStrips() {
    uint32_t rps = Field<uint32_t>(TIFFTAG_ROWSPERSTRIP, pl_.height);
    rps = std::clamp<uint32_t>(rps, 1, pl_.height);
    const uint64_t rowBytes = TIFFScanlineSize64(tif_);
    if (rowBytes < MinRowBytes(pl_.width)) return Fail("TIFF scan line size is inconsistent");
    const uint32_t perPlane = uint32_t((uint64_t(pl_.height) + rps - 1) / rps);
    const uint64_t needStrips = uint64_t(perPlane) * (pl_.planar == PLANARCONFIG_SEPARATE ? pl_.spp : 1);
    if (TIFFNumberOfStrips(tif_) < needStrips) return Fail("TIFF has too few strips for its size");
    if (!Allocate(rowBytes * rps)) return false;
    Channel ch[3];
    for (uint32_t band = 0; band < perPlane; ++band) {
      const uint32_t y0 = band * rps;
      const uint32_t rows = std::min(rps, pl_.height - y0);
      const tmsize_t want = tmsize_t(rowBytes * rows);
      for (int p = 0; p < Planes(); ++p) {
        const uint32_t plane = pl_.planar == PLANARCONFIG_SEPARATE ? pl_.sample[p] : 0;
        const uint32_t strip = plane * perPlane + band;
        if (TIFFReadEncodedStrip(tif_, strip, buffers_[p].data(), want) < want || msgs_.damaged)
          return DecodeFailed("strip", strip);
      }
      for (uint32_t r = 0; r < rows; ++r) {
        Channels(rowBytes, r, ch);
        ConvertSpan(pl_, ch, 0, pl_.width, px_.row(int32_t(pl_.height - 1 - (y0 + r))));
      }
    }
    return true;
  }

  bool ReadTiles() {
    uint32_t tw = 0, th = 0;
    if (!TIFFGetField(tif_, TIFFTAG_TILEWIDTH, &tw) || !TIFFGetField(tif_, TIFFTAG_TILELENGTH, &th) ||
        tw == 0 || th == 0)
      return Fail("TIFF tile size missing");
    const uint64_t rowBytes = TIFFTileRowSize64(tif_);
    const uint64_t tileBytes = TIFFTileSize64(tif_);
    if (rowBytes < MinRowBytes(tw) || tileBytes < rowBytes * th)
      return Fail("TIFF tile size is inconsistent");
    const uint32_t across = uint32_t((uint64_t(pl_.width) + tw - 1) / tw);
    const uint32_t down = uint32_t((uint64_t(pl_.height) + th - 1) / th);
    const uint64_t perPlane = uint64_t(across) * down;
    if (TIFFNumberOfTiles(tif_) < perPlane * (pl_.planar == PLANARCONFIG_SEPARATE ? pl_.spp : 1))
      return Fail("TIFF has too few tiles for its size");
    if (!Allocate(tileBytes)) return false;
    Channel ch[3];
    for (uint32_t ty = 0; ty < down; ++ty) {
      const uint32_t y0 = ty * th;
      const uint32_t rows = std::min(th, pl_.height - y0);
      for (uint32_t tx = 0; tx < across; ++tx) {
        const uint32_t x0 = tx * tw;
        const uint32_t n = std::min(tw, pl_.width - x0);
        for (int p = 0; p < Planes(); ++p) {
          const uint32_t plane = pl_.planar == PLANARCONFIG_SEPARATE ? pl_.sample[p] : 0;
          const uint32_t tile = uint32_t(plane * perPlane + uint64_t(ty) * across + tx);
          if (TIFFReadEncodedTile(tif_, tile, buffers_[p].data(), tmsize_t(tileBytes)) <
                  tmsize_t(tileBytes) ||
              msgs_.damaged)
            return DecodeFailed("tile", tile);
        }
        for (uint32_t r = 0; r < rows; ++r) {
          Channels(rowBytes, r, ch);
          ConvertSpan(pl_, ch, x0, n, px_.row(int32_t(pl_.height - 1 - (y0 + r))));
        }
      }
    }
    return true;
  }

  // Colour models libtiff turns into RGBA for us; its raster has the bottom
  // row first, as the store has.
  int32_t LoadRgba() {
    const uint64_t pixels = uint64_t(pl_.width) * pl_.height;
    if (pixels > (uint64_t(1) << 30)) {
      SetFileError("a TIFF of %u x %u in this colour model is above the limit of 2^30 pixels for "
                   "converted colour", unsigned(pl_.width), unsigned(pl_.height));
      return -1;
    }
    RectOwner rect(CreateRect(c_, 24, pl_.width, pl_.height, pixels * 4));
    if (!rect) return -1;
    px_ = Resolve(rect.get());
    std::vector<uint32_t> raster;
    try {
      raster.resize(size_t(pixels));
    } catch (const std::bad_alloc&) {
      SetFileErrorOf(err::kMemory, "out of memory");
      return -1;
    }
    if (!TIFFReadRGBAImageOriented(tif_, pl_.width, pl_.height, raster.data(), ORIENTATION_BOTLEFT, 1) ||
        msgs_.damaged) {
      const std::string codec = pl_.compression == COMPRESSION_NONE ? "" : Codec() + ": ";
      TiffFailure(msgs_, codec.c_str(), "cannot be decoded");
      return -1;
    }
    for (uint32_t y = 0; y < pl_.height; ++y) {
      const uint32_t* in = raster.data() + uint64_t(y) * pl_.width;
      uint8_t* o = px_.row(int32_t(y));
      for (uint32_t x = 0; x < pl_.width; ++x, o += 3) {
        o[0] = uint8_t(TIFFGetB(in[x]));
        o[1] = uint8_t(TIFFGetG(in[x]));
        o[2] = uint8_t(TIFFGetR(in[x]));
      }
    }
    return rect.release();
  }

  const LoadControl& c_;
  TIFF* tif_;
  Messages& msgs_;
  Plan pl_;
  bool rgba_ = false;
  Pixels px_;
  std::vector<uint8_t> buffers_[3];
};

}  // namespace

int32_t LoadTiffPage(const LoadControl& c, const char* path, uint64_t ifdOffset,
                     TiffExtras* extras) {
  Messages msgs;
  msgs.path = path ? path : "";
  std::unique_ptr<TIFFOpenOptions, FreeOptions> opts(TIFFOpenOptionsAlloc());
  if (!opts) {
    SetFileErrorOf(err::kMemory, "out of memory");
    return -1;
  }
  // No single allocation of libtiff's (directories, strip tables, raw strips)
  // may pass the cap or the frame's budget.
  const uint64_t cap = c.maxBytes ? std::min(c.maxBytes, kMaxSingleAlloc) : kMaxSingleAlloc;
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), tmsize_t(cap));
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), OnError, &msgs);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), OnWarning, &msgs);
  // "h": the header only; the page's directory is read next, at its offset.
  std::unique_ptr<TIFF, CloseTiff> tif(TIFFOpenExt(path, "rh", opts.get()));
  if (!tif) return TiffFailure(msgs, "", "TIFF cannot be opened"), -1;
  if (!TIFFSetSubDirectory(tif.get(), ifdOffset))
    return TiffFailure(msgs, "", "TIFF directory cannot be read"), -1;
  return PageLoader(c, tif.get(), msgs).Load(extras);
}

}  // namespace vantor
