// The linear algebra of the spot model's fit (drift_spots.cpp): its normal
// equations have four unknowns a spot (its place and its brightness in each
// frame) and kShared shared ones, and couple the spots' unknowns only where
// spots overlap. They are solved by conjugate gradients, preconditioned by
// the "arrow" the system is without the overlaps: each spot's block, the
// shared block and their couplings, inverted through the Schur complement
// of the spots' blocks.
#ifndef VANTOR_REGISTRATION_DRIFT_SPOTS_SOLVE_H
#define VANTOR_REGISTRATION_DRIFT_SPOTS_SOLVE_H

#include <cstdint>
#include <functional>
#include <vector>

#include "registration/drift_internal.h"

namespace vantor::drift {

// The shared unknowns, after the spots' 4 each.
inline constexpr int kShared = 6;
enum { kDx = 0, kDy, kWidthA, kWidthB, kBackA, kBackB };
// Per spot in the blocks: its 4 x 4 block, then its 4 x kShared coupling
// with the shared unknowns (row major); the shared block's kShared x
// kShared entries follow the last spot's.
inline constexpr int kBlock = 16 + 4 * kShared;

// Cholesky factor of a small symmetric positive matrix (n <= 6), for the
// preconditioner's blocks.
struct Small {
  int n = 0;
  double l[kShared * kShared] = {};
  // False when a is not clearly positive definite.
  bool Factor(const double* a, int size);
  void Solve(const double* v, double* x) const;
};

// The preconditioner: the blocks (as above) damped (each diagonal entry
// times 1 + damping) and the spots' places held (hold added), factored.
// False when that is not positive definite.
struct Arrow {
  std::vector<Small> spots;
  Small shared;                // the shared block less what the spots explain
  std::vector<double> solved;  // per spot, its block's inverse times its coupling
  std::vector<double> y;

  bool Factor(int32_t n, double damping, double hold, const std::vector<double>& blocks);
  // out = the arrow's inverse times in (4 n + kShared values).
  void Apply(int32_t n, const double* in, double* out, const std::vector<double>& blocks);
};

// Conjugate gradients on A x = g, A given by multiply (out = A v),
// preconditioned by the arrow over n spots (its blocks given), from x = 0,
// until the residual falls to tolerance times its start or after at most
// rounds steps. False when A is not positive definite along a direction.
bool ConjugateGradients(
    const std::function<void(const std::vector<double>&, std::vector<double>&)>& multiply,
    Arrow& arrow, int32_t n, const std::vector<double>& blocks, const std::vector<double>& g,
    int rounds, double tolerance, std::vector<double>& x, SpotWork& w);

}  // namespace vantor::drift

#endif
