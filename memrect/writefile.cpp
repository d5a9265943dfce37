// The rectangle writers: a whole rectangle through a TIFF or BMP slot (rows
// that need no change go straight from the rectangle into one gathered write,
// the others through a scratch buffer, so the rectangle is only read), the
// choice of writer by file name, and JPEG files through libjpeg.
#include "memrect/writefile.h"

#include <sys/uio.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_internal.h"
#include "bmptiff/bmptiff_write.h"
#include "bmptiff/bmptiff_write_internal.h"
#include "memrect/convert.h"
#include "memrect/display_lut.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"
#include "memrect/rect_view.h"
#include "memrect/writefile_internal.h"

namespace vantor {

int32_t WriterColourTable(int32_t depth, int32_t format, uint8_t* table) {
  if (depth >= 24) return 0;
  const int32_t shown = mrDisplayLutCopy(table);
  if (depth == 1 && shown != 2) {
    static const uint8_t kWhiteBlack[8] = {255, 255, 255, 0, 0, 0, 0, 0};
    std::memcpy(table, kWhiteBlack, sizeof kWhiteBlack);
    return 2;
  }
  if (format != VANTOR_FORMAT_BMP) return 0;
  if (shown == 0 && depth <= 8) {
    // BMP readers take a missing palette as one of 2^depth entries: grey.
    const int32_t n = 1 << depth;
    for (int32_t i = 0; i < n; ++i) {
      const uint8_t v = uint8_t(i * 255 / (n - 1));
      table[4 * i] = table[4 * i + 1] = table[4 * i + 2] = v;
      table[4 * i + 3] = 0;
    }
    return n;
  }
  return shown;
}

bool RowsNeedChange(int32_t depth, int32_t format, bool rgb) {
  return depth == 1 || depth == 4 ||
         (rgb && format == VANTOR_FORMAT_TIFF && (depth == 24 || depth == 48));
}

void FileRow(const uint8_t* row, int32_t depth, int32_t width, int32_t format, bool rgb,
             uint32_t fileRowBytes, uint8_t* out) {
  const size_t bytes = size_t((uint64_t(depth) * uint64_t(width) + 7) / 8);
  if (out != row) std::memcpy(out, row, bytes);
  if (depth == 1) {
    TableSubst(out, out, int32_t(bytes), nullptr);
    if (width % 8 != 0) out[bytes - 1] &= uint8_t(0xFF << (8 - width % 8));
  } else if (depth == 4) {
    // Files hold the leftmost pixel of a byte in its high half.
    for (size_t i = 0; i < bytes; ++i) out[i] = uint8_t((out[i] << 4) | (out[i] >> 4));
    if (width % 2 != 0) out[bytes - 1] &= 0xF0;
  } else if (rgb && format == VANTOR_FORMAT_TIFF && depth == 24) {
    for (size_t i = 0; i + 3 <= bytes; i += 3) std::swap(out[i], out[i + 2]);
  } else if (rgb && format == VANTOR_FORMAT_TIFF && depth == 48) {
    for (size_t i = 0; i + 6 <= bytes; i += 6) {
      std::swap(out[i], out[i + 4]);
      std::swap(out[i + 1], out[i + 5]);
    }
  }
  if (fileRowBytes > bytes) std::memset(out + bytes, 0, fileRowBytes - bytes);
}

namespace {

// Releases a slot when the writer returns.
struct SlotRelease {
  int16_t slot;
  ~SlotRelease() { FreeTheData(slot); }
};

int32_t WriteRect(int32_t handle, const char* path, int32_t flags, int32_t format,
                  const char* description) {
  RectView v;
  if (!ResolveRect(handle, v)) return -1;
  if (path == nullptr) return err::Fail(err::kParameter, "no path"), -1;
  const bool rgb = (flags & 2) != 0;
  uint8_t table[256 * 4];
  const int32_t entries = WriterColourTable(v.depth, format, table);
  const int16_t slot = CreateTheHeader(format, v.depth, v.width, v.height,
                                       entries > 0 ? table : nullptr, entries, description);
  if (slot == 0) return -1;
  SlotRelease release{slot};
  if (MakeHeaderFile(slot, path) != 0) return -1;

  const uint64_t pixels = uint64_t(v.RowBytes());
  const uint32_t fileRow = format == VANTOR_FORMAT_TIFF
                               ? uint32_t(pixels)
                               : uint32_t(((uint64_t(v.depth) * v.width + 31) / 32) * 4);
  auto row = [&](int32_t c) { return v.Row((flags & 1) != 0 ? v.height - 1 - c : c); };
  bool ok = true;
  if (v.height > 0 && fileRow > 0) {
    if (!RowsNeedChange(v.depth, format, rgb)) {
      // Straight from the rectangle; BMP row padding from zeros (never the
      // bytes beyond a row, which may belong to another picture).
      static const uint8_t kZeros[4] = {0, 0, 0, 0};
      const size_t pad = fileRow - pixels;
      std::vector<struct iovec> parts;
      constexpr int32_t kRowsPerCall = 2048;
      parts.reserve(size_t(std::min(v.height, kRowsPerCall)) * 2);
      for (int32_t c = 0; c < v.height && ok; c += kRowsPerCall) {
        parts.clear();
        for (int32_t k = c; k < std::min(v.height, c + kRowsPerCall); ++k) {
          parts.push_back({row(k), size_t(pixels)});
          if (pad > 0) parts.push_back({const_cast<uint8_t*>(kZeros), pad});
        }
        ok = WriteNextRowsGather(slot, parts.data(), int(parts.size()));
      }
    } else {
      const int32_t batch = int32_t(std::clamp<uint64_t>((1u << 20) / fileRow, 1, uint64_t(v.height)));
      std::vector<uint8_t> scratch(size_t(batch) * fileRow);
      for (int32_t c = 0; c < v.height && ok; c += batch) {
        const int32_t n = std::min(batch, v.height - c);
        for (int32_t k = 0; k < n; ++k) {
          FileRow(row(c + k), v.depth, v.width, format, rgb, fileRow, scratch.data() + size_t(k) * fileRow);
        }
        ok = WriteNextRows(slot, scratch.data(), n) == 0;
      }
    }
  }
  if (!ok || RewriteHeader(slot) != 0) return -1;
  return v.height;
}

// ---- JPEG ------------------------------------------------------------------
// libjpeg reports fatal errors through error_exit, which jumps back into
// EncodeJpeg; everything with a destructor is made before the jump target.

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

// States libjpeg's reason, of the kind its message code tells.
void JpegErrorExit(j_common_ptr cinfo) {
  char message[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, message);
  const int code = cinfo->err->msg_code;
  const int32_t kind = code == JERR_OUT_OF_MEMORY ? err::kMemory
                       : code == JERR_FILE_WRITE  ? err::kFile
                                                  : err::kFailed;
  err::Fail(kind, "JPEG: %s", message);
  longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
void JpegOutputMessage(j_common_ptr) {}

// A 24-bit rectangle, top of the picture first; false on any failure.
bool EncodeJpeg(const RectView& v, FILE* file, int quality, uint8_t* rgb) {
  jpeg_compress_struct cinfo;
  JpegError err;
  std::memset(&cinfo, 0, sizeof cinfo);
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.output_message = JpegOutputMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = JDIMENSION(v.width);
  cinfo.image_height = JDIMENSION(v.height);
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  for (int32_t y = v.height - 1; y >= 0; --y) {
    const uint8_t* src = v.Row(y);
    for (int32_t x = 0; x < v.width; ++x) {
      rgb[3 * x] = src[3 * x + 2];
      rgb[3 * x + 1] = src[3 * x + 1];
      rgb[3 * x + 2] = src[3 * x];
    }
    JSAMPROW line = rgb;
    jpeg_write_scanlines(&cinfo, &line, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace
}  // namespace vantor

using namespace vantor;

namespace {

bool Negative(int32_t r) { return r < 0; }

}  // namespace

extern "C" int32_t mrWriteToFile(int32_t handle, const char* path, int32_t flags) {
  return FileGuardedWhen(__func__, int32_t(-1), Negative, [&] {
    return WriteRect(handle, path, flags, VANTOR_FORMAT_BMP, nullptr);
  });
}

extern "C" int32_t mrWriteToFileTIFF(int32_t handle, const char* path, int32_t flags,
                                     const char* description) {
  return FileGuardedWhen(__func__, int32_t(-1), Negative, [&] {
    return WriteRect(handle, path, flags | 2, VANTOR_FORMAT_TIFF, description);
  });
}

extern "C" int32_t mrSaveJPEGfile(int32_t handle, const char* path, int32_t quality) {
  return err::Guarded(__func__, int32_t(-1), [&]() -> int32_t {
    RectView v;
    if (!ResolveRect(handle, v)) return -1;
    if (v.Empty()) return err::Fail(err::kParameter, "image %d is empty", int(handle)), -1;
    if (path == nullptr) return err::Fail(err::kParameter, "no path"), -1;
    RectOwner colour;
    if (v.depth != 24) {
      colour.reset(mrCreate(24, v.width, v.height));
      if (!colour || mrConvert(handle, colour.get(), 0) < 0 || !ResolveRect(colour.get(), v))
        return -1;
    }
    std::vector<uint8_t> rgb(size_t(v.width) * 3);
    FILE* file = std::fopen(path, "wb");
    if (file == nullptr)
      return err::Fail(err::kFile, "cannot create '%s': %s", path, std::strerror(errno)), -1;
    const bool encoded =
        EncodeJpeg(v, file, quality <= 0 ? 100 : std::min(quality, 100), rgb.data());
    const int closeError = std::fclose(file) == 0 ? 0 : errno;
    if (!encoded) return -1;
    if (closeError != 0)
      return err::Fail(err::kFile, "cannot write '%s': %s", path, std::strerror(closeError)), -1;
    return handle;
  });
}

extern "C" int32_t mrSaveByExtention(int32_t handle, char* name, int32_t size) {
  return err::GuardedWhen(__func__, int32_t(-1), Negative, [&]() -> int32_t {
    if (name == nullptr) return 0;
    const size_t len = std::strlen(name);
    if (len <= 4) return 0;
    int32_t width = 0, height = 0;
    const int32_t depth = mrGetRectInfo(handle, &width, &height);
    if (depth < 0) return err::FailHandle(handle), -1;
    // Completed in the caller's buffer when it has the room, else in a copy.
    std::string copy(name);
    const bool in_place = int64_t(len) < int64_t(size) - 5;
    if (name[len - 4] != '.') copy += depth == 24 ? ".jpg" : ".tif";
    if (depth == 1) copy.replace(copy.size() - 4, 4, ".bmp");
    if (in_place) std::memcpy(name, copy.c_str(), copy.size() + 1);
    const char* used = in_place ? name : copy.c_str();

    std::string ext = copy.substr(copy.size() - 4);
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    int32_t result;
    if (ext == ".jpg") {
      result = mrSaveJPEGfile(handle, used, 0);
    } else if (ext == ".tif") {
      result = mrWriteToFileTIFF(handle, used, 1, nullptr);
    } else {
      mrDisplayLut("Linear", nullptr, nullptr, nullptr);
      result = mrWriteToFile(handle, used, 0);
    }
    return result > 0 ? int32_t(copy.size()) : result;
  });
}
