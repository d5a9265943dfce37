/* Derivative-free minimisation with a regular simplex of fixed shape. */
#ifndef VANTOR_GENERIC_SIMPLEX_H
#define VANTOR_GENERIC_SIMPLEX_H

#include <stdint.h>

#include "generic/vantor_api.h"

VANTOR_BEGIN_C

/* A cost function of n parameters. point holds the real coordinates and is
 * valid only during the call; context is the pointer given to SimplexMinimum. */
typedef double (*SimplexCostFunction)(const double* point, void* context);

/* Fills table ((n + 1) rows of n doubles) with the vertices of a regular
 * simplex whose edges all have length 1 and whose centroid is the origin;
 * vertex 0 has every coordinate positive. Does nothing when n < 1 or table is
 * null. */
VANTOR_API void MakeSimplex(int32_t n, double* table);

/* Minimises cost over n parameters starting from point. The simplex is
 * regular in units of steps (a step of 0 holds its parameter fixed), starts
 * with edge 1 and is halved whenever no better point turns up. The run stops
 * when the edge would fall below minSize, when all vertex costs lie within
 * minDiff of the best, or (timeLimit > 0) once a cycle ends past timeLimit
 * seconds. A trial point equal to the one evaluated just before is not
 * evaluated again. point receives the best point found; the best cost is
 * returned. Returns 0.0 with point unchanged when the work storage cannot be
 * allocated or an argument is unusable (n < 1, a null pointer). */
VANTOR_API double SimplexMinimum(int32_t n, double* point, const double* steps, double minSize,
                                 double minDiff, int32_t timeLimit, SimplexCostFunction cost,
                                 void* context);

VANTOR_END_C

#endif
