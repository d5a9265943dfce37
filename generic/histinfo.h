/* Statistics of a histogram. */
#ifndef VANTOR_GENERIC_HISTINFO_H
#define VANTOR_GENERIC_HISTINFO_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Statistics of the first count bins of histogram into stats (16 doubles);
 * bins holding 0 or less count as empty. k is a bin index, n_k its count,
 * N the total:
 *   0 number of non-empty bins, 1 first and 2 last non-empty bin, 3 N,
 *   4 mean, 5 variance (sum k^2 n_k / N - mean^2),
 *   6 split threshold (best split bin + next non-empty bin above it) / 2,
 *   7, 8 counts of the lower and upper class at the best split,
 *   9, 10 their means, 11, 12 their variances, 13 the split criterion
 *   N0 N1 (m1 - m0)^2 / (N^2 (variance + 0.08333333333)),
 *   14 largest bin count, 15 first bin holding it.
 * With no non-empty bin only entries 0..2 are written (0, 0, count - 1); with
 * one, only entries 0..5. Returns the number of non-empty bins (0 when
 * histogram or stats is null). */
VANTOR_API int32_t HistInfo(const int32_t* histogram, int32_t count, double* stats);

VANTOR_END_C

#endif
