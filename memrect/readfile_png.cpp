// PNG files through libpng into memory rectangles: 8- and 16-bit grey and
// colour, palettes (expanded to colour), grey below 8 bits (scaled to 8),
// interlaced or not; alpha and transparency are dropped. Grey becomes depth 8
// or 16, colour depth 24 or 48 (blue, green, red), 16-bit samples in machine
// order, the bottom row of the picture in row 0.
//
// libpng reports fatal errors through a handler that must not return: it
// jumps back into DecodePng. Nothing with a destructor lives in DecodePng, so
// the jump skips no clean-up; what it holds is released by hand. Image size,
// chunk count and chunk memory are capped, and the chunk list is walked
// before libpng reads it: no chunk may claim more bytes than the file holds.
#include <png.h>

#include <atomic>
#include <cctype>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bmptiff/bmptiff_internal.h"
#include "memrect/memrect.h"
#include "memrect/readfile_internal.h"

namespace vantor {
namespace {

constexpr png_uint_32 kMaxSide = png_uint_32(1) << 24;
constexpr png_alloc_size_t kMaxChunkBytes = png_alloc_size_t(8) << 20;
constexpr png_uint_32 kMaxChunks = 1000;

std::atomic<bool> g_ignoreCrc{false};

struct PngJob {
  char message[200];
  int32_t kind;  // of a failure found here; 0: by libpng's message
};

void PngError(png_structp png, png_const_charp message) {
  auto* job = static_cast<PngJob*>(png_get_error_ptr(png));
  std::snprintf(job->message, sizeof job->message, "%s", message ? message : "error");
  png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

// libpng's words for a file that ends early, said plainly.
const char* PlainMessage(const char* message) {
  if (std::strcmp(message, "Read Error") == 0) return "file truncated";
  if (std::strcmp(message, "Not enough image data") == 0)
    return "file truncated: the image data end early";
  return message;
}

uint32_t Be32(const uint8_t* b) {
  return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
}

// Walks the chunk list (file positioned anywhere; left at its start): false
// with the reason set for a chunk longer than the rest of the file or an
// ancillary one above the cap, before libpng allocates for either.
bool CheckChunks(FILE* file) {
  if (fseeko(file, 0, SEEK_END) != 0) return true;  // libpng will tell
  const uint64_t size = uint64_t(ftello(file));
  uint64_t at = 8;
  while (at + 8 <= size) {
    uint8_t head[8];
    if (fseeko(file, off_t(at), SEEK_SET) != 0 || std::fread(head, 1, 8, file) != 8) break;
    const uint64_t length = Be32(head);
    char type[5] = {};
    for (int i = 0; i < 4; ++i)
      type[i] = std::isalpha(head[4 + i]) ? char(head[4 + i]) : '?';
    if (at + 12 + length > size) {
      SetFileError("PNG: file truncated: chunk %s claims %s, the file holds %s of it", type,
                   ReadableBytes(length).c_str(),
                   ReadableBytes(size > at + 8 ? size - at - 8 : 0).c_str());
      return false;
    }
    // Ancillary chunks (lower-case first letter) are text, profiles and the like.
    if ((head[4] & 0x20) && length > kMaxChunkBytes) {
      SetFileError("PNG: chunk %s of %s is above the limit of %s for such data", type,
                   ReadableBytes(length).c_str(), ReadableBytes(kMaxChunkBytes).c_str());
      return false;
    }
    if (std::memcmp(head + 4, "IEND", 4) == 0) break;
    at += 12 + length;
  }
  std::rewind(file);
  return true;
}

bool LittleEndianHost() {
  const uint16_t one = 1;
  uint8_t first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// Decodes the open file into a new rectangle; -1 with the reason set.
int32_t DecodePng(const LoadControl& c, FILE* file) {
  PngJob job;
  job.message[0] = 0;
  job.kind = 0;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &job, PngError, PngWarning);
  if (!png) {
    SetFileErrorOf(err::kMemory, "out of memory");
    return -1;
  }
  png_infop info = png_create_info_struct(png);
  volatile int32_t handle = -1;
  png_bytep* volatile rows = nullptr;
  if (!info || setjmp(png_jmpbuf(png))) {
    const int32_t kind = !info || !job.message[0] ? err::kMemory
                         : job.kind != 0          ? job.kind
                                                  : DecoderMessageKind(job.message);
    SetFileErrorOf(kind, "PNG: %s", job.message[0] ? PlainMessage(job.message) : "out of memory");
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    if (handle > 0) mrFree(handle);
    std::free(rows);
    return -1;
  }
  png_init_io(png, file);
  png_set_user_limits(png, kMaxSide, kMaxSide);
  png_set_chunk_cache_max(png, kMaxChunks);
  png_set_chunk_malloc_max(png, kMaxChunkBytes);
  if (g_ignoreCrc.load(std::memory_order_relaxed))
    png_set_crc_action(png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  const int colourType = png_get_color_type(png, info);
  const int bitDepth = png_get_bit_depth(png, info);
  if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colourType == PNG_COLOR_TYPE_GRAY && bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (colourType & PNG_COLOR_MASK_ALPHA || colourType == PNG_COLOR_TYPE_PALETTE)
    png_set_strip_alpha(png);
  if (bitDepth == 16 && LittleEndianHost()) png_set_swap(png);
  if (colourType & PNG_COLOR_MASK_COLOR) png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const int channels = png_get_channels(png, info);
  const int depth = png_get_bit_depth(png, info);
  if ((channels != 1 && channels != 3) || (depth != 8 && depth != 16)) {
    std::snprintf(job.message, sizeof job.message, "%d channels of %d bits after expansion",
                  channels, depth);
    png_longjmp(png, 1);
  }
  const uint32_t bits = uint32_t(channels * depth);
  if (png_get_rowbytes(png, info) != (uint64_t(width) * bits + 7) / 8) {
    std::snprintf(job.message, sizeof job.message, "unexpected row size");
    png_longjmp(png, 1);
  }
  handle = CreateRect(c, bits, width, height);
  if (handle <= 0) {
    // The reason is set; leave through the same clean-up with it kept.
    std::snprintf(job.message, sizeof job.message, "%s", FileError());
    const int32_t kind = FileErrorKind();
    png_destroy_read_struct(&png, &info, nullptr);
    SetFileErrorOf(kind, "%s", job.message);
    return -1;
  }
  const Pixels p = Resolve(handle);
  rows = static_cast<png_bytep*>(std::malloc(sizeof(png_bytep) * height));
  if (!rows) {
    std::snprintf(job.message, sizeof job.message, "out of memory");
    job.kind = err::kMemory;
    png_longjmp(png, 1);
  }
  // The first PNG row is the top of the picture: it goes to the last row.
  for (png_uint_32 y = 0; y < height; ++y) rows[y] = p.row(int32_t(height - 1 - y));
  png_read_image(png, rows);
  std::free(rows);
  png_destroy_read_struct(&png, &info, nullptr);
  return handle;
}

}  // namespace

void SetPngIgnoreCrc(bool ignore) { g_ignoreCrc.store(ignore, std::memory_order_relaxed); }

int32_t LoadPng(const LoadControl& c, const char* path) {
  FILE* file = std::fopen(path, "rb");
  if (!file) {
    SetFileErrorOf(err::kFile, "cannot open the file");
    return -1;
  }
  int32_t h = CheckChunks(file) ? DecodePng(c, file) : -1;
  std::fclose(file);
  return h;
}

}  // namespace vantor
