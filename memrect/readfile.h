/* Loading image files into memory rectangles.
 *
 * Loaded images hold the bottom row of the picture in row 0 and have the
 * 4-byte pitch. By file:
 *   TIFF 1 bit           depth 1, least significant bit = leftmost pixel
 *   TIFF 4, 8, 16, 32    same depth, samples as stored (palette indices stay)
 *   TIFF 2..7, 9..15     widened to depth 8 or 16, values as stored
 *   TIFF signed 8, 16    depth 8 or 16, offset into unsigned (-32768 -> 0)
 *   TIFF float 16/32/64  depth 64 (double), NaN and infinities kept
 *   TIFF RGB 8,8,8       depth 24, bytes blue, green, red
 *   TIFF RGB 16,16,16    depth 48, 16-bit words blue, green, red
 *   TIFF CMYK, YCbCr ... depth 24 (converted to RGB)
 *   BMP 1 bit            depth 1, least significant bit = leftmost pixel
 *   BMP 4 to 32 bits     same depth, as stored (palettes are not applied)
 *   JPEG colour          depth 24, blue, green, red (CMYK is converted)
 *   JPEG greyscale       depth 8
 *   PNG grey 8, 16       depth 8, 16 (grey below 8 bits scaled to 8)
 *   PNG colour, palette  depth 24 or 48, blue, green, red
 * TIFF files may be compressed in any way libtiff decodes, striped or tiled,
 * BigTIFF, chunky or planar; alpha and other extra samples are dropped (RGBA
 * gives depth 24, grey with alpha depth 8). 16- and 32-bit samples of
 * big-endian ("MM") TIFF files come in machine order; top-down BMP files are
 * flipped like the rest. BMP data must be uncompressed or 8-bit run-length.
 * PNG alpha and transparency are dropped; 16-bit samples in machine order.
 * Every page (IFD) of a TIFF file is a picture of its own. Every failure
 * leaves its reason for mrLastLoadError. All loaders may run in several
 * threads at once. */
#ifndef VANTOR_MEMRECT_READFILE_H
#define VANTOR_MEMRECT_READFILE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Flags of mrReadFileLut. */
#define VANTOR_LOAD_LUT 1        /* install the file's colour table as display table */
#define VANTOR_LOAD_RECOGNISE 2  /* only recognise TIFF or BMP; load nothing */

/* A decoded picture in memory, scan lines from the top of the picture down,
 * stride bytes apart (at least (bitsPerPixel x width + 7) / 8). Bits per pixel
 * 1, 8, 16, 24 or 32. */
typedef struct VantorBitmap {
  int32_t bitsPerPixel;
  int32_t width;
  int32_t height;
  int32_t stride;
  const void* pixels;
} VantorBitmap;

/* Floating-point images (depth 64) to grey. mrFiniteMinMax stores the
 * smallest and largest finite value (NaN and infinities left out; both 0 when
 * there is none; lo and hi may be null) and returns the number of finite
 * pixels, -1 for a handle that is not a valid depth-64 rectangle.
 * mrDoubleToGrey writes into the 8-bit destination of the same size:
 * lo..hi mapped linearly onto 0..255 and rounded, values at or below lo 0, at
 * or above hi 255, NaN and infinities 0. It returns the number of NaN and
 * infinite pixels, or -1 (bad handles, depths or sizes; lo or hi not finite;
 * hi below lo) leaving the destination untouched. */
VANTOR_API int32_t mrFiniteMinMax(int32_t source, double* lo, double* hi);
VANTOR_API int32_t mrDoubleToGrey(int32_t source, int32_t destination, double lo, double hi);

/* The new rectangle's handle, or -1 (the file is missing, of no known format,
 * damaged, unsupported, or memory ran out). Same as mrReadFileLut(path, 0);
 * of a multi-page TIFF file the first page. */
VANTOR_API int32_t mrReadFile(const char* path);

/* As mrReadFile, for page page (1-based) of a multi-page TIFF file; page 1 of
 * any other file. Reading the pages of a file in order costs the same for
 * every page: the offsets of its pages are kept per thread for the last few
 * files (checked against the file's size and modification time). Reasons of
 * a failure name the page in files of several pages ("page 3: LZW: strip 2:
 * ..."). */
VANTOR_API int32_t mrReadFilePage(const char* path, int32_t page);

/* What one load may spend (mrReadFileLimited). */
typedef struct VantorLoadLimits {
  uint64_t maxBytes;      /* the frame's budget in bytes: decoded picture, the
                             caller's working copies and the decoder's own
                             buffers; 0: only the image store's limit */
  uint64_t extraPerPixel; /* bytes a pixel the caller adds in working copies */
  const char* budgetName; /* how the budget is set, named in refusals; may be null */
} VantorLoadLimits;

/* As mrReadFilePage (page 0 taken as 1), with the frame's size checked
 * against limits before any pixel is decoded (null: no budget). Over it, -1
 * with the reason "the frame would need 7.2 GiB (40000 x 40000, 16-bit); the
 * budget is 5.9 GiB (NAME)"; nothing is allocated for the picture. Buffers
 * the decoders allocate for strips, tiles, scans and ancillary data count
 * against the same budget. */
VANTOR_API int32_t mrReadFileLimited(const char* path, int32_t page, const VantorLoadLimits* limits);

/* Number of pages: the IFDs of a TIFF file (a chain that breaks off after
 * some good pages counts those), 1 for a BMP, PNG or JPEG file; -1 with the reason
 * for mrLastLoadError when the file is missing, of no known format or its
 * first page cannot be found. */
VANTOR_API int32_t mrPageCount(const char* path);

/* As mrReadFile, with flags: VANTOR_LOAD_LUT also installs the file's colour
 * table as the display look-up table ("Set" for 256 entries, "Mask" for 2;
 * a TIFF ColorMap is taken as red, green and blue planes of 16-bit values;
 * JPEG results install "White/Black" for depth 1, "Linear" for depth 8).
 * VANTOR_LOAD_RECOGNISE returns 0 for a TIFF or BMP file and -1 otherwise,
 * loading nothing. The TIFF ImageDescription or BMP comment goes into the
 * calling thread's diagnostic text (mrGetDebugBuff). */
VANTOR_API int32_t mrReadFileLut(const char* path, int32_t flags);

/* Decodes a JPEG file (any file that begins FF D8 FF); the handle or -1. */
VANTOR_API int32_t mrReadJPEGfile(const char* path);

/* Copies a bitmap into a new rectangle of its depth: orientation 0 puts its
 * last scan line (the bottom of the picture) into row 0, any other value its
 * first scan line. The handle, or -1 for a bad bitmap or no memory. */
VANTOR_API int32_t mrBitmapToMemRect(const VantorBitmap* bitmap, int32_t orientation);

/* Reverses the bit order of each of length bytes in place (bit 0 <-> bit 7,
 * bit 1 <-> bit 6, ...). */
VANTOR_API void InverseBytes(void* buffer, int32_t length);

/* destination[i] = table[source[i]] for length bytes; with a null table the
 * bit-reversal table of InverseBytes. Source and destination may be equal. */
VANTOR_API void TableSubst(const void* source, void* destination, int32_t length,
                           const uint8_t* table);

/* Rearranges the bytes inside every group of groupSize bytes of every row
 * (over the row's (depth x width + 7) / 8 bytes; a shorter tail is left
 * alone): new byte j of a group = old byte order[j]. The handle, or -1 for a
 * bad handle, groupSize outside 1 to 64, or an order entry >= groupSize. */
VANTOR_API int32_t mrPermute(int32_t handle, int32_t groupSize, const uint8_t* order);

/* The calling thread's diagnostic text (4160 bytes, NUL-terminated): the
 * description of the last TIFF or BMP file loaded in this thread. */
VANTOR_API char* mrGetDebugBuff(void);

/* Short reason for the calling thread's last failed load, one line ("file not
 * found", "file truncated in strip 3", "page 2: LZW: strip 5: Not enough data
 * at scanline 9 (short 812 bytes)", "PNG: IDAT: CRC error", ...), or "" after
 * a successful one. Valid until the thread's next load. */
VANTOR_API const char* mrLastLoadError(void);

VANTOR_END_C

#endif
