// Aligned frames: the frame resampled by the library's ResampleAffine straight
// into a buffer laid out as the TIFF file's rows (top of the picture first),
// put into file order in place, and written in one go through an OutputFile
// (a temporary name, then a rename); 32-bit float frames through libtiff.
#include "app/aligned.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <thread>
#include <vector>

#include <tiffio.h>

#include "app/outputs.h"
#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_write.h"
#include "generic/errors.h"
#include "improc/resample.h"
#include "improc/warp.h"
#include "memrect/display_lut.h"
#include "memrect/memrect.h"
#include "memrect/readfile.h"
#include "memrect/rect_owner.h"

namespace vantor::app {
namespace {

namespace fs = std::filesystem;

void Fail(std::string* error, const std::string& what) {
  if (error != nullptr) *error = what;
}

// Per-thread scratch for the file rows, kept between frames (a fresh block
// would cost a page fault per 4 KB every time).
std::vector<uint8_t>& Scratch(size_t bytes) {
  thread_local std::vector<uint8_t> buffer;
  if (buffer.size() < bytes || buffer.size() / 4 > bytes) {
    buffer = std::vector<uint8_t>();
    buffer.resize(bytes);
  }
  return buffer;
}

// A slot for the header; the table has 16 and a slot is held only while one
// file is written, so a busy table frees up soon. Only a full table (a file
// error: no file is touched yet) is waited for; counting the free slots
// after the failure raced with the threads that freed one meanwhile.
int16_t HeaderSlot(int32_t depth, int32_t width, int32_t height, const uint8_t* table,
                   int32_t entries, const char* description) {
  for (int attempt = 0; attempt < 2000; ++attempt) {
    const int16_t slot = CreateTheHeader(VANTOR_FORMAT_TIFF, depth, width, height,
                                         entries > 0 ? table : nullptr, entries, description);
    if (slot != 0) return slot;
    if (mrLastErrorKind() != VANTOR_ERROR_FILE) return 0;  // the header itself failed
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return 0;
}

// What FileRows laid out.
struct FrameShape {
  int32_t depth = 0, width = 0, height = 0;
  size_t rowBytes = 0;
  bool float32 = false;  // doubles written as 32-bit floats
};

struct SlotRelease {
  int16_t slot;
  ~SlotRelease() { FreeTheData(slot); }
};

}  // namespace

bool CreateOutputFolder(const std::string& dir, std::string* error) {
  std::error_code ec;
  if (dir.empty() || fs::is_directory(dir, ec)) return true;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) {
    Fail(error, dir + ": cannot create the folder: " + (ec ? ec.message() : "not a folder"));
    return false;
  }
  return true;
}

namespace {

// The checks every aligned output makes before anything is written.
bool CheckTarget(const fs::path& target, const std::string& inputPath, std::string* error) {
  const std::string where = target.string();
  if (target.filename().empty() || !CreateOutputFolder(target.parent_path().string(), error)) {
    if (target.filename().empty()) Fail(error, where + ": no file name for the aligned frame");
    return false;
  }
  std::error_code ec;
  if (!inputPath.empty() && fs::equivalent(target, inputPath, ec)) {
    Fail(error, where + ": is the input file itself; not overwritten");
    return false;
  }
  if (fs::is_directory(target, ec)) {
    Fail(error, where + ": is a folder");
    return false;
  }
  return true;
}

// The fill a frame gets: the one given, else 0 for integer frames and NaN
// for floating-point ones.
double FillOf(int32_t depth, const AlignedLook& look) {
  return look.fill ? *look.fill : depth == 64 ? std::nan("") : 0.0;
}

// A 4-bit frame moved onto the first: its levels spread one to a byte,
// resampled as 8-bit grey (top row first), clipped to the 16 levels and
// packed into file rows, the leftmost pixel in the high half of a byte.
bool NibbleRows(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                const double* m, const AlignedLook& look, uint8_t* out, size_t rowBytes) {
  const size_t w = static_cast<size_t>(width);
  std::vector<uint8_t> levels(w * static_cast<size_t>(height)), moved(levels.size());
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = static_cast<const uint8_t*>(pixels) +
                         static_cast<ptrdiff_t>(height - 1 - y) * pitch;
    for (size_t x = 0; x < w; ++x) levels[y * w + x] = (row[x >> 1] >> ((x & 1) * 4)) & 15;
  }
  if (ResampleAffine(levels.data(), width, height, width, moved.data(), width, height, width,
                     kResampleU8, 1, m, look.interpolation, FillOf(4, look)) < 0)
    return false;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* in = moved.data() + y * w;
    uint8_t* file = out + y * rowBytes;
    std::memset(file, 0, rowBytes);
    for (size_t x = 0; x < w; ++x)
      file[x >> 1] |= std::min<uint8_t>(in[x], 15) << ((x & 1) ? 0 : 4);
  }
  return true;
}

// The frame's rows moved onto the first frame, in file order: the top of the
// picture first, colour channels red first, 1-bit rows with the leftmost
// pixel in the top bit, doubles as floats with look.float32. Returns the
// per-thread scratch holding them.
const std::vector<uint8_t>* FileRows(int32_t source, double dx, double dy, const std::string& where,
                                     const AlignedLook& look, FrameShape* shape,
                                     std::string* error) {
  int32_t width = 0, height = 0, pitch = 0;
  void* pixels = nullptr;
  const int32_t depth = mrGetExtendedInfo(source, &width, &height, &pitch, &pixels);
  if (depth < 0) {
    Fail(error, where + ": the frame is not a valid image");
    return nullptr;
  }
  if (depth != 1 && depth != 4 && depth != 8 && depth != 16 && depth != 24 && depth != 32 &&
      depth != 48 && depth != 64) {
    Fail(error, where + ": " + std::to_string(depth) + "-bit frames cannot be aligned");
    return nullptr;
  }
  if (!std::isfinite(dx) || !std::isfinite(dy)) {
    Fail(error, where + ": the displacement is not a number");
    return nullptr;
  }
  const std::string fillProblem = depth == 1 ? "" : FillProblem(depth, FillOf(depth, look));
  if (!fillProblem.empty()) {
    Fail(error, where + ": the fill is " + fillProblem);
    return nullptr;
  }
  const bool float32 = depth == 64 && look.float32;
  const int32_t fileDepth = float32 ? 32 : depth;
  const size_t rowBytes = (static_cast<size_t>(fileDepth) * static_cast<size_t>(width) + 7) / 8;
  const size_t bytes = rowBytes * static_cast<size_t>(height);
  if (bytes + 8192 > 0xFFFFFFFFu) {
    Fail(error, where + ": the frame is too large for a TIFF file (4 GB)");
    return nullptr;
  }
  *shape = FrameShape{depth, width, height, rowBytes, float32};
  std::vector<uint8_t>& rows = Scratch(bytes);
  if (bytes == 0) return &rows;
  // The picture top row first: the rectangle's last row, read backwards.
  const uint8_t* top = static_cast<const uint8_t*>(pixels) + static_cast<ptrdiff_t>(height - 1) * pitch;
  // Row y of the picture (counted down) takes the frame at y + dy, as dy counts up.
  double m[6];
  if (ResampleMotionMatrix(look.a, dx, dy, width, height, m) < 0) {
    Fail(error, where + ": the frame's motion cannot be undone (its matrix is singular)");
    return nullptr;
  }
  bool done = true;
  if (depth == 4) {
    done = NibbleRows(pixels, width, height, pitch, m, look, rows.data(), rowBytes);
  } else if (depth == 1) {
    std::memset(rows.data(), 0, bytes);  // bits past the width stay 0
    const double shift[9] = {1, 0, -dx, 0, 1, -dy, 0, 0, 1};
    PerspectiveTrans(pixels, width, height, pitch, rows.data() + (height - 1) * rowBytes, width,
                     height, -static_cast<int32_t>(rowBytes), depth, shift, 0, nullptr, 0, 0);
    InverseBytes(rows.data(), static_cast<int32_t>(bytes));  // leftmost pixel in the top bit
  } else if (float32) {
    // Floats exactly as the file held them, resampled as the Python module
    // resamples a float32 array.
    std::vector<float> narrow(static_cast<size_t>(width) * static_cast<size_t>(height));
    for (int32_t y = 0; y < height; ++y) {
      const double* in = reinterpret_cast<const double*>(top - static_cast<ptrdiff_t>(y) * pitch);
      std::copy(in, in + width, narrow.data() + static_cast<size_t>(y) * width);
    }
    done = ResampleAffine(narrow.data(), width, height, int64_t{width} * 4, rows.data(), width,
                          height, static_cast<int64_t>(rowBytes), kResampleF32, 1, m,
                          look.interpolation, FillOf(depth, look)) == 0;
  } else {
    const int32_t type = depth == 8 || depth == 24    ? kResampleU8
                         : depth == 16 || depth == 48 ? kResampleU16
                         : depth == 32                ? kResampleS32
                                                      : kResampleF64;
    const int32_t channels = depth == 24 || depth == 48 ? 3 : 1;
    done = ResampleAffine(top, width, height, -int64_t{pitch}, rows.data(), width, height,
                          static_cast<int64_t>(rowBytes), type, channels, m, look.interpolation,
                          FillOf(depth, look)) == 0;
    if (done && (depth == 24 || depth == 48)) {
      static const uint8_t k24[3] = {2, 1, 0}, k48[6] = {4, 5, 2, 3, 0, 1};
      mrClearLastError();
      RectOwner view(mrMakeExtern(rows.data(), depth, width, height, static_cast<int32_t>(rowBytes)));
      if (!view || mrPermute(view.get(), depth / 8, depth == 24 ? k24 : k48) < 0) {
        Fail(error, where + ": " + (mrLastError()[0] != '\0'
                                        ? std::string(mrLastError())
                                        : std::string("cannot put the channels into file order")));
        return nullptr;
      }
    }
  }
  if (!done) {
    Fail(error, where + ": " + std::string(mrLastError()));
    return nullptr;
  }
  return &rows;
}

}  // namespace

namespace {

// libtiff's errors for one file, kept for the caller's error line; its
// warnings are of no use to anyone here.
int OnTiffError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
  char text[512];
  std::vsnprintf(text, sizeof text, fmt, ap);
  auto* last = static_cast<std::string*>(user);
  *last = module != nullptr && *module != 0 ? std::string(module) + ": " + text : text;
  return 1;
}

int OnTiffWarning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

}  // namespace

std::string FillProblem(int32_t depth, double fill) {
  if (depth == 64) return "";
  if (std::isnan(fill)) return "not a number, which only floating-point frames take";
  const double top = depth == 1    ? 1
                     : depth == 4  ? 15
                     : depth == 8 || depth == 24 ? 255
                     : depth == 16 || depth == 48 ? 65535
                                                  : 2147483647.0;
  const double bottom = depth == 32 ? -2147483648.0 : 0;
  if (fill >= bottom - 0.5 && fill < top + 0.5) return "";
  char text[160];
  std::snprintf(text, sizeof text, "outside the range of %d-bit frames (%.10g to %.10g)",
                depth == 24 ? 8 : depth == 48 ? 16 : depth, bottom, top);
  return text;
}

bool StoredAsFloat32(const std::string& path, int32_t page) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (opts == nullptr) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(opts, OnTiffWarning, nullptr);  // silent: a guess only
  TIFFOpenOptionsSetWarningHandlerExtR(opts, OnTiffWarning, nullptr);
  TIFF* t = TIFFOpenExt(path.c_str(), "r", opts);
  TIFFOpenOptionsFree(opts);
  if (t == nullptr) return false;
  uint16_t format = SAMPLEFORMAT_UINT, bits = 1;
  const bool found = (page <= 1 || TIFFSetDirectory(t, static_cast<tdir_t>(page - 1))) &&
                     TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format) &&
                     TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFClose(t);
  return found && format == SAMPLEFORMAT_IEEEFP && bits <= 32;
}

bool WriteAlignedFrame(const std::string& dir, const std::string& name, int32_t source, double dx,
                       double dy, const std::string& inputPath, std::string* error,
                       const AlignedLook& look) {
  const fs::path target = fs::path(dir) / name;
  const std::string where = target.string();
  if (name.empty()) {
    Fail(error, dir + ": no file name for the aligned frame");
    return false;
  }
  if (!CheckTarget(target, inputPath, error)) return false;
  if (look.float32 && mrGetRectInfo(source, nullptr, nullptr) == 64) {
    // The library's writer has no float samples: a stack of one page.
    AlignedStack one;
    return one.Open(dir, name, inputPath, 0, error) && one.Append(source, dx, dy, error, look) &&
           one.Finish(error);
  }
  FrameShape shape;
  const std::vector<uint8_t>* file = FileRows(source, dx, dy, where, look, &shape, error);
  if (file == nullptr) return false;
  const std::vector<uint8_t>& rows = *file;
  const int32_t depth = shape.depth, width = shape.width, height = shape.height;

  // The colour table the library's TIFF writer would use.
  uint8_t table[256 * 4];
  int32_t entries = 0;
  if (depth == 1 && mrDisplayLutCopy(table) != 2) {
    static const uint8_t kWhiteBlack[8] = {255, 255, 255, 0, 0, 0, 0, 0};
    std::memcpy(table, kWhiteBlack, sizeof kWhiteBlack);
    entries = 2;
  }
  char description[96];
  std::snprintf(description, sizeof description, "aligned onto the first frame: DX %.6g DY %.6g",
                dx, dy);
  mrClearLastError();
  const int16_t slot = HeaderSlot(depth, width, height, table, entries, description);
  if (slot == 0) {
    Fail(error, where + ": " + (mrLastError()[0] != '\0'
                                    ? std::string(mrLastError())
                                    : std::string("cannot make the TIFF header (no memory, or "
                                                  "all file slots busy)")));
    return false;
  }
  OutputFile out;
  std::string cause;
  {
    SlotRelease release{slot};
    if (!out.Open(where, &cause)) {
      Fail(error, where + ": cannot create the file: " + cause);
      return false;
    }
    const bool written = MakeHeaderFileFd(slot, out.fd()) == 0 &&
                         WriteNextRows(slot, rows.data(), height) == 0 && RewriteHeader(slot) == 0;
    if (!written) {
      Fail(error, where + ": cannot write the file: " + std::strerror(errno));
      return false;  // out removes the unfinished file
    }
  }
  if (!out.Commit(&cause)) {
    Fail(error, where + ": cannot write the file: " + cause);
    return false;
  }
  return true;
}


struct AlignedStack::Tiff {
  TIFF* tif = nullptr;
  std::string message;
  OutputFile out;  // libtiff writes through a duplicate of its descriptor
};

AlignedStack::AlignedStack() = default;

AlignedStack::~AlignedStack() {
  if (tiff_ && tiff_->tif != nullptr) TIFFClose(tiff_->tif);  // the unfinished file goes with out
}

bool AlignedStack::Open(const std::string& dir, const std::string& name,
                        const std::string& inputPath, int64_t bytes, std::string* error) {
  const fs::path target = fs::path(dir) / name;
  target_ = target.string();
  if (!CheckTarget(target, inputPath, error)) return false;
  tiff_ = std::make_unique<Tiff>();
  std::string cause;
  if (!tiff_->out.Open(target_, &cause)) {
    Fail(error, target_ + ": cannot create the file: " + cause);
    return false;
  }
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (opts == nullptr) {
    Fail(error, target_ + ": out of memory");
    return false;
  }
  TIFFOpenOptionsSetErrorHandlerExtR(opts, OnTiffError, &tiff_->message);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, OnTiffWarning, nullptr);
  // Classic TIFF reaches 4 GB; a larger stack becomes a BigTIFF.
  const bool big = bytes > (int64_t{3} << 30);
  const int fd = ::fcntl(tiff_->out.fd(), F_DUPFD_CLOEXEC, 0);  // TIFFClose closes it
  if (fd >= 0) tiff_->tif = TIFFFdOpenExt(fd, target_.c_str(), big ? "w8" : "w", opts);
  const int saved = errno;
  TIFFOpenOptionsFree(opts);
  if (tiff_->tif == nullptr) {
    if (fd >= 0) ::close(fd);
    Fail(error, target_ + ": cannot create the file: " +
                    (tiff_->message.empty() ? std::strerror(saved) : tiff_->message));
    return false;
  }
  return true;
}

bool AlignedStack::Append(int32_t source, double dx, double dy, std::string* error,
                          const AlignedLook& look) {
  if (!tiff_ || tiff_->tif == nullptr) {
    Fail(error, target_ + ": the file is not open");
    return false;
  }
  // A hyperstack whose input held 32-bit floats keeps them.
  AlignedLook own = look;
  if (tags_ && tags_->float32) own.float32 = true;
  FrameShape shape;
  const std::vector<uint8_t>* rows = FileRows(source, dx, dy, target_, own, &shape, error);
  if (rows == nullptr) return false;
  TIFF* t = tiff_->tif;
  const int32_t d = shape.float32 ? 32 : shape.depth;
  const uint16_t samples = d == 24 || d == 48 ? 3 : 1;
  const uint16_t bits = static_cast<uint16_t>(d / samples);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(shape.width));
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(shape.height));
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, samples == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  TIFFSetField(t, TIFFTAG_SAMPLEFORMAT, d == 64 || shape.float32 ? SAMPLEFORMAT_IEEEFP
                                        : d == 32                 ? SAMPLEFORMAT_INT
                                                                  : SAMPLEFORMAT_UINT);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, static_cast<uint32_t>(std::max(shape.height, 1)));
  if (tags_) {
    if (pagesWritten_ == 0 && !tags_->description.empty())
      TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, tags_->description.c_str());
    if (tags_->xResolution > 0 && tags_->yResolution > 0) {
      TIFFSetField(t, TIFFTAG_XRESOLUTION, tags_->xResolution);
      TIFFSetField(t, TIFFTAG_YRESOLUTION, tags_->yResolution);
      TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, tags_->resolutionUnit);
    }
  } else {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    char description[96];
    std::snprintf(description, sizeof description, "aligned onto the first frame: DX %.6g DY %.6g",
                  dx, dy);
    TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, description);
  }
  const tmsize_t size = static_cast<tmsize_t>(shape.rowBytes * static_cast<size_t>(shape.height));
  if ((size > 0 &&
       TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(rows->data()), size) != size) ||
      !TIFFWriteDirectory(t)) {
    Fail(error, target_ + ": cannot write the page: " +
                    (tiff_->message.empty() ? std::strerror(errno) : tiff_->message));
    return false;
  }
  ++pagesWritten_;
  return true;
}

void AlignedStack::SetPageTags(PageTags tags) { tags_ = std::make_unique<PageTags>(std::move(tags)); }

bool AlignedStack::ReadPageTags(const std::string& path, PageTags* tags) {
  TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
  if (opts == nullptr) return false;
  std::string message;
  TIFFOpenOptionsSetErrorHandlerExtR(opts, OnTiffError, &message);
  TIFFOpenOptionsSetWarningHandlerExtR(opts, OnTiffWarning, nullptr);
  TIFFOpenOptionsSetMaxSingleMemAlloc(opts, tmsize_t{64} << 20);
  TIFF* t = TIFFOpenExt(path.c_str(), "r", opts);
  TIFFOpenOptionsFree(opts);
  if (t == nullptr) return false;
  *tags = PageTags{};
  const char* text = nullptr;
  if (TIFFGetField(t, TIFFTAG_IMAGEDESCRIPTION, &text) && text != nullptr) tags->description = text;
  float xr = 0, yr = 0;
  uint16_t unit = RESUNIT_INCH, format = SAMPLEFORMAT_UINT, bits = 1;
  if (TIFFGetField(t, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(t, TIFFTAG_YRESOLUTION, &yr)) {
    tags->xResolution = xr;
    tags->yResolution = yr;
    TIFFGetFieldDefaulted(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    tags->resolutionUnit = unit;
  }
  TIFFGetFieldDefaulted(t, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(t, TIFFTAG_BITSPERSAMPLE, &bits);
  tags->float32 = format == SAMPLEFORMAT_IEEEFP && bits == 32;
  TIFFClose(t);
  return true;
}

bool AlignedStack::Finish(std::string* error) {
  if (!tiff_ || tiff_->tif == nullptr) {
    Fail(error, target_ + ": the file is not open");
    return false;
  }
  TIFFClose(tiff_->tif);
  tiff_->tif = nullptr;
  std::string cause;
  if (!tiff_->message.empty()) {
    tiff_->out.Discard();
    Fail(error, target_ + ": cannot write the file: " + tiff_->message);
    return false;
  }
  if (!tiff_->out.Commit(&cause)) {
    Fail(error, target_ + ": cannot write the file: " + cause);
    return false;
  }
  return true;
}

}  // namespace vantor::app
