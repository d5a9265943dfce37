/* The image store: memory rectangles named by integer handles.
 *
 * A memory rectangle is a two-dimensional array of pixels of one depth (bits
 * per pixel: 1, 4, 8, 16, 24, 32, 48 or 64). Handles are 1 and up; creating
 * operations return a handle or -1. A rectangle is
 *   owned    - the store allocated its pixels (zero-filled) and frees them;
 *   extern   - it lies over memory the caller owns and keeps alive;
 *   overlay  - a window into another rectangle (its parent), with the parent's
 *              depth and pitch and no memory of its own. Freeing a rectangle
 *              frees every overlay on it.
 *
 * Pixel layout: row y starts y * pitch bytes after row 0; pixel x starts at bit
 * x * depth of its row. Depths 1 and 4 are packed from the least significant
 * bit of each byte. 8 and 16 are unsigned, 24 is blue, green, red bytes, 32 a
 * signed 32-bit integer, 48 three 16-bit channels blue, green, red, 64 an IEEE
 * double; multi-byte values are little-endian.
 *
 * Owned pixel blocks start on a 64-byte boundary and are followed by at least
 * 64 zeroed bytes of slack after the last row, so vector kernels may read ahead
 * in owned rectangles (never in extern or overlay ones).
 *
 * Handles are numbered predictably: a fresh store gives 1, 2, 3, ...; the table
 * grows by 160 slots at a time, lowest new handle first; the most recently
 * freed handle is the next one handed out.
 *
 * Every function is safe to call from several threads at once. Two threads
 * working on the same rectangle at once (one freeing it while another uses
 * its pixels, say) is the caller's fault. Any out-pointer may be null. */
#ifndef VANTOR_MEMRECT_MEMRECT_H
#define VANTOR_MEMRECT_MEMRECT_H

#include <stdint.h>

#include "generic/vantor_api.h"

/* Bytes a label buffer needs: up to 40 characters and the terminating NUL. */
#define MR_LABEL_BYTES 41

VANTOR_BEGIN_C

/* ---- Creation --------------------------------------------------------- */

/* New owned rectangle, zero-filled, rows padded to 4 bytes:
 * pitch = ((depth * width + 31) / 32) * 4. Width or height 0 gives an empty
 * rectangle. -1 for a depth outside the list, a negative size, a size whose
 * pitch or height x pitch does not fit the store (0x7FFFFF33 bytes and up), or
 * no memory. */
VANTOR_API int32_t mrCreate(int32_t depth, int32_t width, int32_t height);

/* As mrCreate with the row rounding chosen by code: 1 whole bytes, 2 two
 * bytes, 8 eight bytes, anything else four bytes. */
VANTOR_API int32_t mrCreateRoundPitch(int32_t depth, int32_t width, int32_t height,
                                      int32_t rounding);

/* New owned rectangle with the depth, width and height of h (zero-filled);
 * -1 if h is not valid or creation fails. */
VANTOR_API int32_t mrCreateAs(int32_t h);

/* New owned rectangle of the given depth and the width and height of h. */
VANTOR_API int32_t mrCreateAsWithPix(int32_t h, int32_t depth);

/* mrCreateAs followed by mrMove from h into the copy; the copy's handle, or -1
 * (also for an empty rectangle, which leaves no new handle). */
VANTOR_API int32_t mrCopyAs(int32_t h);

/* New extern rectangle over caller memory at address, with the given pitch
 * (0: rows padded to 4 bytes). -1 for a bad depth, a negative size or pitch, a
 * nonzero pitch shorter than a row, a size that does not fit, a null address
 * for a non-empty rectangle, or no slot. The store never frees the memory. */
VANTOR_API int32_t mrMakeExtern(void* address, int32_t depth, int32_t width, int32_t height,
                                int32_t pitch);

/* New overlay: a width x height window at (x, y) of parent (any kind, possibly
 * itself an overlay). -1 if the parent is not valid, x or y or the size is
 * negative, x + width exceeds the parent's width, y + height its height, or no
 * slot can be had. For depths 1 and 4, x * depth should be a multiple of 8. */
VANTOR_API int32_t mrCreateOverlay(int32_t parent, int32_t x, int32_t y, int32_t width,
                                   int32_t height);

/* Places an overlay at (x, y) of its parent; 0, or -1 if h is not a valid
 * overlay, x or y is negative or the window would leave the parent. */
VANTOR_API int32_t mrMoveOverlay(int32_t h, int32_t x, int32_t y);

/* Sets an overlay's position and size; 0, or -1 as for mrMoveOverlay. */
VANTOR_API int32_t mrResizeOverlay(int32_t h, int32_t x, int32_t y, int32_t width,
                                   int32_t height);

/* For an overlay: stores its position in its parent and returns the parent's
 * handle. 0 (outputs untouched) for anything else. */
VANTOR_API int32_t mrGetOverlayPos(int32_t h, int32_t* x, int32_t* y);

/* Copies pitch x height bytes between buffer and the pixels of an owned or
 * extern rectangle: direction "=>" from the buffer into the rectangle, "<="
 * from the rectangle into the buffer. Returns the byte count; -1 for an
 * unknown direction, a null buffer, an invalid handle or an overlay. */
VANTOR_API int32_t mrMoveExtern(void* buffer, const char* direction, int32_t h);

/* ---- Freeing ------------------------------------------------------------ */

/* Frees a rectangle and every overlay on it; an owned block is released, extern
 * memory is left alone. A picture list is cleaned (its members freed) and then
 * freed. Returns h on success, 0 if h was not valid (a picture list whose
 * cleaning freed the list itself gives -1). */
VANTOR_API int32_t mrFree(int32_t h);

/* Frees every overlay on h, recursively, leaving h itself. */
VANTOR_API void mrFreeOverlay(int32_t h);

/* Frees every handle in ascending order and releases the table; the store is
 * then as at start and may be used again. */
VANTOR_API void mrFreeAllHandles(void);

/* ---- Description ---------------------------------------------------------- */

/* The depth and the record's width and height, or -1 (outputs untouched). */
VANTOR_API int32_t mrGetRectInfo(int32_t h, int32_t* width, int32_t* height);

/* The depth, width, height, pitch and the address of pixel (0, 0) (for an
 * overlay: inside its root rectangle), or -1 with the outputs untouched. An
 * overlay whose parent chain is broken, whose root has been redimensioned to
 * another depth or pitch, or whose window no longer lies inside its root gives
 * -1, so every pixel operation refuses it. */
VANTOR_API int32_t mrGetExtendedInfo(int32_t h, int32_t* width, int32_t* height, int32_t* pitch,
                                     void** pixels);

/* Changes depth, width and height (0 keeps the current value); the new pitch
 * pads rows to 4 bytes.
 *  Owned: 1. The bytes are reinterpreted in place when the block size is
 *         unchanged and the old rows had no padding; otherwise a new zeroed
 *         block receives the overlapping part of each row.
 *  Extern: 2. Only the description changes; the caller's memory must fit it.
 *  Overlay: 3. The depth must stay; the overlay is resized and moved to (0, 0)
 *         of its parent.
 * -1 on any failure (bad depth, negative or oversized size, no memory), with
 * the rectangle unchanged. */
VANTOR_API int32_t mrRedimension(int32_t h, int32_t depth, int32_t width, int32_t height);

/* Copies pixel bytes from src to dst (overlays included, overlapping windows
 * handled). When heights and row byte counts, (depth * width + 7) / 8, agree,
 * row by row (depths may differ); else, when both are owned with equal
 * pitch x height totals, the whole block. Returns the bytes copied, or -1. */
VANTOR_API int32_t mrMove(int32_t src, int32_t dst);

/* ---- Tags and labels ---------------------------------------------------- */

/* Stores a caller value in the record; 96, or -1 for a bad handle. */
VANTOR_API int32_t mrSetTag(int32_t h, int32_t tag);

/* The stored tag, or -1 for a bad handle. */
VANTOR_API int32_t mrGetTag(int32_t h);

/* Stores at most 40 characters of text, ending early at the first byte below
 * 32 or above 127; null stores an empty label. Returns the stored length, or
 * -1 for a bad handle. */
VANTOR_API int32_t mrSetLabel(int32_t h, const char* text);

/* Copies the label and a NUL into dest (MR_LABEL_BYTES bytes suffice) and
 * returns its length; -1 for a bad handle, dest then getting an empty text. */
VANTOR_API int32_t mrGetLabel(int32_t h, char* dest);

/* The lowest valid handle whose label equals text, ignoring ASCII letter case;
 * -1 for a null or empty text or no match. */
VANTOR_API int32_t mrLabelToHandle(const char* text);

/* ---- Single pixels -------------------------------------------------------- */

/* The value of pixel (x, y): packed field for depths 1 and 4, unsigned for 8,
 * 16 and 24 (24 as blue | green << 8 | red << 16), signed for 32. -1 for a bad
 * handle, (x, y) outside the rectangle, or depth 48 or 64. */
VANTOR_API int32_t mrGetPixel(int32_t h, int32_t x, int32_t y);

/* Writes pixel (x, y): depths 1 and 4 replace only the pixel's bits; larger
 * depths take depth / 8 bytes of the value, low byte first, bytes beyond the
 * fourth carrying its sign. 0, or -1 for a bad handle or (x, y) outside. */
VANTOR_API int32_t mrPutPixel(int32_t h, int32_t x, int32_t y, int32_t value);

/* The depth, storing the address of the byte that holds pixel (x, y); -1 for a
 * bad handle or (x, y) outside. */
VANTOR_API int32_t mrGetPixelAddr(int32_t h, int32_t x, int32_t y, void** address);

/* Depth 24 or 48 only: stores the red, green and blue channels of pixel (x, y)
 * and returns the largest of them; -1 otherwise. */
VANTOR_API int32_t mrGetPixelRGB(int32_t h, int32_t x, int32_t y, int32_t* red, int32_t* green,
                                 int32_t* blue);

/* ---- The table as a whole ------------------------------------------------- */

/* The number of valid handles; stores the sum of the block sizes of the owned
 * rectangles and the table's capacity (usable slots). */
VANTOR_API int32_t mrNumberOfActive(int64_t* byteTotal, int32_t* capacity);

/* Writes the valid handles in ascending order, at most maxCount of them, and
 * returns how many were written. */
VANTOR_API int32_t mrListOfActive(int32_t* handles, int32_t maxCount);

/* One line describing the record of h: "#h: depth*width*height (pitch) Mem: "
 * then the kind, the tag and the label, or "#h: is not a handle".
 *  buffer and length > 0: the text is copied (cut to length - 1 characters and
 *    terminated) and nothing is shown;
 *  buffer null, length > 0: the text, a line break and a hexadecimal dump of
 *    the first min(length, size) pixel bytes are written to standard error;
 *  length 0: the text, followed by buffer's text when buffer is given, is
 *    written to standard error.
 * Whatever is shown starts with the title line "mrHandleInfo". Returns the
 * length of the text copied, or of the line shown (without what is appended). */
VANTOR_API int32_t mrHandleInfo(int32_t h, char* buffer, int32_t length);

/* Writes the title "Memory Rectangles", the number of active rectangles, the
 * capacity, the memory in use and one mrHandleInfo line per valid handle to
 * standard error. */
VANTOR_API void mrMemRectsDisplay(void);

/* ---- Picture lists ---------------------------------------------------------- */

/* A picture list is an owned rectangle of depth 32 holding a count n and n
 * member handles; its label is the list's name. The list owns its members:
 * "Clean" and mrFree of the list free them, sub-lists included.
 *
 * operation (matched as a whole word, ignoring case) and what arg carries:
 *   "Create"     arg = const char* name (null: empty)   -> new list handle
 *   "Clean"      arg unused   frees every member, n = 0  -> the list handle
 *   "Free"       arg unused   frees the list, not its members -> the list handle
 *   "Push"       arg = handle: appends a copy labelled name + "_NNN" (NNN the
 *                position, from 001)                     -> the copy's handle
 *   "PushHandle" arg = handle: appends the handle itself -> the handle
 *   "Count"      arg unused                              -> n
 *   "Get"        arg = index i, 1 <= i <= n              -> member i, else -1
 *   "Pop"        arg unused   removes the last member    -> it, 0 when empty
 *   "GetLabel"   arg = const char* label: depth-first search of the members,
 *                sub-lists searched in place, ignoring case -> member, 0 if none
 *   "SubList"    arg = const char* name or null (null: name + "_NNN")
 *                creates and appends a sub-list          -> its handle
 * Except for "Create", -1 when list is not a valid picture list, and for an
 * unknown operation. "Push" and "PushHandle" refuse (-1) a handle that is not
 * valid or is the list itself; a full list doubles its height first, and -1
 * with nothing appended when that fails. */
VANTOR_API int32_t mrPicList(int32_t list, const char* operation, intptr_t arg);

VANTOR_END_C

#endif /* VANTOR_MEMRECT_MEMRECT_H */
