/* libvantor: the whole public C interface in one include,
 * #include <vantor/vantor.h>.
 *
 * Installed as <prefix>/include/vantor/vantor.h with the module headers
 * beside it in the same flat folder (their includes rewritten to the flat
 * names at build time: cmake/flatten_headers.cmake); compile with
 * -I<prefix>/include (pkg-config --cflags vantor, or the CMake target
 * Vantor::vantor) and link with -lvantor. In the source tree the module paths
 * below resolve from the top folder, and this folder's parent gives the same
 * <vantor/vantor.h> to the project's own code.
 *
 * The stable API is exactly the functions declared VANTOR_API in the headers
 * included below: they are the symbols libvantor.so exports, with C linkage
 * under their plain names. Nothing else of the library is reachable from
 * outside, and a program built against one soname (libvantor.so.0) keeps
 * working with later libraries of the same soname.
 *
 * Errors: results tell success from failure, as each declaration says; as a
 * rule a function that creates a memory rectangle returns its handle (1 and
 * up) or -1, counts, sizes and depths are -1 on failure, status results 0 on
 * success and -1 on failure, doubles -1.0 and pointers null. The reason is
 * then in mrLastError() (a text naming the function and the cause) and
 * mrLastErrorKind() (bad parameter, out of memory, file, file format, no
 * result), per thread: generic/errors.h. When memory cannot be had a function
 * fails with its failure result and the kind VANTOR_ERROR_MEMORY, and leaves
 * nothing half made. No function raises, prints (except those whose
 * declaration says they show something) or ends the process.
 *
 * Threads: each header says what may run in several threads at once; the
 * process-wide settings (kernel mode, display look-up table, SetMaskFraction)
 * apply to every thread. Rectangles belong to whoever created them and are
 * freed with mrFree. */
#ifndef VANTOR_VANTOR_H
#define VANTOR_VANTOR_H

#include "generic/vantor_api.h"

/* Why the last call failed. */
#include "generic/errors.h"

/* The image store and its operations on memory rectangles. */
#include "memrect/memrect.h"
#include "memrect/convert.h"
#include "memrect/display_lut.h"
#include "memrect/neifun.h"
#include "memrect/pixelwise.h"
#include "memrect/readfile.h"
#include "memrect/stack_axes.h"
#include "memrect/recon.h"
#include "memrect/statistics.h"
#include "memrect/subsample.h"
#include "memrect/writefile.h"

/* Registration, drift measurement and warping. */
#include "registration/chrom.h"
#include "registration/drift.h"
#include "registration/perspective.h"
#include "registration/registration.h"
#include "registration/shift.h"
#include "registration/shift_maps.h"
#include "registration/warp.h"


/* Image files: TIFF and BMP reading and writing row by row. */
#include "bmptiff/bmptiff.h"
#include "bmptiff/bmptiff_write.h"

/* Buffer-level pixel kernels (the address of pixel (0, 0), width, height and
 * pitch; they check nothing), the row conversions and the processor kernels
 * below them. */
#include "improc/blocksub.h"
#include "improc/nei.h"
#include "improc/perspective.h"
#include "improc/pixelops.h"
#include "improc/recon.h"
#include "improc/resample.h"
#include "improc/shift.h"
#include "improc/warp.h"
#include "kernels/convert_rows.h"
#include "kernels/kernel_mode.h"
#include "kernels/kernels.h"

/* Utilities: file lists, whole-file access, clock, keywords, sorting,
 * histogram statistics and the simplex minimiser. */
#include "files/filelist.h"
#include "files/fileaccess.h"
#include "generic/clock.h"
#include "generic/histinfo.h"
#include "generic/keywords.h"
#include "generic/simplex.h"
#include "generic/sort.h"

/* The sequence engine: a whole sequence of frames measured in one run. */
#include "sequence/sequence.h"

#endif /* VANTOR_VANTOR_H */
