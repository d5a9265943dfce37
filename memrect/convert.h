/* Pixel depth conversion between memory rectangles, colour to grey and grey
 * to colour. Overlays and extern rectangles are accepted like owned ones. On
 * any failure the destination is left untouched. Results that count pixels or
 * report a maximum are limited to 2147483647, so that they never read as a
 * failure. */
#ifndef VANTOR_MEMRECT_CONVERT_H
#define VANTOR_MEMRECT_CONVERT_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Copies the pixels of src into dst, which must have the same width and
 * height, converting by the pair (source depth -> destination depth):
 *
 *   1->1, 8->8, 16->16, 24->24, 32->32  rows copied            -> w*h
 *   8->16, 8->32, 16->32     shifted left by mode (low 5 bits)  -> w*h
 *   16->8, 32->8, 32->16     narrowed by mode (see Convert16to8 in
 *                            kernels/convert_rows.h)            -> source maximum
 *                                                          (0 for mode >= 0)
 *   48->24                   each channel as 16->8              -> as above
 *   24->48                   each channel as 8->16              -> largest value written
 *   24->8, 48->16            largest of the three channels      -> largest grey
 *   8->24, 16->48            grey copied into all three channels -> w*h
 *   24->16, 24->32           24->8, then widened without shift  -> w*h
 *   16->24, 32->24           narrowed with mode -2, then 8->24  -> w*h
 *   32->64                   to double; mode 0 unsigned source, else signed -> w*h
 *   64->32                   to integer; mode 0 unsigned rule, else signed
 *                            (see ConvertDoubleTo32)            -> w*h
 *   64->8, 64->16            64->32 unsigned, then narrowed with mode 0 -> 0
 *   8->64, 16->64            widened to 32 bits, then 32->64 unsigned -> w*h
 *   8->1                     bit set where pixel >= low byte of mode -> w*h
 *   32->1                    reduced to bytes by the shift s that brings the
 *                            largest pixel into 0..255, then bit set where
 *                            byte >= low byte of (mode >> s)    -> w*h
 *   24->1                    bit set where the largest channel > low byte of
 *                            mode (no bit when that byte is 255) -> w*h
 *   1->8                     low byte of mode on set bits, 0 elsewhere -> w*h
 *   1->24                    white on set bits, 0 elsewhere     -> w*h
 *   1->32                    (mode >> s, low byte) << s on set bits, s the
 *                            shift of mode as for 32->1; 0 elsewhere -> w*h
 *                            The mask rows keep their bits past the width.
 *
 * Every other pair (4-bit rectangles, 48->8, 48->48, 64->64, ...) gives -1,
 * as do invalid handles and differing sizes. The 24->8 step (also inside
 * 24->16 and 24->32) has the width test of mrRGBtoGray, so 24-bit images 1 to
 * 3 pixels wide are refused. Intermediate results live in scratch memory that
 * is released before returning. */
VANTOR_API int32_t mrConvert(int32_t src, int32_t dst, int32_t mode);

/* Colour to grey: 24-bit src into 8-bit dst, or 48-bit src into 16-bit dst,
 * of equal width and height. S = red + green + blue weight.
 *   S > 0:  grey = (red weight * red + green weight * green + blue weight *
 *           blue) / S, truncated toward zero; 255, 0, 0 extracts red.
 *   S = 0:  the smallest channel; S = -1: the middle one; S = -2: the largest;
 *   any other S <= 0: the mean rounded up, (red + green + blue + 2) / 3.
 * The low 8 (16) bits of grey are stored. Returns the largest grey stored (0
 * for an empty rectangle), or -1 for invalid handles, differing sizes, a wrong
 * depth pair, or pitches that fail the width test: destination pitch / width
 * must be 1 and source pitch / width 3 (2 and 6 for 16/48), integer division.
 * With 4-byte row padding that refuses 24-bit widths 1 to 3 and 48-bit width 1,
 * and overlays narrower than their parent. */
VANTOR_API int32_t mrRGBtoGray(int32_t src, int32_t dst, int32_t redWeight, int32_t greenWeight,
                               int32_t blueWeight);

/* Grey to colour: 8-bit src into 24-bit dst, or 16-bit src into 48-bit dst, of
 * equal width and height. For each channel the value is weight * grey / 255
 * (integer division), limited to 0..255 (0..65535); weight 255 copies the
 * grey value. The keyword (without regard to case) chooses how it is stored:
 *   "Fill"    every channel receives its value (weight 0 gives 0);
 *   "Add"     the value is ORed into every channel (weight 0 leaves it);
 *   "Insert"  only channels whose weight is not 0 are replaced.
 * So "Fill" 255, 0, 0 then "Add" 0, 255, 0 and "Add" 0, 0, 255 assemble a
 * colour image from three planes. Returns width * height, or -1 for invalid
 * handles, differing sizes, a wrong depth pair or an unknown keyword. */
VANTOR_API int32_t mrBytesToRGB(int32_t src, int32_t dst, const char* keyword,
                                int32_t redWeight, int32_t greenWeight, int32_t blueWeight);

VANTOR_END_C

#endif /* VANTOR_MEMRECT_CONVERT_H */
