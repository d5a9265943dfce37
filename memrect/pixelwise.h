/* Point operations on memory rectangles: brightness scaling, two-image and
 * constant operations (optionally under a mask), and thresholds into masks.
 * All work in place; two-operand operations write into their second operand.
 *
 * Keyword lists (matched as whole words, ignoring case; aliases share a row):
 *  Logical: "AND" "1&2" | "MORE" "1-2" "1&~2" | "Copy" "1=>2" |
 *    "LESS" "2-1" "~1&2" | "XOR" "MOD2" "1^2" | "OR" "1|2" | "NOR" "~(1|2)" |
 *    "EQUAL" "~(1^2)" | "MoreEq" "1|~2" | "CopyNot" "~1=>2" | "LessEq" "~1|2" |
 *    "Nand" "~(1&2)"; applied bit by bit to whole pixels.
 *  Arithmetic: "MIN", "MAX", "Plus" "+" "1+2" (wrapping), "+S" "Min(1+2,255)"
 *    (saturating), "Minus" "-" "1-2", "-L" "2-1", "-S" "Max(1-2,0)",
 *    "-LS" "-SL" "Max(2-1,0)", "LessTo0" "(1>=2)?1:0", "MoreToFF"
 *    "(1<=2)?1:FF", "ByteMask" "(1<2)?0:FF", "-A" (absolute difference),
 *    "-A8" (distance on the circle of pixel values), and on 16- and 32-bit
 *    pixels "MINSig", "MAXSig", "-ASig" (values read as signed). 255 reads
 *    as the depth's largest value.
 *  In two-image operations operand 1 is the first image and operand 2 the
 *  second; in constant operations operand 1 is the constant and operand 2 the
 *  pixel, except that the comparisons test the pixel p against the constant c:
 *  "LessTo0" gives p where p >= c, else 0; "MoreToFF" p where p <= c, else
 *  255; "ByteMask" 0 where p < c, else 255.
 *  Relations of mrThreshold: "NotLess" ">=", "NotGreater" "<=", "UnEqual"
 *  "<>", "Equal" "=", "Less" "<", "Greater" ">".
 *
 * Failure (-1, nothing changed): an invalid handle, an unsupported depth,
 * operands of different width, height or depth, a keyword in none of the
 * lists, or a null keyword. */
#ifndef VANTOR_MEMRECT_PIXELWISE_H
#define VANTOR_MEMRECT_PIXELWISE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Scales every pixel by multiplier / divisor (divisor 0 is taken as 1).
 * 8-bit pixels and the bytes of 24-bit ones: (p * multiplier) / divisor in
 * unsigned 32-bit arithmetic, truncated, clipped at 255 (keep multipliers below
 * 2^24: larger products wrap). 1- and 4-bit pixels the same, clipped at 1 and
 * 15. 16-bit pixels and the channels of 48-bit ones: floor(p * ratio + 0.5)
 * clipped at 65535; 32-bit pixels (unsigned) likewise, clipped at 4294967295;
 * 64-bit doubles are multiplied by the ratio. Returns the number of clipped
 * values (0 for doubles), or -1 for an invalid handle. */
VANTOR_API int32_t mrMulDiv(int32_t h, uint32_t multiplier, uint32_t divisor);

/* first = first * second / divisor pixel by pixel (divisor 0 is taken as 1),
 * both images 8-bit (truncated, clipped at 255) or both 32-bit (unsigned,
 * rounded to nearest, clipped at 4294967295) of the same size. Returns the
 * number of clipped pixels, or -1. */
VANTOR_API int32_t mrMulDivPN(int32_t first, int32_t second, uint32_t divisor);

/* second = keyword(first, second). Arithmetic keywords: both images of the same
 * depth 8, 16, 24 (as bytes) or 32; the result is bytes per row x height.
 * Logical keywords: on the raw bits of rectangles with the same bits per row
 * and height (masks included); the result describes the written values: 0
 * all zero, 1 all bits set, 2 mixed. */
VANTOR_API int32_t mrPixelwise(int32_t first, const char* keyword, int32_t second);

/* As mrPixelwise, but only at the pixels whose bit in mask (1-bit, the images'
 * width and height) is set (NotMask: clear); mask 0 means every pixel. Both
 * images must have the same depth (1, 8, 16, 24 or 32). Returns the summary of
 * the written values (0 all zero or nothing written, 1 all bits set, 2 mixed),
 * or -1. */
VANTOR_API int32_t mrPixelwiseMask(int32_t first, const char* keyword, int32_t second,
                                   int32_t mask);
VANTOR_API int32_t mrPixelwiseNotMask(int32_t first, const char* keyword, int32_t second,
                                      int32_t mask);

/* Arithmetic keyword applied to constant and every pixel of an 8-, 16-, 24- or
 * 32-bit image (the constant taken modulo the pixel range; colour pixels take
 * bits 16..23 for red, 8..15 for green, 0..7 for blue). Returns bytes per row x
 * height, or -1 on failure or when that is 0. */
VANTOR_API int32_t mrConstPixelwise(int32_t constant, const char* keyword, int32_t h);

/* Logical or arithmetic keyword applied to constant and the pixels whose mask
 * bit is set (NotMask: clear); mask 0 means every pixel. Returns 3 when the
 * vector kernels did the work, 0 when the scalar ones did, -1 on failure. */
VANTOR_API int32_t mrConstPixelMask(int32_t constant, const char* keyword, int32_t h,
                                    int32_t mask);
VANTOR_API int32_t mrConstPixelNotMask(int32_t constant, const char* keyword, int32_t h,
                                       int32_t mask);

/* Sets every pixel of mask (1-bit, the source's width and height) to the
 * outcome of the relation between the source pixel and threshold, and keeps
 * the bits past each mask row. 8-bit sources use the low 8 bits of threshold;
 * 16- and 32-bit sources compare unsigned with the threshold read as unsigned
 * 32-bit. 24-bit sources: "Equal" and "UnEqual" compare red, green and blue
 * with bits 16..23, 8..15 and 0..7 of threshold (all equal / any different);
 * other relations compare the largest of the three channels. Returns the
 * number of set mask pixels, or -1. */
VANTOR_API int32_t mrThreshold(int32_t source, int32_t mask, const char* keyword,
                               int32_t threshold);

VANTOR_END_C

#endif
