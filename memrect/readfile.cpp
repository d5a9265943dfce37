// Image files into memory rectangles: TIFF and BMP through the bmptiff
// readers, TIFF those refuse through libtiff (readfile_tiff.cpp), PNG through
// libpng (readfile_png.cpp), JPEG through libjpeg. Pages of multi-page TIFF
// files are found through the IFD chain kept per thread (bmptiff).
#include "memrect/readfile.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cctype>
#include <cstring>
#include <algorithm>
#include <array>
#include <climits>
#include <string>
#include <vector>

// libjpeg's header needs FILE and size_t declared first.
#include <jerror.h>
#include <jpeglib.h>

#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/reader_internal.h"
#include "bmptiff/tiff_tags.h"
#include "files/fileaccess.h"
#include "generic/last_error.h"
#include "memrect/display_lut.h"
#include "memrect/memrect.h"
#include "memrect/readfile_internal.h"
#include "memrect/rect_owner.h"

namespace vantor {
namespace {

constexpr size_t kDebugBytes = 4160;
thread_local char t_debug[kDebugBytes];

// Releases a bmptiff slot on scope exit.
class FileSlot {
 public:
  explicit FileSlot(int16_t h) : h_(h) {}
  FileSlot(const FileSlot&) = delete;
  FileSlot& operator=(const FileSlot&) = delete;
  ~FileSlot() {
    if (h_) FreeTheData(h_);
  }
  int16_t get() const { return h_; }

 private:
  int16_t h_;
};

void ReverseBits(const Pixels& p, uint32_t rowBytes) {
  for (int32_t y = 0; y < p.height; ++y) {
    uint8_t* r = p.row(y);
    for (uint32_t i = 0; i < rowBytes; ++i) r[i] = kBitReverse[r[i]];
  }
}

// Files hold the leftmost of two 4-bit pixels in the high half of a byte,
// rectangles in the low half.
void SwapNibbles(const Pixels& p, uint32_t rowBytes) {
  for (int32_t y = 0; y < p.height; ++y) {
    uint8_t* r = p.row(y);
    for (uint32_t i = 0; i < rowBytes; ++i) r[i] = uint8_t((r[i] << 4) | (r[i] >> 4));
  }
}

void Swap16(const Pixels& p, uint32_t rowBytes) {
  for (int32_t y = 0; y < p.height; ++y) {
    uint8_t* r = p.row(y);
    for (uint32_t i = 0; i + 1 < rowBytes; i += 2) {
      uint16_t v;
      std::memcpy(&v, r + i, 2);
      v = __builtin_bswap16(v);
      std::memcpy(r + i, &v, 2);
    }
  }
}

void Swap32(const Pixels& p, uint32_t rowBytes) {
  for (int32_t y = 0; y < p.height; ++y) {
    uint8_t* r = p.row(y);
    for (uint32_t i = 0; i + 3 < rowBytes; i += 4) {
      uint32_t v;
      std::memcpy(&v, r + i, 4);
      v = __builtin_bswap32(v);
      std::memcpy(r + i, &v, 4);
    }
  }
}

void FlipRows(const Pixels& p) {
  std::vector<uint8_t> tmp(size_t(p.pitch));
  for (int32_t a = 0, b = p.height - 1; a < b; ++a, --b) {
    std::memcpy(tmp.data(), p.row(a), size_t(p.pitch));
    std::memcpy(p.row(a), p.row(b), size_t(p.pitch));
    std::memcpy(p.row(b), tmp.data(), size_t(p.pitch));
  }
}

void XorSamples(const Pixels& p, uint32_t rowBytes, uint32_t bits) {
  for (int32_t y = 0; y < p.height; ++y) {
    uint8_t* r = p.row(y);
    if (bits == 8) {
      for (uint32_t i = 0; i < rowBytes; ++i) r[i] ^= 0x80;
    } else {
      for (uint32_t i = 0; i + 1 < rowBytes; i += 2) {
        uint16_t v;
        std::memcpy(&v, r + i, 2);
        v ^= 0x8000;
        std::memcpy(r + i, &v, 2);
      }
    }
  }
}

// The own reader of uncompressed chunky TIFF pages. What it leaves to libtiff
// is refused with SetUnsupportedError.
int32_t LoadTiff(const LoadControl& c, int16_t fh, const FileLayout& l) {
  if (l.compression != tiff::kNone) {
    SetUnsupportedError("compressed TIFF (%s) is not supported", TiffCompressionName(l.compression));
    return -1;
  }
  if (l.planar == tiff::kPlanarSeparate && l.samples > 1) {
    SetUnsupportedError("TIFF with separate colour planes is not supported");
    return -1;
  }
  if (l.sampleFormat == tiff::kIeeeFloat) {
    SetUnsupportedError("floating-point TIFF is not supported");
    return -1;
  }
  if (l.samplesDiffer) {
    SetFileError("TIFF with unequal BitsPerSample values is not supported");
    return -1;
  }
  if (l.photometric > tiff::kMask) {
    SetUnsupportedError("TIFF colour model %u is not supported", unsigned(l.photometric));
    return -1;
  }
  if (l.samples != 1 && l.samples != 3) {
    SetUnsupportedError("TIFF with %u samples per pixel is not supported", unsigned(l.samples));
    return -1;
  }
  const uint32_t depth = l.bitsPerPixel;
  bool ok = depth == 1 || depth == 4 || depth == 8 || depth == 16 || depth == 32 ||
            (depth == 24 && l.samples == 3) || (depth == 48 && l.samples == 3);
  if (!ok) {
    SetUnsupportedError("TIFF with %u bits per pixel (%u samples) cannot be loaded", unsigned(depth),
                        unsigned(l.samples));
    return -1;
  }
  // Uncompressed pixels cannot outnumber the file's bytes: catch damaged
  // sizes before allocating for them.
  if (uint64_t(l.rowBytes) * l.length > l.fileSize) {
    SetFileError("file truncated: %u x %u pixels need more bytes than the file holds",
                 unsigned(l.width), unsigned(l.length));
    return -1;
  }
  RectOwner rect(CreateRect(c, depth, l.width, l.length));
  if (!rect) return -1;
  Pixels p = Resolve(rect.get());
  if (p.depth != int32_t(depth)) {
    SetFileError("image store refused the new image");
    return -1;
  }
  // File rows run from the top of the picture down: the first lands in the
  // last row.
  if (!ReadRowsInto(fh, p.row(p.height - 1), -std::ptrdiff_t(p.pitch), l.length)) return -1;
  if (l.bigEndian) {
    if (l.bitsPerSample == 16) Swap16(p, l.rowBytes);
    if (l.bitsPerSample == 32) Swap32(p, l.rowBytes);
  }
  // Signed 8- and 16-bit samples move into the unsigned range (-32768 -> 0).
  if (l.sampleFormat == tiff::kSigned && (l.bitsPerSample == 8 || l.bitsPerSample == 16))
    XorSamples(p, l.rowBytes, l.bitsPerSample);
  if (depth == 24) {
    static const uint8_t kOrder[3] = {2, 1, 0};
    mrPermute(rect.get(), 3, kOrder);
  } else if (depth == 48) {
    static const uint8_t kOrder[6] = {4, 5, 2, 3, 0, 1};
    mrPermute(rect.get(), 6, kOrder);
  } else if (depth == 1 && l.fillOrder != 2) {
    ReverseBits(p, l.rowBytes);
  } else if (depth == 4) {
    SwapNibbles(p, l.rowBytes);
  }
  return rect.release();
}

int32_t LoadBmp(const LoadControl& c, int16_t fh, const FileLayout& l) {
  const bool plain = l.compression == 0 || l.compression == 3;
  const bool rle8 = l.compression == 1 && l.bitsPerPixel == 8;
  if (!plain && !rle8) {
    if (l.compression == 2)
      SetFileError("run-length BMP with 4 bits per pixel is not supported");
    else
      SetFileError("BMP compression %u is not supported", unsigned(l.compression));
    return -1;
  }
  if (plain && uint64_t(l.rowBytes) * l.length > l.fileSize) {
    SetFileError("file truncated: %u x %u pixels need more bytes than the file holds",
                 unsigned(l.width), unsigned(l.length));
    return -1;
  }
  // Run-length data are read whole before decoding.
  RectOwner rect(CreateRect(c, l.bitsPerPixel, l.width, l.length, plain ? 0 : l.fileSize));
  if (!rect) return -1;
  Pixels p = Resolve(rect.get());
  if (p.depth != int32_t(l.bitsPerPixel) || uint32_t(p.pitch) < l.rowBytes) {
    SetFileError("image store refused the new image");
    return -1;
  }
  if (plain) {
    // Bottom-up files start with the bottom row: file row k into row k.
    // Top-down files go the other way round.
    uint8_t* first = l.topDown ? p.row(p.height - 1) : p.row(0);
    std::ptrdiff_t step = l.topDown ? -std::ptrdiff_t(p.pitch) : std::ptrdiff_t(p.pitch);
    if (!ReadRowsInto(fh, first, step, l.length)) return -1;
  } else {
    uint32_t passed = 0;
    int32_t r;
    if (uint32_t(p.pitch) == l.rowBytes) {
      r = ReadNextRows(fh, p.base, int32_t(l.length), &passed);
    } else {
      std::vector<uint8_t> tmp(uint64_t(l.rowBytes) * l.length);
      r = ReadNextRows(fh, tmp.data(), int32_t(l.length), &passed);
      for (int32_t y = 0; y < p.height; ++y)
        std::memcpy(p.row(y), tmp.data() + uint64_t(y) * l.rowBytes, l.rowBytes);
    }
    if (r < 0) return -1;
    // Rows the data never reach would be made up: a damaged or cut file (an
    // end of bitmap inside the last row ends it, as encoders write it).
    if (r == 0 && passed <= uint64_t(l.length - 1) * l.rowBytes) {
      SetFileError("file truncated: the run-length data end in row %u of %u",
                   unsigned(std::min<uint64_t>(passed / l.rowBytes + 1, l.length)), unsigned(l.length));
      return -1;
    }
    if (l.topDown) FlipRows(p);
  }
  if (l.bitsPerPixel == 1) ReverseBits(p, l.rowBytes);
  if (l.bitsPerPixel == 4) SwapNibbles(p, l.rowBytes);
  return rect.release();
}

// Installs a TIFF ColorMap (all red, then green, then blue, 16 bits each) as
// the display table when it has 256 or 2 entries, from the high bytes.
void InstallColorMap(const uint16_t* map, int32_t values) {
  if (!map || values <= 0 || values % 3) return;
  const int32_t n = values / 3;
  if (n != 256 && n != 2) return;
  uint8_t lut[256 * 4] = {};
  for (int32_t i = 0; i < n; ++i) {
    lut[4 * i] = uint8_t(map[2 * n + i] >> 8);
    lut[4 * i + 1] = uint8_t(map[n + i] >> 8);
    lut[4 * i + 2] = uint8_t(map[i] >> 8);
  }
  mrDisplayLut(n == 256 ? "Set" : "Mask", lut, nullptr, nullptr);
}

// Installs the open file's colour table as the display table when it has 256
// or 2 entries.
void InstallFileLut(int16_t fh) {
  const void* table = nullptr;
  int32_t entries = 0;
  int32_t format = GetLUTinfo(fh, &table, &entries, nullptr);
  if (!table || entries <= 0) return;
  if (format == VANTOR_FORMAT_TIFF) {
    InstallColorMap(static_cast<const uint16_t*>(table), entries);
    return;
  }
  if (entries != 256 && entries != 2) return;
  uint8_t lut[256 * 4] = {};
  std::memcpy(lut, table, size_t(entries) * 4);
  mrDisplayLut(entries == 256 ? "Set" : "Mask", lut, nullptr, nullptr);
}

// ---- JPEG ------------------------------------------------------------------
// libjpeg reports fatal errors through error_exit, which must not return: it
// jumps back into DecodeJpeg. Nothing with a destructor lives in DecodeJpeg,
// so the jump skips no clean-up; what it allocates is released by hand.

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  int32_t kind;  // of the failure, by libjpeg's message code
};

void JpegErrorExit(j_common_ptr cinfo) {
  JpegError* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  const int code = cinfo->err->msg_code;
  err->kind = code == JERR_OUT_OF_MEMORY ? err::kMemory
              : code == JERR_FILE_READ   ? err::kFile
                                         : err::kFormat;
  longjmp(err->jump, 1);
}

// Warnings are not printed. Those that mean missing or damaged data are
// errors here: libjpeg would pad the picture with grey (or repeat scans) and
// call it a success.
void JpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  JpegError* err = reinterpret_cast<JpegError*>(cinfo->err);
  const char* why = nullptr;
  switch (cinfo->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
      why = "file truncated: the compressed data end early";
      break;
    case JWRN_MUST_RESYNC:
      why = "damaged: a restart marker is missing";
      break;
    case JWRN_HUFF_BAD_CODE:
      why = "damaged: bad Huffman code";
      break;
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL:
      why = "damaged: a scan repeats or skips what earlier scans sent";
      break;
    default:
      cinfo->err->num_warnings++;
      return;
  }
  std::snprintf(err->message, sizeof err->message, "%s", why);
  longjmp(err->jump, 1);
}

// Progressive files may hold any number of scans, each a pass over the whole
// picture: more than hardened decoders accept is refused before it costs.
constexpr int kMaxJpegScans = 500;

struct JpegProgress {
  jpeg_progress_mgr pub;
  JpegError* err;
};

void JpegProgressMonitor(j_common_ptr cinfo) {
  auto* progress = reinterpret_cast<JpegProgress*>(cinfo->progress);
  const auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > kMaxJpegScans) {
    std::snprintf(progress->err->message, sizeof progress->err->message,
                  "more than %d scans (a normal file has about 10)", kMaxJpegScans);
    longjmp(progress->err->jump, 1);
  }
}

// Bytes libjpeg holds for the whole picture's coefficients (progressive and
// multi-scan files), known once the header is read.
uint64_t JpegCoefficientBytes(const jpeg_decompress_struct& cinfo) {
  if (!cinfo.progressive_mode && cinfo.comps_in_scan >= cinfo.num_components) return 0;
  uint64_t bytes = 0;
  for (int i = 0; i < cinfo.num_components; ++i) {
    const jpeg_component_info& comp = cinfo.comp_info[i];
    const uint64_t h = uint64_t(comp.h_samp_factor), v = uint64_t(comp.v_samp_factor);
    const uint64_t across = (comp.width_in_blocks + h - 1) / h * h;
    const uint64_t down = (comp.height_in_blocks + v - 1) / v * v;
    bytes += across * down * DCTSIZE2 * sizeof(JCOEF);
  }
  return bytes;
}

// Whether every coefficient of every component reached its last bit: a
// progressive file cut between scans (with its end marker put back) leaves
// some short, and libjpeg would show the coarse picture without a word.
bool JpegComplete(const jpeg_decompress_struct& cinfo) {
  if (!cinfo.progressive_mode || !cinfo.coef_bits) return true;
  for (int c = 0; c < cinfo.num_components; ++c)
    for (int k = 0; k < DCTSIZE2; ++k)
      if (cinfo.coef_bits[c][k] != 0) return false;
  return true;
}

void JpegOutputMessage(j_common_ptr) {}

// Decodes the open file into a new rectangle; -1 with the reason set.
int32_t DecodeJpeg(const LoadControl& c, FILE* file) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  volatile int32_t handle = -1;
  uint8_t* volatile scratch = nullptr;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.emit_message = JpegEmitMessage;
  err.pub.output_message = JpegOutputMessage;
  err.message[0] = 0;
  err.kind = err::kFormat;
  if (setjmp(err.jump)) {
    SetFileErrorOf(err.kind, "JPEG: %s", err.message);
    jpeg_destroy_decompress(&cinfo);
    if (handle > 0) mrFree(handle);
    std::free(scratch);
    return -1;
  }
  jpeg_create_decompress(&cinfo);
  JpegProgress progress;
  progress.pub.progress_monitor = JpegProgressMonitor;
  progress.err = &err;
  cinfo.progress = &progress.pub;
  if (c.maxBytes) cinfo.mem->max_memory_to_use = long(std::min<uint64_t>(c.maxBytes, LONG_MAX));
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  int32_t depth = 24;
  bool cmyk = false;
  switch (cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
      cinfo.out_color_space = JCS_GRAYSCALE;
      depth = 8;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      cinfo.out_color_space = JCS_CMYK;
      cmyk = true;
      break;
    default:
      cinfo.out_color_space = JCS_EXT_BGR;
      break;
  }
  const uint64_t coefficients = JpegCoefficientBytes(cinfo);
  if (!FrameFits(c, uint32_t(depth), cinfo.image_width, cinfo.image_height, coefficients)) {
    jpeg_destroy_decompress(&cinfo);
    return -1;
  }
  // Multi-scan files are read whole here.
  jpeg_start_decompress(&cinfo);
  if (!JpegComplete(cinfo)) {
    std::snprintf(err.message, sizeof err.message,
                  "file truncated: the scans end before the picture is complete");
    longjmp(err.jump, 1);
  }
  const uint32_t width = cinfo.output_width, height = cinfo.output_height;
  handle = CreateRect(c, uint32_t(depth), width, height, coefficients);
  if (handle <= 0) {
    jpeg_destroy_decompress(&cinfo);
    return -1;
  }
  const Pixels p = Resolve(handle);
  if (cmyk) {
    scratch = static_cast<uint8_t*>(std::malloc(size_t(width) * 4));
    if (!scratch) {
      std::snprintf(err.message, sizeof err.message, "out of memory");
      err.kind = err::kMemory;
      longjmp(err.jump, 1);
    }
  }
  while (cinfo.output_scanline < height) {
    // The first scan line is the top of the picture: it goes to the last row.
    JSAMPROW rows[16];
    const uint32_t first = cinfo.output_scanline;
    if (cmyk) {
      JSAMPROW in = scratch;
      if (jpeg_read_scanlines(&cinfo, &in, 1) != 1) break;
      // Adobe files store CMYK inverted (0 = full ink).
      const bool inverted = cinfo.saw_Adobe_marker;
      uint8_t* out = p.row(int32_t(height - 1 - first));
      for (uint32_t x = 0; x < width; ++x) {
        uint32_t c = scratch[4 * x], m = scratch[4 * x + 1], y = scratch[4 * x + 2],
                 k = scratch[4 * x + 3];
        if (!inverted) {
          c = 255 - c;
          m = 255 - m;
          y = 255 - y;
          k = 255 - k;
        }
        out[3 * x] = uint8_t((y * k + 127) / 255);
        out[3 * x + 1] = uint8_t((m * k + 127) / 255);
        out[3 * x + 2] = uint8_t((c * k + 127) / 255);
      }
      continue;
    }
    uint32_t n = std::min<uint32_t>(16, height - first);
    for (uint32_t i = 0; i < n; ++i) rows[i] = p.row(int32_t(height - 1 - (first + i)));
    if (jpeg_read_scanlines(&cinfo, rows, n) == 0) break;
  }
  if (cinfo.output_scanline < height) {
    std::snprintf(err.message, sizeof err.message, "file truncated");
    longjmp(err.jump, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  std::free(scratch);
  return handle;
}

// The JPEG branch; *notJpeg tells a file that is no JPEG at all from a JPEG
// that failed.
int32_t ReadJpeg(const LoadControl& c, const char* path, bool* notJpeg) {
  *notJpeg = false;
  if (!path || !IsExisting(path)) {
    SetFileErrorOf(err::kFile, "file not found");
    return -1;
  }
  uint8_t magic[3] = {};
  if (ReadFromFile(path, magic, 3, 0, nullptr) != 3 || magic[0] != 0xFF || magic[1] != 0xD8 ||
      magic[2] != 0xFF) {
    *notJpeg = true;
    SetFileError("unknown file format");
    return -1;
  }
  FILE* file = std::fopen(path, "rb");
  if (!file) {
    SetFileErrorOf(err::kFile, "cannot open the file");
    return -1;
  }
  int32_t h = DecodeJpeg(c, file);
  std::fclose(file);
  return h;
}

// ---- choosing the reader ---------------------------------------------------

enum class Kind { kNone, kTiff, kBmp, kPng, kJpeg };

// The format by the file's first bytes; kNone (reason set) when it cannot be
// read.
Kind Sniff(const char* path) {
  uint8_t b[8] = {};
  int32_t n = ReadFromFile(path, b, 8, 0, nullptr);
  if (n < 0) {
    SetFileErrorOf(err::kFile, "%s", IsExisting(path) ? "cannot open the file" : "file not found");
    return Kind::kNone;
  }
  if (n >= 2 && ((b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M'))) return Kind::kTiff;
  if (n >= 2 && b[0] == 'B' && b[1] == 'M') return Kind::kBmp;
  static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  if (n == 8 && std::memcmp(b, kPngSignature, 8) == 0) return Kind::kPng;
  if (n >= 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF) return Kind::kJpeg;
  SetFileError("unknown file format");
  return Kind::kNone;
}

void SetDebugText(const std::string& text) {
  const size_t n = std::min(text.size(), kDebugBytes - 1);
  std::memcpy(t_debug, text.data(), n);
  t_debug[n] = 0;
}

// A page of a TIFF file: the own reader first, libtiff for what it refuses.
// Reasons name the page when the file has more than one.
int32_t LoadTiffFile(const LoadControl& c, const char* path, int32_t page, int32_t flags) {
  TiffPage where;
  if (!FindTiffPage(path, page, &where)) return -1;
  const bool multi = page > 1 || where.more;
  std::string ownReason;
  int32_t ownKind = 0;
  bool handOver = where.bigTiff;
  if (!where.bigTiff) {
    FileSlot file(ReadFileHeaderAt(path, where.ifdOffset));
    FileLayout layout;
    if (file.get() && GetFileLayout(file.get(), &layout)) {
      if (flags & VANTOR_LOAD_LUT) InstallFileLut(file.get());
      int32_t length = int32_t(kDebugBytes);
      GetHeaderInfo(file.get(), nullptr, nullptr, nullptr, t_debug, &length, nullptr, nullptr);
      int32_t h = LoadTiff(c, file.get(), layout);
      if (h > 0) {
        ClearFileError();
        return h;
      }
    }
    ownReason = FileError();
    ownKind = FileErrorKind();
    handOver = FileErrorIsUnsupported();
  }
  TiffExtras extras;
  int32_t h = LoadTiffPage(c, path, where.ifdOffset, &extras);
  if (h > 0) {
    SetDebugText(extras.description);
    if (flags & VANTOR_LOAD_LUT)
      InstallColorMap(extras.colorMap.data(), int32_t(extras.colorMap.size()));
    ClearFileError();
    return h;
  }
  // Damage the own reader found is usually better told than libtiff's view.
  if (!handOver && !ownReason.empty()) SetFileErrorOf(ownKind, "%s", ownReason.c_str());
  if (multi) {
    const std::string why = FileError();
    SetFileErrorOf(FileErrorKind(), "page %d: %s", int(page), why.c_str());
  }
  return -1;
}

void InstallGreyLut(int32_t h) {
  int32_t depth = mrGetRectInfo(h, nullptr, nullptr);
  if (depth == 1) mrDisplayLut("White/Black", nullptr, nullptr, nullptr);
  if (depth == 8) mrDisplayLut("Linear", nullptr, nullptr, nullptr);
}

// Page page of any file, with the flags of mrReadFileLut.
int32_t LoadFile(const LoadControl& c, const char* path, int32_t page, int32_t flags) {
  ClearFileError();
  if (flags & VANTOR_LOAD_RECOGNISE) {
    FileSlot file(ReadFileHeader(path));
    if (file.get()) {
      if (flags & VANTOR_LOAD_LUT) InstallFileLut(file.get());
      return 0;
    }
    // TIFF files the own reader leaves to libtiff (BigTIFF, tiles) are TIFF too.
    return FileErrorIsUnsupported() ? 0 : -1;
  }
  const Kind kind = Sniff(path);
  if (kind == Kind::kNone) return -1;
  if (kind == Kind::kTiff) return LoadTiffFile(c, path, page, flags);
  if (page != 1) {
    SetFileErrorOf(err::kParameter, "no page %d: the file has 1", int(page));
    return -1;
  }
  if (kind == Kind::kPng) {
    int32_t h = LoadPng(c, path);
    if (h > 0) {
      ClearFileError();
      if (flags & VANTOR_LOAD_LUT) InstallGreyLut(h);
    }
    return h;
  }
  if (kind == Kind::kBmp) {
    FileSlot file(ReadFileHeader(path));
    FileLayout layout;
    if (file.get() && GetFileLayout(file.get(), &layout)) {
      if (flags & VANTOR_LOAD_LUT) InstallFileLut(file.get());
      int32_t length = int32_t(kDebugBytes);
      GetHeaderInfo(file.get(), nullptr, nullptr, nullptr, t_debug, &length, nullptr, nullptr);
      int32_t h = LoadBmp(c, file.get(), layout);
      if (h > 0) ClearFileError();
      return h;
    }
    return -1;
  }
  bool notJpeg = false;
  int32_t h = ReadJpeg(c, path, &notJpeg);
  if (h < 0) return -1;
  ClearFileError();
  if (flags & VANTOR_LOAD_LUT) InstallGreyLut(h);
  return h;
}

}  // namespace


namespace {
constexpr std::array<uint8_t, 256> MakeBitReverse() {
  std::array<uint8_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    unsigned r = 0;
    for (int i = 0; i < 8; ++i)
      if (b & (1u << i)) r |= 0x80u >> i;
    t[b] = uint8_t(r);
  }
  return t;
}
}  // namespace

constexpr std::array<uint8_t, 256> kBitReverse = MakeBitReverse();

Pixels Resolve(int32_t h) {
  Pixels p;
  void* base = nullptr;
  p.depth = mrGetExtendedInfo(h, &p.width, &p.height, &p.pitch, &base);
  p.base = static_cast<uint8_t*>(base);
  return p;
}

int32_t DecoderMessageKind(const char* message) {
  if (!message) return err::kFormat;
  // A copy in lower case, without allocating: memory may be what is short.
  char m[256];
  size_t n = 0;
  for (; message[n] && n + 1 < sizeof m; ++n)
    m[n] = char(std::tolower(static_cast<unsigned char>(message[n])));
  m[n] = 0;
  auto has = [&m](const char* what) { return std::strstr(m, what) != nullptr; };
  // Caps: "beyond the ... byte limit", "exceeds memory limits", "threshold".
  if (has("limit") || has("threshold")) return err::kFormat;
  static const char* const kShort[] = {
      "out of memory",   "insufficient memory", "not enough memory", "failed to allocate",
      "cannot allocate", "unable to allocate",  "no space for",      "no space to"};
  for (const char* what : kShort)
    if (has(what)) return err::kMemory;
  return err::kFormat;
}

std::string ReadableBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  if (bytes < 1024) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
  double v = double(bytes);
  int u = -1;
  while (v >= 1024 && u < 5) {
    v /= 1024;
    ++u;
  }
  char text[32];
  // One decimal below 10 of a unit, whole numbers above; 9.96 shows as 10.
  if (v < 9.95)
    std::snprintf(text, sizeof text, "%.1f %s", v, kUnits[u]);
  else
    std::snprintf(text, sizeof text, "%.0f %s", v, kUnits[u]);
  return text;
}

namespace {

uint64_t Budget(const LoadControl& c) {
  return c.maxBytes != 0 ? c.maxBytes : UINT64_MAX;
}

std::string BudgetText(const LoadControl& c) {
  std::string s = "the budget is " + ReadableBytes(c.maxBytes);
  if (c.budgetName && c.budgetName[0]) s += std::string(" (") + c.budgetName + ")";
  return s;
}

uint64_t RectBytes(uint32_t depth, uint32_t width, uint32_t height) {
  return ((uint64_t(depth) * width + 31) / 32) * 4 * height;
}

}  // namespace

bool WithinLimit(const LoadControl& c, uint64_t bytes, const char* what) {
  if (bytes <= Budget(c)) return true;
  SetFileError("a %s of %s exceeds the frame's budget; %s", what, ReadableBytes(bytes).c_str(),
               BudgetText(c).c_str());
  return false;
}

bool FrameFits(const LoadControl& c, uint32_t depth, uint32_t width, uint32_t height,
               uint64_t scratch) {
  if (width == 0 || height == 0) {
    SetFileError("empty image (%u x %u)", unsigned(width), unsigned(height));
    return false;
  }
  const uint64_t picture = RectBytes(depth, width, height);
  const uint64_t need = picture + c.extraPerPixel * width * height + scratch;
  if (need > Budget(c)) {
    SetFileError("the frame would need %s (%u x %u, %u-bit); %s", ReadableBytes(need).c_str(),
                 unsigned(width), unsigned(height), unsigned(depth), BudgetText(c).c_str());
    return false;
  }
  if (width > INT32_MAX || height > INT32_MAX || picture > kStoreMaxBytes) {
    SetFileError("a frame of %u x %u, %u-bit (%s) is beyond the image store's limit of %s",
                 unsigned(width), unsigned(height), unsigned(depth), ReadableBytes(picture).c_str(),
                 ReadableBytes(kStoreMaxBytes).c_str());
    return false;
  }
  return true;
}

int32_t CreateRect(const LoadControl& c, uint32_t depth, uint32_t width, uint32_t height,
                   uint64_t scratch) {
  if (!FrameFits(c, depth, width, height, scratch)) return -1;
  int32_t h = mrCreate(int32_t(depth), int32_t(width), int32_t(height));
  if (h <= 0) {
    SetFileErrorOf(err::kMemory, "out of memory for a frame of %u x %u, %u-bit (%s)",
                   unsigned(width), unsigned(height), unsigned(depth),
                   ReadableBytes(RectBytes(depth, width, height)).c_str());
    return -1;
  }
  return h;
}

}  // namespace vantor

using namespace vantor;

namespace {

// The loaders' entry: failures report their load reason as the cause.
template <class F>
int32_t LoadGuarded(const char* operation, F&& body) {
  return FileGuardedWhen(
      operation, int32_t(-1), [](int32_t r) { return r < 0; }, std::forward<F>(body));
}

}  // namespace

extern "C" {

int32_t mrReadFile(const char* path) {
  return LoadGuarded(__func__, [&] { return mrReadFilePage(path, 1); });
}

int32_t mrReadFilePage(const char* path, int32_t page) {
  return LoadGuarded(__func__, [&]() -> int32_t {
    ClearFileError();
    if (!path || !IsExisting(path)) {
      SetFileErrorOf(err::kFile, "file not found");
      return -1;
    }
    return LoadFile(LoadControl{}, path, page, 0);
  });
}

int32_t mrReadFileLimited(const char* path, int32_t page, const VantorLoadLimits* limits) {
  return LoadGuarded(__func__, [&]() -> int32_t {
    ClearFileError();
    if (!path || !IsExisting(path)) {
      SetFileErrorOf(err::kFile, "file not found");
      return -1;
    }
    LoadControl c;
    if (limits) {
      c.maxBytes = limits->maxBytes;
      c.extraPerPixel = limits->extraPerPixel;
      c.budgetName = limits->budgetName;
    }
    return LoadFile(c, path, page < 1 ? 1 : page, 0);
  });
}


int32_t mrReadFileLut(const char* path, int32_t flags) {
  return LoadGuarded(__func__, [&] { return LoadFile(LoadControl{}, path, 1, flags); });
}

int32_t mrPageCount(const char* path) {
  return LoadGuarded(__func__, [&]() -> int32_t {
    ClearFileError();
    if (!path || !IsExisting(path)) {
      SetFileErrorOf(err::kFile, "file not found");
      return -1;
    }
    switch (Sniff(path)) {
      case Kind::kTiff: {
        int32_t n = CountTiffPages(path);
        if (n > 0) ClearFileError();
        return n;
      }
      case Kind::kNone:
        return -1;
      default:
        return 1;
    }
  });
}

int32_t mrReadJPEGfile(const char* path) {
  return LoadGuarded(__func__, [&]() -> int32_t {
    ClearFileError();
    bool notJpeg = false;
    int32_t h = ReadJpeg(LoadControl{}, path, &notJpeg);
    if (notJpeg) SetFileError("not a JPEG file");
    if (h > 0) ClearFileError();
    return h;
  });
}

int32_t mrBitmapToMemRect(const VantorBitmap* bitmap, int32_t orientation) {
  return LoadGuarded(__func__, [&]() -> int32_t {
    ClearFileError();
    if (!bitmap || !bitmap->pixels || bitmap->width <= 0 || bitmap->height <= 0) {
      SetFileErrorOf(err::kParameter, "bad bitmap");
      return -1;
    }
    const int32_t bits = bitmap->bitsPerPixel;
    if (bits != 1 && bits != 8 && bits != 16 && bits != 24 && bits != 32) {
      SetFileErrorOf(err::kParameter, "bitmap with %d bits per pixel", int(bits));
      return -1;
    }
    const uint64_t rowBytes = (uint64_t(bits) * uint64_t(bitmap->width) + 7) / 8;
    const int64_t stride = bitmap->stride;
    if (uint64_t(stride < 0 ? -stride : stride) < rowBytes) {
      SetFileErrorOf(err::kParameter, "bitmap stride %d is shorter than a row", int(stride));
      return -1;
    }
    RectOwner rect(CreateRect(LoadControl{}, uint32_t(bits), uint32_t(bitmap->width),
                               uint32_t(bitmap->height)));
    if (!rect) return -1;
    const Pixels p = Resolve(rect.get());
    const uint8_t* src = static_cast<const uint8_t*>(bitmap->pixels);
    for (int32_t k = 0; k < p.height; ++k) {
      int32_t y = orientation == 0 ? p.height - 1 - k : k;
      std::memcpy(p.row(y), src + stride * k, rowBytes);
    }
    return rect.release();
  });
}

void InverseBytes(void* buffer, int32_t length) { TableSubst(buffer, buffer, length, nullptr); }

void TableSubst(const void* source, void* destination, int32_t length, const uint8_t* table) {
  if (!source || !destination || length <= 0) return;
  const uint8_t* t = table ? table : kBitReverse.data();
  const uint8_t* s = static_cast<const uint8_t*>(source);
  uint8_t* d = static_cast<uint8_t*>(destination);
  for (int32_t i = 0; i < length; ++i) d[i] = t[s[i]];
}

int32_t mrPermute(int32_t handle, int32_t groupSize, const uint8_t* order) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    if (!order || groupSize < 1 || groupSize > 64)
      return err::Fail(err::kParameter, "group size %d (1 to 64) with order %p", int(groupSize),
                       static_cast<const void*>(order)),
             -1;
    for (int32_t j = 0; j < groupSize; ++j)
      if (order[j] >= groupSize)
        return err::Fail(err::kParameter, "order entry %d is %u, beyond the group of %d", int(j),
                         unsigned(order[j]), int(groupSize)),
               -1;
    const Pixels p = Resolve(handle);
    if (p.depth < 0) return err::FailHandle(handle), -1;
    const uint64_t rowBytes = (uint64_t(p.depth) * uint64_t(p.width) + 7) / 8;
    const uint64_t groups = rowBytes / uint64_t(groupSize);
    const bool swap3 = groupSize == 3 && order[0] == 2 && order[1] == 1 && order[2] == 0;
    for (int32_t y = 0; y < p.height; ++y) {
      uint8_t* r = p.row(y);
      if (swap3) {
        for (uint64_t g = 0; g < groups; ++g) std::swap(r[3 * g], r[3 * g + 2]);
        continue;
      }
      uint8_t tmp[64];
      for (uint64_t g = 0; g < groups; ++g) {
        uint8_t* q = r + g * uint64_t(groupSize);
        std::memcpy(tmp, q, size_t(groupSize));
        for (int32_t j = 0; j < groupSize; ++j) q[j] = tmp[order[j]];
      }
    }
    return handle;
  });
}

char* mrGetDebugBuff(void) { return t_debug; }

const char* mrLastLoadError(void) { return FileError(); }

}  // extern "C"

int32_t vantor::LoadFileWith(const LoadControl& c, const char* path, int32_t page, int32_t flags) {
  return LoadGuarded("mrReadFileLimited", [&] { return LoadFile(c, path, page, flags); });
}
