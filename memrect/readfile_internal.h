// Internal side of the image loaders: controls, and what the per-format
// loaders (readfile.cpp, readfile_tiff.cpp, readfile_png.cpp) share.
#ifndef VANTOR_MEMRECT_READFILE_INTERNAL_H
#define VANTOR_MEMRECT_READFILE_INTERNAL_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantor {

// The largest rectangle the image store holds (bytes of pitch x height).
constexpr uint64_t kStoreMaxBytes = 0x7FFFFF32;

// What one load may spend, carried by every loader of the call. maxBytes is
// the frame's budget (0: the store's limit only): the decoded picture, the
// caller's working copies (extraPerPixel bytes a pixel) and the decoder's own
// buffers together. budgetName says in refusals how the budget is set.
struct LoadControl {
  uint64_t maxBytes = 0;
  uint64_t extraPerPixel = 0;
  const char* budgetName = nullptr;
};

// "1.5 GiB", "640 KiB", "12 bytes": byte counts as people read them.
std::string ReadableBytes(uint64_t bytes);

// False, with the reason set, when a decoder buffer of bytes (for what, e.g.
// "TIFF strip") would exceed the budget by itself.
bool WithinLimit(const LoadControl& c, uint64_t bytes, const char* what);

// The kind (VANTOR_ERROR_*) of a failure a decoder library reports only as
// text: MEMORY when it ran out of memory, else FORMAT (a memory cap that a
// damaged header runs into included).
int32_t DecoderMessageKind(const char* message);

// Page page of any file with the flags of mrReadFileLut, within c's budget.
int32_t LoadFileWith(const LoadControl& c, const char* path, int32_t page, int32_t flags);

// A new owned rectangle (zero-filled, 4-byte pitch), or -1 with the reason
// set: checked first against the store's limit and then against the budget,
// counting scratch bytes the decoder holds besides the picture.
int32_t CreateRect(const LoadControl& c, uint32_t depth, uint32_t width, uint32_t height,
                   uint64_t scratch = 0);

// The same check alone, before a decoder starts: false with the reason set.
bool FrameFits(const LoadControl& c, uint32_t depth, uint32_t width, uint32_t height,
               uint64_t scratch = 0);

// The pixels of a rectangle as the loaders fill them.
struct Pixels {
  int32_t depth = -1, width = 0, height = 0, pitch = 0;
  uint8_t* base = nullptr;
  uint8_t* row(int32_t y) const { return base + std::ptrdiff_t(y) * pitch; }
};
Pixels Resolve(int32_t handle);

// byte -> byte with its bit order reversed.
extern const std::array<uint8_t, 256> kBitReverse;

// What a TIFF page carries besides its pixels.
struct TiffExtras {
  std::string description;        // ImageDescription
  std::vector<uint16_t> colorMap;  // palette: all red, then green, then blue
};

// Loads the TIFF page whose IFD lies at ifdOffset through libtiff into a new
// rectangle (same depths and layout as the own reader, plus what only libtiff
// reads). The handle, or -1 with the reason set; nothing is left behind.
int32_t LoadTiffPage(const LoadControl& c, const char* path, uint64_t ifdOffset,
                     TiffExtras* extras);

// Loads a PNG file into a new rectangle; the handle or -1 with the reason set.
int32_t LoadPng(const LoadControl& c, const char* path);

// Whether chunk checksums of PNG files are ignored (default: checked). The
// PNG fuzz target ignores them, so that its mutations reach past them.
void SetPngIgnoreCrc(bool ignore);

}  // namespace vantor

#endif
