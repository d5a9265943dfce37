// Sequence comparison: every image of the list measured against the previous
// one (mode 0) or the first one (mode 1) by the library's sequence engine,
// one result row per image.
#ifndef VANTOR_APP_COMPARE_H
#define VANTOR_APP_COMPARE_H

#include <cstdint>
#include <string>

#include "app/vantorunit.h"

namespace vantor::app {

// Each image against the one before it; rows carry the running sums of DX and DY.
int CompareToPrevious(RunContext& ctx, char* pathBuffer, size_t filePart);

// Each image against the first image of the list.
int CompareToFirst(RunContext& ctx, char* pathBuffer, size_t filePart);

// value rounded to the nearest multiple of 1 / factor, halves away from zero,
// sign kept (so small negative values become negative zero).
double RoundResult(double value, double factor);

}  // namespace vantor::app

#endif
