/* Processor kernels: the inner loops of the pixel operations on raw pixel
 * addresses, carried by the vector instructions of the processor (chosen at
 * run time), plus the processor facilities (CPU identification, time-stamp
 * clock).
 *
 * Common rules of the kernels:
 * - A rectangle operand is the address of its pixel (0, 0) and a pitch in
 *   bytes (negative pitches walk the rows upwards); the width and height are
 *   shared by all operands. Byte kernels take the width in bytes, mask kernels
 *   in pixels (bits, packed least significant bit first).
 * - Only the bytes and bits inside the width are read or written: bytes after
 *   a row's last byte and the padding bits of a mask row's last byte are never
 *   changed and never read past the row. A width or height below 1 does
 *   nothing.
 * - Two-operand kernels work pointwise, so the destination may be the very
 *   same memory as a source (same address and pitch); other overlaps are not
 *   supported unless a kernel says so.
 * - The results equal, bit for bit, those of the plain scalar loops of the
 *   library; the kernels are safe to call from several threads at once on
 *   different images. */
#ifndef VANTOR_KERNELS_KERNELS_H
#define VANTOR_KERNELS_KERNELS_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* ---- Processor facilities ---------------------------------------------- */

/* 0 when CPUID leaf 0 reports no further leaves (and on processors without
 * CPUID); otherwise a processor class in bits 4 and up, with bit 0 set when
 * the processor has MMX. */
VANTOR_API int32_t CPU_MMX(void);

/* Executes CPUID for leaf 0 to 3 and stores EAX, EBX, EDX, ECX in that order
 * into words[0..3] (for leaf 0 the vendor text reads from words 1 to 3);
 * returns EAX. A leaf outside 0 to 3, or a processor without CPUID: -1 and
 * the words are left as they were. */
VANTOR_API int32_t CPUIDinfo(int32_t leaf, uint32_t* words);

/* Reads the processor's cycle counter (RDTSC on x86, the virtual counter on
 * AArch64, a nanosecond monotonic count elsewhere); stores it into *stamp
 * when stamp is not null and returns it as a double. */
VANTOR_API double tmTimeStamp(uint64_t* stamp);

/* Counter ticks per millisecond, measured once against the monotonic clock
 * (the first call takes about half a second) and then returned as kept;
 * -1.0 when the counter does not advance. */
VANTOR_API double GetClockSpeed(void);

/* The counter divided by its rate: milliseconds since the counter's origin;
 * -1.0 when the rate could not be measured. */
VANTOR_API double tmGetTimeMsec(void);

/* ---- Byte rectangles --------------------------------------------------- */

/* c = op(a, b) for every byte of a width x height rectangle (c may be a or b).
 * Codes 0 to 15 are the logical functions as 4-bit truth tables over (a, b):
 * bit 0 gives the result for (1, 1), bit 1 for (1, 0), bit 2 for (0, 1),
 * bit 3 for (0, 0) (1 a AND b, 2 a AND NOT b, 3 a, 4 NOT a AND b, 5 b,
 * 6 XOR, 7 OR, 8 NOR, 9 XNOR, 10 NOT b, 11 a OR NOT b, 12 NOT a,
 * 13 NOT a OR b, 14 NAND, 0 all clear, 15 all set). Arithmetic codes on
 * unsigned bytes: 16 min, 17 max, 18 a + b mod 256, 19 min(a + b, 255),
 * 20 a - b mod 256, 21 b - a mod 256, 22 max(a - b, 0), 23 max(b - a, 0),
 * 24 a if a >= b else 0, 25 a if a <= b else 255, 26 255 if a >= b else 0,
 * 28 |a - b|, 29 d = |a - b|; d if d < 128 else 256 - d.
 * Returns 0, or -1 for code 27, a negative code or one above 29 (nothing is
 * written then). */
VANTOR_API int32_t tmMMM(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t width,
                         int32_t height, int32_t pitchA, int32_t pitchB, int32_t pitchC,
                         int32_t code);

/* Copies a byte rectangle; with bit 0 of flags set the complement of every
 * byte is written. Source and destination may overlap (memmove rules, when
 * both have the same pitch). Returns 0. */
VANTOR_API int32_t tmMoveByteRect(const uint8_t* src, uint8_t* dst, int32_t width,
                                  int32_t height, int32_t srcPitch, int32_t dstPitch,
                                  int32_t flags);

/* Fills a byte rectangle with the low 8 bits of value. Returns 0. */
VANTOR_API int32_t tmMoveConst(int32_t value, uint8_t* dst, int32_t width, int32_t height,
                               int32_t pitch);

/* dst = op(constant, src) for every byte, with the constant numbering of the
 * logical codes (operand 1 the constant k, operand 2 the pixel p: bit 0 gives
 * the result for (k, p) = (1, 1), bit 1 for (0, 1), bit 2 for (1, 0), bit 3
 * for (0, 0)); the low 8 bits of constant are used. Arithmetic codes: 16 min,
 * 17 max, 18 k + p mod 256, 19 min(k + p, 255), 20 p - k mod 256,
 * 21 k - p mod 256, 22 max(p - k, 0), 23 max(k - p, 0), 24 p if p >= k else
 * 0, 25 p if p <= k else 255, 26 255 if p >= k else 0, 28 |p - k|, 29 the
 * circular distance as in tmMMM. Returns 0, or -1 for code 27, a negative
 * code or one above 29 (nothing written). */
VANTOR_API int32_t tmMCMb(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width,
                          int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t code);

/* As tmMCMb on 16-bit (tmMCMw) or 32-bit (tmMCMd) pixels for the logical
 * codes 0 to 15 with the low 16 or all 32 bits of constant; width counts
 * pixels, pitches bytes. Returns 0, or -1 for a code outside 0 to 15. */
VANTOR_API int32_t tmMCMw(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width,
                          int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t code);
VANTOR_API int32_t tmMCMd(const uint8_t* src, int32_t constant, uint8_t* dst, int32_t width,
                          int32_t height, int32_t srcPitch, int32_t dstPitch, int32_t code);

/* ---- Masked byte operations -------------------------------------------- */

/* Flags of the masked kernels: the low 6 bits are the operation code. */
#define TM_MASK_NONE 0x40    /* ignore the mask: every byte is processed */
#define TM_MASK_INVERT 0x80  /* process the bytes whose mask bit is clear */

/* dst = op(constant, src) (codes of tmMCMb, constant numbering) at the bytes
 * whose mask bit is set (clear with TM_MASK_INVERT; every byte with
 * TM_MASK_NONE); the other destination bytes keep their values. Returns a
 * summary of the values written: 0 when every one was 0 (or none was
 * written), 1 when every one was 255, 2 otherwise; -1 for an unsupported code
 * (nothing written). */
VANTOR_API int32_t tmMCmaskMb(const uint8_t* src, uint8_t* dst, const uint8_t* mask,
                              int32_t width, int32_t height, int32_t srcPitch,
                              int32_t dstPitch, int32_t maskPitch, int32_t constant,
                              int32_t flags);

/* b = op(a, b) (codes of tmMMM) at the bytes whose mask bit is set (clear
 * with TM_MASK_INVERT; every byte with TM_MASK_NONE). Result as tmMCmaskMb. */
VANTOR_API int32_t tmMMmaskMb(const uint8_t* a, uint8_t* b, const uint8_t* mask,
                              int32_t width, int32_t height, int32_t pitchA, int32_t pitchB,
                              int32_t maskPitch, int32_t flags);

/* dst = src at the bytes whose mask bit is set (clear when invert is
 * nonzero); the other destination bytes keep their values. Returns 0. */
VANTOR_API int32_t tmCmaskMoveB(const uint8_t* src, uint8_t* dst, const uint8_t* mask,
                                int32_t width, int32_t height, int32_t srcPitch,
                                int32_t dstPitch, int32_t maskPitch, int32_t invert);

/* ---- Thresholds and counts --------------------------------------------- */

/* Sets mask pixel x of every row to the relation between source byte x and
 * the low 8 bits of t. The relation is a truth table over the outcomes
 * v = t (bit 0), v > t (bit 1), v < t (bit 2); bit 3 is ignored:
 * 0xB v >= t, 0xD v <= t, 0x6 v != t, 0x9 v = t, 0x4 v < t, 0x2 v > t.
 * Returns 0, or -1 for a relation outside 0 to 15. */
VANTOR_API int32_t tmThreshMaskB(const uint8_t* src, int32_t t, uint8_t* mask, int32_t width,
                                 int32_t height, int32_t srcPitch, int32_t maskPitch,
                                 int32_t relation);

/* Number of set pixels of the window of columns x0 .. x0 + width - 1 and rows
 * y0 .. y0 + height - 1 of a mask; -1 for a negative x0 or y0. */
VANTOR_API int64_t tmMaskOnes(const uint8_t* mask, int32_t x0, int32_t y0, int32_t width,
                              int32_t height, int32_t pitch);

/* ---- Neighbourhood runs ------------------------------------------------ */

/* Flags of the neighbourhood kernels. */
#define TM_NEI_ERODE 1    /* minimum (bytes) or AND (masks) instead of max / OR */
#define TM_NEI_COMBINE 2  /* dst = op(dst, result) instead of dst = result */

/* n steps of the 3-pixel row run on bytes: every destination byte becomes the
 * maximum (minimum with TM_NEI_ERODE) of the source bytes x - n .. x + n of
 * its row that lie inside the width. src may be dst (same pitch). Returns 0,
 * -1 when scratch memory cannot be had (nothing written); n < 1 does
 * nothing. */
VANTOR_API int32_t tmByteNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                               int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n);

/* As tmByteNeiH2 along the columns: rows y - n .. y + n inside the height. */
VANTOR_API int32_t tmByteNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                               int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n);

/* Mask row and column runs from src into dst, as the byte kernels with OR
 * (AND with TM_NEI_ERODE) over the pixels x - n .. x + n of the row (H2) or
 * y - n .. y + n of the column (V2) inside the mask. src may be dst. */
VANTOR_API int32_t tmBitNeiH2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                              int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n);
VANTOR_API int32_t tmBitNeiV2(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                              int32_t srcPitch, int32_t dstPitch, int32_t flags, int32_t n);

/* n steps of a mask neighbourhood operation in place, by kernel code: bit 0
 * erosion (AND) instead of dilation (OR); bit 1 the compound form (n steps
 * of the operation and then n of its dual: opening when bit 0 is set, closing
 * otherwise); the shape 0x10 row run (pixel and left and right neighbours),
 * 0x20 column run, 0x40 cross (pixel and its 4 edge neighbours), 0x80 3 x 3
 * square. Pixels outside the mask take no part. Returns 0 for an unknown
 * code (nothing done), 0 for the cross codes 0x40 and 0x41 when no pixel
 * changed, -1 when scratch memory cannot be had, 1 otherwise. */
VANTOR_API int32_t tmBitNeiInPlace(uint8_t* mask, int32_t width, int32_t height, int32_t pitch,
                                   int32_t kernelCode, int32_t n);

/* ---- Mask utilities ---------------------------------------------------- */

/* Searches the mask in row order from (*x, *y) for the first pixel that is
 * set (clear when findClear is nonzero); a start column at or beyond the
 * width moves to column 0 of the next row, negative starts begin at 0. When
 * found, writes its position into *x, *y and returns 1; else returns 0 and
 * leaves *x, *y as they were. */
VANTOR_API int32_t tmFindBit(const uint8_t* mask, int32_t width, int32_t height, int32_t pitch,
                             int32_t* x, int32_t* y, int32_t findClear);

/* Copies count bits from bit srcBit of src to bit dstBit of dst (bits
 * counted from the least significant bit of the first byte); the other bits
 * of dst keep their values. The two ranges may overlap. Returns 0, -1 when
 * scratch memory cannot be had. */
VANTOR_API int32_t tmMoveBitRow(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit,
                                int64_t count);

/* Copies a width x height block of mask pixels starting at column srcX of
 * the rows at src to column dstX of the rows at dst; the other pixels of dst
 * keep their values. Overlapping blocks of one mask are handled (memmove
 * rules, when both have the same pitch). Returns 0, -1 for a negative
 * column or when scratch memory cannot be had. */
VANTOR_API int32_t tmMoveBitRect(const uint8_t* src, int32_t srcX, int32_t srcPitch,
                                 uint8_t* dst, int32_t dstX, int32_t dstPitch, int32_t width,
                                 int32_t height);

/* dst = table[src] for every byte (dst may be src). Returns 0. */
VANTOR_API int32_t tmSubstByteRect(const uint8_t* src, uint8_t* dst, int32_t width,
                                   int32_t height, int32_t srcPitch, int32_t dstPitch,
                                   const uint8_t* table);

/* dst = src with the order of the bits reversed within every byte. */
VANTOR_API int32_t tmReverseBits(const uint8_t* src, uint8_t* dst, int32_t width,
                                 int32_t height, int32_t srcPitch, int32_t dstPitch);

/* 1 when two masks differ in any pixel inside the width, else 0. */
VANTOR_API int32_t tmDiffer(const uint8_t* a, const uint8_t* b, int32_t width, int32_t height,
                            int32_t pitchA, int32_t pitchB);

/* Adds the values of a byte rectangle into hist[0..255] (cleared first when
 * clear is nonzero). Returns 0. */
VANTOR_API int32_t tmHist8(const uint8_t* src, int32_t width, int32_t height, int32_t pitch,
                           uint32_t* hist, int32_t clear);

/* ---- Structuring elements ---------------------------------------------- */

/* Border of a mask: dst = the set pixels of src with at least one clear
 * pixel among their 8 neighbours (4 edge neighbours when bit 0 of flags is
 * set). Pixels outside the mask count as set, or as clear when bit 1 of
 * flags is set (then set pixels on the mask's edge are border too). src and
 * dst may be the same mask. Returns the number of border pixels, -1 when
 * scratch memory cannot be had. */
VANTOR_API int64_t tmMask3bord(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                               int32_t srcPitch, int32_t dstPitch, int32_t flags);

/* Dilation by a structuring element given as a mask se (seWidth x seHeight,
 * pitch sePitch) with its origin at (cx, cy): dst(x, y) is set when some set
 * pixel (i, j) of se has src(x + i - cx, y + j - cy) set inside the mask.
 * src and dst may be the same mask. Returns 0, -1 for an empty or negative
 * element size or when scratch memory cannot be had. */
VANTOR_API int32_t tmMask2StEl(const uint8_t* src, uint8_t* dst, int32_t width, int32_t height,
                               int32_t srcPitch, int32_t dstPitch, const uint8_t* se,
                               int32_t seWidth, int32_t seHeight, int32_t sePitch, int32_t cx,
                               int32_t cy);

/* Fit of a structuring element: dst(x, y) is set when every set pixel (i, j)
 * of se finds src(x + i - cx, y + j - cy) set (zeros = 0: erosion) or clear
 * (zeros nonzero); positions outside the mask always fit. Arguments and
 * result as tmMask2StEl. */
VANTOR_API int32_t tmMStElM1sOr0s(const uint8_t* src, uint8_t* dst, int32_t width,
                                  int32_t height, int32_t srcPitch, int32_t dstPitch,
                                  const uint8_t* se, int32_t seWidth, int32_t seHeight,
                                  int32_t sePitch, int32_t cx, int32_t cy, int32_t zeros);

VANTOR_END_C

#endif /* VANTOR_KERNELS_KERNELS_H */
