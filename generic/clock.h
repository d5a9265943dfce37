/* The millisecond clock of the run. */
#ifndef VANTOR_GENERIC_CLOCK_H
#define VANTOR_GENERIC_CLOCK_H

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* Milliseconds of the monotonic clock as a long double (nanosecond
 * resolution). No fixed origin: only differences of two readings mean
 * anything. */
VANTOR_API long double GetTimeMsec(void);

VANTOR_END_C

#endif
