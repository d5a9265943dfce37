/* The kernel mode: which implementation the pixel operations use for their
 * inner loops. 0 automatic (vector kernels where the processor has them),
 * 2 scalar kernels always, 3 vector kernels always. */
#ifndef VANTOR_KERNELS_KERNEL_MODE_H
#define VANTOR_KERNELS_KERNEL_MODE_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Sets the stored kernel mode from a request and returns the previous stored
 * mode: 0 gives 0; 1 or 2 give 2; 3 gives 3 when the processor has vector
 * kernels (else the mode is left as it was); any other request changes
 * nothing. The mode is process-wide and may be changed from any thread. */
VANTOR_API int32_t mrUseIntelIPlib(int32_t request);

/* The effective mode, worked out afresh on every call: the stored mode when it
 * is not 0, else 3 when the processor has vector kernels and 2 when not. */
VANTOR_API int32_t tmKernelMode(void);

/* Nonzero when the processor offers vector kernels: on x86 when CPUID
 * reports MMX (bit 0 of CPU_MMX), elsewhere when the run-time dispatch finds
 * a vector target (NEON or SVE on AArch64). */
VANTOR_API int32_t tmHasVectorKernels(void);

VANTOR_END_C

#endif
