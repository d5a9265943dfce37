// The axes of a multi-page TIFF file: the first page's ImageDescription read
// through libtiff and parsed as an ImageJ description or as OME-XML. Counts
// are trusted only when they multiply to the file's page count, which bounds
// everything a caller may allocate from them.
#include "memrect/stack_axes.h"

#include <tiffio.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "generic/last_error.h"
#include "memrect/readfile.h"
#include "memrect/stack_axes_internal.h"

namespace vantor {

namespace {

namespace err = vantor::err;

// A whole number from 1 to a billion, nothing else.
bool Count(std::string_view s, int64_t* out) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.remove_suffix(1);
  if (s.empty() || s.size() > 10) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  if (v < 1 || v > 1000000000) return false;
  *out = v;
  return true;
}

// A finite number above 0, else 0.
double Positive(std::string_view s) {
  std::string t(s.substr(0, 64));
  char* end = nullptr;
  const double v = std::strtod(t.c_str(), &end);
  return end != t.c_str() && std::isfinite(v) && v > 0 ? v : 0.0;
}

void SetUnit(VantorStackAxes* a, std::string u) {
  // ImageJ escapes the micro sign.
  for (size_t p; (p = u.find("\\u00B5")) != std::string::npos;) u.replace(p, 6, "\xC2\xB5");
  if (u == "micron" || u == "microns") u = "\xC2\xB5m";
  std::snprintf(a->unit, sizeof a->unit, "%s", u.c_str());
}

// Sets the sizes and strides for pages ordered by `order` (fastest first, a
// permutation of "CZT"); false when they do not give the pages.
bool SetSizes(int64_t c, int64_t z, int64_t t, std::string_view order, VantorStackAxes* a) {
  if (c * z > a->pages || c * z * t != a->pages) return false;
  int64_t stride = 1;
  int64_t strides[3] = {0, 0, 0};
  for (char axis : order) {
    const int i = axis == 'C' ? 0 : axis == 'Z' ? 1 : 2;
    strides[i] = stride;
    stride *= i == 0 ? c : i == 1 ? z : t;
  }
  a->channels = static_cast<int32_t>(c);
  a->slices = static_cast<int32_t>(z);
  a->times = static_cast<int32_t>(t);
  a->strideC = static_cast<int32_t>(strides[0]);
  a->strideZ = static_cast<int32_t>(strides[1]);
  a->strideT = static_cast<int32_t>(strides[2]);
  return true;
}

// The value of attribute `name` in the start tag `tag` ("" when absent).
std::string_view Attribute(std::string_view tag, std::string_view name) {
  for (size_t at = 0; (at = tag.find(name, at)) != std::string_view::npos; at += name.size()) {
    const char before = at > 0 ? tag[at - 1] : '<';
    size_t i = at + name.size();
    if (before != ' ' && before != '\t' && before != '\n' && before != '\r') continue;
    while (i < tag.size() && tag[i] == ' ') ++i;
    if (i >= tag.size() || tag[i] != '=') continue;
    ++i;
    while (i < tag.size() && tag[i] == ' ') ++i;
    if (i >= tag.size() || (tag[i] != '"' && tag[i] != '\'')) continue;
    const size_t end = tag.find(tag[i], i + 1);
    if (end == std::string_view::npos) return {};
    return tag.substr(i + 1, end - i - 1);
  }
  return {};
}

// The start tag of the first element named `name` (any namespace prefix) from
// position *from on; "" when there is none. *from moves past it.
std::string_view StartTag(std::string_view xml, std::string_view name, size_t* from) {
  for (size_t at = *from; (at = xml.find(name, at)) != std::string_view::npos; at += name.size()) {
    const size_t after = at + name.size();
    if (at == 0 || after >= xml.size()) return {};
    const char next = xml[after];
    if (next != ' ' && next != '>' && next != '/' && next != '\n' && next != '\t' && next != '\r')
      continue;
    size_t open = at - 1;
    if (xml[open] == ':') {  // a prefix: back to its '<'
      while (open > 0 && xml[open] != '<' && xml[open] != ' ' && xml[open] != '>') --open;
    }
    if (xml[open] != '<') continue;
    const size_t close = xml.find('>', after);
    if (close == std::string_view::npos) return {};
    *from = close + 1;
    return xml.substr(open, close + 1 - open);
  }
  return {};
}

double TimeSeconds(double value, std::string_view unit) {
  if (unit.empty() || unit == "s") return value;
  if (unit == "ms") return value * 1e-3;
  if (unit == "\xC2\xB5s" || unit == "us") return value * 1e-6;
  if (unit == "min") return value * 60.0;
  if (unit == "h") return value * 3600.0;
  return 0.0;  // a unit we do not convert: not said
}

}  // namespace

bool ParseImageJAxes(std::string_view text, VantorStackAxes* axes) {
  if (text.rfind("ImageJ=", 0) != 0) return false;
  int64_t images = 0, c = 1, z = 1, t = 1;
  VantorStackAxes a = *axes;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "images" && !Count(value, &images)) return false;
    if (key == "channels" && !Count(value, &c)) return false;
    if (key == "slices" && !Count(value, &z)) return false;
    if (key == "frames" && !Count(value, &t)) return false;
    if (key == "unit") SetUnit(&a, std::string(value.substr(0, 64)));
    if (key == "spacing") a.zSpacing = Positive(value);
    if (key == "finterval") a.frameInterval = Positive(value);
  }
  if (images != 0 && images != c * z * t) return false;
  if (!SetSizes(c, z, t, "CZT", &a)) return false;
  a.kind = VANTOR_STACK_IMAGEJ;
  *axes = a;
  return true;
}

bool ParseOmeAxes(std::string_view xml, std::string_view fileName, VantorStackAxes* axes,
                  std::string* error) {
  error->clear();
  size_t from = 0;
  if (StartTag(xml, "OME", &from).empty()) return false;
  // Planes in another file (a UUID naming it) or metadata kept elsewhere.
  for (size_t at = from;;) {
    const std::string_view uuid = StartTag(xml, "UUID", &at);
    if (uuid.empty()) break;
    const std::string_view other = Attribute(uuid, "FileName");
    if (!other.empty() && other != fileName) {
      *error = "an OME-TIFF set of several files (planes lie in " +
               std::string(other.substr(0, 200)) + "); only single-file OME-TIFF is read";
      return false;
    }
  }
  size_t at = from;
  if (!StartTag(xml, "BinaryOnly", &at).empty()) {
    *error = "an OME-TIFF whose metadata lie in another file; only single-file OME-TIFF is read";
    return false;
  }
  at = from;
  const std::string_view pixels = StartTag(xml, "Pixels", &at);
  if (pixels.empty()) return false;
  const std::string_view order = Attribute(pixels, "DimensionOrder");
  if (order.size() != 5 || order.substr(0, 2) != "XY") return false;
  const std::string_view czt = order.substr(2);
  if (czt.find('C') == czt.npos || czt.find('Z') == czt.npos || czt.find('T') == czt.npos)
    return false;
  int64_t c = 0, z = 0, t = 0, x = 0, y = 0;
  if (!Count(Attribute(pixels, "SizeC"), &c) || !Count(Attribute(pixels, "SizeZ"), &z) ||
      !Count(Attribute(pixels, "SizeT"), &t) || !Count(Attribute(pixels, "SizeX"), &x) ||
      !Count(Attribute(pixels, "SizeY"), &y))
    return false;
  if (x != axes->width || y != axes->height) return false;
  VantorStackAxes a = *axes;
  if (!SetSizes(c, z, t, czt, &a)) return false;
  a.kind = VANTOR_STACK_OME;
  if (const double px = Positive(Attribute(pixels, "PhysicalSizeX")); px > 0) {
    a.pixelWidth = px;
    const std::string_view unit = Attribute(pixels, "PhysicalSizeXUnit");
    SetUnit(&a, unit.empty() ? "\xC2\xB5m" : std::string(unit.substr(0, 31)));
  }
  if (const double py = Positive(Attribute(pixels, "PhysicalSizeY")); py > 0) a.pixelHeight = py;
  a.zSpacing = Positive(Attribute(pixels, "PhysicalSizeZ"));
  a.frameInterval = TimeSeconds(Positive(Attribute(pixels, "TimeIncrement")),
                                Attribute(pixels, "TimeIncrementUnit"));
  *axes = a;
  return true;
}

namespace {

int OnQuiet(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct CloseTiff {
  void operator()(TIFF* t) const { TIFFClose(t); }
};
struct FreeOptions {
  void operator()(TIFFOpenOptions* o) const { TIFFOpenOptionsFree(o); }
};

bool IsTiff(const char* path) {
  unsigned char head[4] = {0, 0, 0, 0};
  std::FILE* f = std::fopen(path, "rb");
  if (f == nullptr) return false;
  const size_t n = std::fread(head, 1, 4, f);
  std::fclose(f);
  return n == 4 && ((head[0] == 'I' && head[1] == 'I' && head[3] == 0 && (head[2] == 42 || head[2] == 43)) ||
                    (head[0] == 'M' && head[1] == 'M' && head[2] == 0 && (head[3] == 42 || head[3] == 43)));
}

// The first page's fields and description; false when libtiff cannot read them.
bool ReadFirstPage(const char* path, VantorStackAxes* a, std::string* description) {
  std::unique_ptr<TIFFOpenOptions, FreeOptions> opts(TIFFOpenOptionsAlloc());
  if (!opts) return false;
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts.get(), tmsize_t{64} << 20);
  TIFFOpenOptionsSetErrorHandlerExtR(opts.get(), OnQuiet, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(opts.get(), OnQuiet, nullptr);
  std::unique_ptr<TIFF, CloseTiff> tif(TIFFOpenExt(path, "r", opts.get()));
  if (!tif) return false;
  uint32_t w = 0, h = 0;
  uint16_t bits = 1, format = 1, samples = 1, resUnit = RESUNIT_INCH;
  float xr = 0, yr = 0;
  TIFFGetField(tif.get(), TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif.get(), TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tif.get(), TIFFTAG_SAMPLESPERPIXEL, &samples);
  a->width = static_cast<int32_t>(std::min<uint32_t>(w, INT32_MAX));
  a->height = static_cast<int32_t>(std::min<uint32_t>(h, INT32_MAX));
  a->bitsPerSample = bits;
  a->sampleFormat = format;
  a->samplesPerPixel = samples;
  if (TIFFGetField(tif.get(), TIFFTAG_XRESOLUTION, &xr) && std::isfinite(xr) && xr > 0 &&
      TIFFGetField(tif.get(), TIFFTAG_YRESOLUTION, &yr) && std::isfinite(yr) && yr > 0) {
    TIFFGetFieldDefaulted(tif.get(), TIFFTAG_RESOLUTIONUNIT, &resUnit);
    if (resUnit == RESUNIT_INCH || resUnit == RESUNIT_CENTIMETER) {
      a->pixelWidth = 1.0 / xr;
      a->pixelHeight = 1.0 / yr;
      SetUnit(a, resUnit == RESUNIT_INCH ? "inch" : "cm");
    } else if (resUnit == RESUNIT_NONE) {  // ImageJ: the unit is in the description
      a->pixelWidth = 1.0 / xr;
      a->pixelHeight = 1.0 / yr;
    }
  }
  const char* text = nullptr;
  if (TIFFGetField(tif.get(), TIFFTAG_IMAGEDESCRIPTION, &text) && text != nullptr)
    *description = text;
  return true;
}

}  // namespace

}  // namespace vantor

extern "C" int32_t mrStackAxes(const char* path, VantorStackAxes* axes) {
  namespace err = vantor::err;
  // Not Guarded: it reads mrPageCount's failure from the error record.
  try {
    if (path == nullptr || axes == nullptr)
      return err::Fail(err::kParameter, "the path or the axes are null"), -1;
    const int32_t pages = mrPageCount(path);
    if (pages < 1) {
      const int32_t kind = mrLastErrorKind();
      return err::Fail(kind == err::kMemory ? err::kMemory : kind == err::kFormat ? err::kFormat : err::kFile,
                       "%s: %s", path, mrLastLoadError()),
             -1;
    }
    VantorStackAxes a{};
    a.pages = pages;
    a.channels = a.slices = 1;
    a.times = pages;
    a.strideC = a.strideZ = a.strideT = 1;
    std::string description;
    if (vantor::IsTiff(path) && vantor::ReadFirstPage(path, &a, &description) && pages > 1 &&
        a.samplesPerPixel == 1) {
      const char* slash = std::strrchr(path, '/');
      const std::string_view name = slash != nullptr ? slash + 1 : path;
      std::string why;
      if (!vantor::ParseImageJAxes(description, &a) &&
          !vantor::ParseOmeAxes(description, name, &a, &why) && !why.empty())
        return err::Fail(err::kFormat, "%s: %s", path, why.c_str()), -1;
    }
    *axes = a;
    return 0;
  } catch (const std::bad_alloc&) {
    return err::FailMemory(), -1;
  }
}
