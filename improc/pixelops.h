/* Buffer-level point kernels: pixel arithmetic and logic on byte, 16-bit and
 * 32-bit runs and rectangles, thresholds into 1-bit masks, mask logic and mask
 * utilities, and the 8-bit histogram.
 *
 * Rectangles are given by the address of pixel (0, 0), a width and height in
 * pixels and a pitch in bytes. Masks hold one bit per pixel, packed from the
 * least significant bit of each byte. The kernels do not check their
 * arguments; the handle-level operations check depths and sizes first. No
 * kernel touches a byte outside the rectangle's rows, and the bits of a mask
 * row's last byte beyond the width keep their values. */
#ifndef VANTOR_IMPROC_PIXELOPS_H
#define VANTOR_IMPROC_PIXELOPS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Position record of MaskOper: a column, a row and, in its ninth byte, a pixel
 * value (bit 0). */
typedef struct MaskPosition {
  int32_t x;
  int32_t y;
  uint8_t value;
} MaskPosition;

/* destination[i] = code(source[i], destination[i]) for count bytes, source
 * being operand 1. Codes 0..15 are the logical functions in the two-image
 * numbering, 16..29 the byte arithmetic (27 is not an operation). Returns 0,
 * or 65535 for a code that is not a byte operation (nothing changed). */
VANTOR_API int32_t MemOpMem(const uint8_t* source, uint8_t* destination, uint32_t count,
                            int32_t code);

/* Sets bit x of mask row y where source pixel (x, y) compares with threshold
 * by the compare code (16: v >= t, 17: v <= t, 18: v == t, 19: v != t) and
 * clears it elsewhere. Returns the number of set bits, or -1 for another code
 * (nothing written). Pixels are read unsigned and compared with the whole
 * 32-bit threshold. */
VANTOR_API int32_t MemToBitMask(const uint8_t* source, int32_t width, int32_t height,
                                int32_t sourcePitch, uint8_t* mask, int32_t maskPitch,
                                uint32_t threshold, int32_t compare);
VANTOR_API int32_t MemToBitMask16(const void* source, int32_t width, int32_t height,
                                  int32_t sourcePitch, uint8_t* mask, int32_t maskPitch,
                                  uint32_t threshold, int32_t compare);
VANTOR_API int32_t MemToBitMask32(const void* source, int32_t width, int32_t height,
                                  int32_t sourcePitch, uint8_t* mask, int32_t maskPitch,
                                  uint32_t threshold, int32_t compare);

/* destination = code(constant, source) at the pixels the mask allows, in the
 * constant numbering (operand 1 the constant, operand 2 the pixel). flags: the
 * low six bits are the code, 0x40 means no mask (mask may be null), 0x80
 * selects the pixels whose mask bit is clear. The constant is taken modulo the
 * pixel range. Source and destination may be the same rectangle. Returns a
 * summary of the written values (0 all zero or nothing written, 1 all bits
 * set, 2 otherwise), or -1 for a code the kernel does not perform (8-bit:
 * above 29; 16/32-bit: above 32; 27 never), nothing changed. */
VANTOR_API int32_t MemMaskConstMem(const uint8_t* source, uint8_t* destination,
                                   const uint8_t* mask, int32_t width, int32_t height,
                                   int32_t sourcePitch, int32_t destinationPitch,
                                   int32_t maskPitch, uint32_t constant, uint32_t flags);
VANTOR_API int32_t MemMaskConstMem16(const void* source, void* destination,
                                     const uint8_t* mask, int32_t width, int32_t height,
                                     int32_t sourcePitch, int32_t destinationPitch,
                                     int32_t maskPitch, uint32_t constant, uint32_t flags);
VANTOR_API int32_t MemMaskConstMem32(const void* source, void* destination,
                                     const uint8_t* mask, int32_t width, int32_t height,
                                     int32_t sourcePitch, int32_t destinationPitch,
                                     int32_t maskPitch, uint32_t constant, uint32_t flags);

/* destination = code(source, destination) on the bits of two masks (width in
 * bits), logical codes 0..15 in the two-image numbering. Returns the summary
 * of the written bits as MemMaskConstMem does, or -1 for another code. */
VANTOR_API int32_t MaskBitwise(const uint8_t* source, int32_t width, int32_t height,
                               int32_t sourcePitch, uint8_t* destination,
                               int32_t destinationPitch, int32_t code);

/* Number of set pixels in the window of width x height pixels whose corner is
 * (firstColumn, firstRow) of the mask at the given address. */
VANTOR_API int32_t MaskOnes(const uint8_t* mask, int32_t firstColumn, int32_t firstRow,
                            int32_t width, int32_t height, int32_t pitch);

/* Mask utilities selected by type:
 *  0: the pixel at (x, y) of the record, or -1 when it lies outside the mask;
 *  4, 5, 6: clear, set or invert every pixel (result 0);
 *  7: from (x, y) onwards in row order (a column at or beyond the width moves
 *     to column 0 of the next row), finds the first pixel equal to bit 0 of
 *     the record's value; when found writes its position into the record and
 *     returns 1, otherwise returns 0 and leaves the record as it was.
 * Any other type, or a null record for types 0 and 7, gives -1. */
VANTOR_API int32_t MaskOper(uint8_t* mask, int32_t width, int32_t height, int32_t pitch,
                            uint16_t type, MaskPosition* position);

/* Sets histogram[v] (256 counts) to the number of 8-bit pixels of value v and
 * returns the sum of all pixel values (unsigned 32-bit, wrapping). */
VANTOR_API uint32_t PictHist(const uint8_t* pixels, int32_t width, int32_t height,
                             int32_t pitch, int32_t* histogram);

VANTOR_END_C

#endif
