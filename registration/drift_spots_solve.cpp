// Conjugate gradients for the spot model's normal equations, preconditioned
// by their arrow (the system without the spots' overlaps), and the small
// Cholesky factors the arrow is made of.
#include "registration/drift_spots_solve.h"

#include <algorithm>
#include <cmath>

namespace vantor::drift {

bool Small::Factor(const double* a, int size) {
  n = size;
  for (int i = 0; i < n; ++i)
    for (int j = 0; j <= i; ++j) {
      double s = a[i * n + j];
      for (int m = 0; m < j; ++m) s -= l[i * n + m] * l[j * n + m];
      if (i == j) {
        if (!(s > 0.0)) return false;
        l[i * n + i] = std::sqrt(s);
      } else {
        l[i * n + j] = s / l[j * n + j];
      }
    }
  return true;
}

void Small::Solve(const double* v, double* x) const {
  double y[kShared];
  for (int i = 0; i < n; ++i) {
    double s = v[i];
    for (int m = 0; m < i; ++m) s -= l[i * n + m] * y[m];
    y[i] = s / l[i * n + i];
  }
  for (int i = n - 1; i >= 0; --i) {
    double s = y[i];
    for (int m = i + 1; m < n; ++m) s -= l[m * n + i] * x[m];
    x[i] = s / l[i * n + i];
  }
}

bool Arrow::Factor(int32_t n, double damping, double hold, const std::vector<double>& blocks) {
  spots.resize(static_cast<size_t>(n));
  solved.resize(4 * kShared * static_cast<size_t>(n));
  double hs[kShared * kShared];
  std::copy_n(blocks.data() + kBlock * static_cast<size_t>(n), kShared * kShared, hs);
  for (int j = 0; j < kShared; ++j) hs[j * kShared + j] = hs[j * kShared + j] * (1.0 + damping) + 1e-12;
  double h[16];
  for (int32_t i = 0; i < n; ++i) {
    const double* block = blocks.data() + kBlock * static_cast<size_t>(i);
    std::copy_n(block, 16, h);
    // A spot that is not there (brightness near 0) has no say in its
    // place: the hold and a trace keep its block definite.
    for (int j = 0; j < 4; ++j) h[5 * j] = h[5 * j] * (1.0 + damping) + (j < 2 ? hold : 1e-9);
    if (!spots[i].Factor(h, 4)) return false;
    const double* c = block + 16;
    double* bc = solved.data() + 4 * kShared * static_cast<size_t>(i);
    for (int q = 0; q < kShared; ++q) {
      double col[4], out[4];
      for (int r = 0; r < 4; ++r) col[r] = c[r * kShared + q];
      spots[i].Solve(col, out);
      for (int r = 0; r < 4; ++r) bc[r * kShared + q] = out[r];
    }
    for (int r = 0; r < kShared; ++r)
      for (int q = 0; q < kShared; ++q) {
        double sum = 0;
        for (int m = 0; m < 4; ++m) sum += c[m * kShared + r] * bc[m * kShared + q];
        hs[r * kShared + q] -= sum;
      }
  }
  return shared.Factor(hs, kShared);
}

void Arrow::Apply(int32_t n, const double* in, double* out, const std::vector<double>& blocks) {
  y.resize(4 * static_cast<size_t>(n));
  double t[kShared];
  std::copy_n(in + 4 * n, kShared, t);
  for (int32_t i = 0; i < n; ++i) {
    spots[i].Solve(in + 4 * i, y.data() + 4 * i);
    const double* c = blocks.data() + kBlock * static_cast<size_t>(i) + 16;
    for (int q = 0; q < kShared; ++q)
      for (int m = 0; m < 4; ++m) t[q] -= c[m * kShared + q] * y[4 * i + m];
  }
  shared.Solve(t, out + 4 * n);
  const double* x2 = out + 4 * n;
  for (int32_t i = 0; i < n; ++i) {
    const double* bc = solved.data() + 4 * kShared * static_cast<size_t>(i);
    for (int m = 0; m < 4; ++m) {
      double sum = 0;
      for (int q = 0; q < kShared; ++q) sum += bc[m * kShared + q] * x2[q];
      out[4 * i + m] = y[4 * i + m] - sum;
    }
  }
}

bool ConjugateGradients(
    const std::function<void(const std::vector<double>&, std::vector<double>&)>& multiply,
    Arrow& arrow, int32_t n, const std::vector<double>& blocks, const std::vector<double>& g,
    int rounds, double tolerance, std::vector<double>& x, SpotWork& w) {
  const size_t all = g.size();
  std::vector<double>& r = w.cgR;
  std::vector<double>& z = w.cgZ;
  std::vector<double>& d = w.cgD;
  std::vector<double>& q = w.cgQ;
  r = g;
  x.assign(all, 0.0);
  z.resize(all);
  d.resize(all);
  q.resize(all);
  auto Precondition = [&](const std::vector<double>& in, std::vector<double>& out) {
    arrow.Apply(n, in.data(), out.data(), blocks);
  };
  Precondition(r, z);
  d = z;
  double rz = 0, start = 0;
  for (size_t i = 0; i < all; ++i) rz += r[i] * z[i], start += r[i] * r[i];
  if (!(start > 0.0)) return true;
  for (int it = 0; it < rounds; ++it) {
    multiply(d, q);
    double dq = 0;
    for (size_t i = 0; i < all; ++i) dq += d[i] * q[i];
    if (!(dq > 0.0)) return false;
    const double alpha = rz / dq;
    double rr = 0;
    for (size_t i = 0; i < all; ++i) {
      x[i] += alpha * d[i];
      r[i] -= alpha * q[i];
      rr += r[i] * r[i];
    }
    if (rr < tolerance * tolerance * start) break;
    Precondition(r, z);
    double rzNew = 0;
    for (size_t i = 0; i < all; ++i) rzNew += r[i] * z[i];
    const double beta = rzNew / rz;
    rz = rzNew;
    for (size_t i = 0; i < all; ++i) d[i] = z[i] + beta * d[i];
  }
  return true;
}

}  // namespace vantor::drift
