#include "generic/simplex.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "generic/clock.h"
#include "generic/last_error.h"

namespace {

struct FreeDeleter {
  void operator()(double* p) const { std::free(p); }
};

// The state of one minimisation. Every vector lives in one heap block owned by
// the caller of Run(); coordinates are normalised (v stands for p + s * v).
class Simplex {
 public:
  Simplex(std::size_t n, double* block, double* start, const double* steps,
          SimplexCostFunction cost, void* context)
      : n_(n), start_(start), steps_(steps), cost_(cost), context_(context) {
    vertices_ = block;                  // (n + 1) * n
    values_ = vertices_ + (n + 1) * n;  // n + 1
    centroid_ = values_ + (n + 1);      // n
    reflected_ = centroid_ + n;         // n
    best_point_ = reflected_ + n;       // n
    last_point_ = best_point_ + n;      // n
    real_ = last_point_ + n;            // n
    pending_ = real_ + n;               // n + 1 flags, 1.0 = pending
  }

  double Run(double min_size, double min_diff, int32_t time_limit) {
    double* point = start_;
    const bool timed = time_limit > 0;
    const long double deadline =
        timed ? GetTimeMsec() + 1000.0L * static_cast<long double>(time_limit) : 0.0L;
    MakeSimplex(static_cast<int32_t>(n_), vertices_);
    for (std::size_t i = 0; i < n_; ++i) best_point_[i] = 0.0;
    double size = 1.0;
    bool ran = false;

    while (size >= min_size) {
      ran = true;
      // Full evaluation of every vertex.
      best_index_ = -1;
      for (std::size_t k = 0; k <= n_; ++k) {
        double value = 0.0;
        const bool called = Evaluate(Vertex(k), &value);
        values_[k] = called ? value : last_value_;
        if (KeepBest(values_[k], Vertex(k))) {
          centred_ = false;
          best_index_ = static_cast<std::ptrdiff_t>(k);
        }
      }

      Sweep();

      if (!centred_) {
        const double value = Call(centroid_);
        if (KeepBest(value, centroid_)) centred_ = true;
      }

      if (timed && GetTimeMsec() > deadline) break;

      double worst = -1e18;
      for (std::size_t k = 0; k <= n_; ++k) {
        if (values_[k] > worst) worst = values_[k];
      }
      if (worst - best_value_ < min_diff) break;

      if (!centred_ && best_index_ >= 0) {
        // Move the simplex so that its centroid falls on the best point.
        for (std::size_t k = 0; k <= n_; ++k) {
          double* v = Vertex(k);
          for (std::size_t i = 0; i < n_; ++i) v[i] += best_point_[i] - centroid_[i];
        }
        for (std::size_t i = 0; i < n_; ++i) centroid_[i] = best_point_[i];
        centred_ = true;
        continue;
      }

      // Contract towards the centroid.
      // A size that has run down to 0 (reachable only with minSize <= 0)
      // could no longer change anything: stop there as well.
      size *= 0.5;
      if (size < min_size || size == 0.0) {
        size *= 2.0;
        break;
      }
      for (std::size_t k = 0; k <= n_; ++k) {
        double* v = Vertex(k);
        for (std::size_t i = 0; i < n_; ++i) v[i] = (v[i] + centroid_[i]) / 2.0;
      }
    }

    if (ran) {
      for (std::size_t i = 0; i < n_; ++i) point[i] += steps_[i] * best_point_[i];
    }
    return best_value_;
  }

 private:
  double* Vertex(std::size_t k) { return vertices_ + k * n_; }

  // Maps v to real coordinates in real_ and returns true when they equal the
  // last point evaluated (never for the first evaluation of the run).
  bool SameAsLast(const double* v) {
    double distance = 0.0;
    for (std::size_t i = 0; i < n_; ++i) {
      real_[i] = start_[i] + steps_[i] * v[i];
      distance += std::fabs(real_[i] - last_point_[i]);
    }
    return have_last_ && distance == 0.0;
  }

  // Calls the cost function at real_ and records it as the last evaluation.
  double CallReal() {
    const double value = cost_(real_, context_);
    for (std::size_t i = 0; i < n_; ++i) last_point_[i] = real_[i];
    last_value_ = value;
    have_last_ = true;
    return value;
  }

  // Evaluates the normalised point v unless it repeats the last point; returns
  // whether the cost function was called (its value in *value).
  bool Evaluate(const double* v, double* value) {
    if (SameAsLast(v)) return false;  // last point already equals real_
    *value = CallReal();
    return true;
  }

  // Evaluates v whether or not it repeats the last point.
  double Call(const double* v) {
    SameAsLast(v);
    return CallReal();
  }

  bool KeepBest(double value, const double* v) {
    if (!(value < best_value_)) return false;
    best_value_ = value;
    for (std::size_t i = 0; i < n_; ++i) best_point_[i] = v[i];
    return true;
  }

  // Reflects single vertices through the centroid of the others, cyclically
  // from vertex 0, until n visits in a row bring no improvement. Leaves the
  // centroid of the resulting simplex in centroid_.
  void Sweep() {
    const std::size_t count = n_ + 1;
    for (std::size_t k = 0; k < count; ++k) pending_[k] = 1.0;
    std::size_t pending = count;
    bool centroid_current = false;
    std::size_t k = 0;
    for (;;) {
      if (pending_[k] != 0.0) {
        pending_[k] = 0.0;
        --pending;
      }
      if (pending == 0) break;
      if (static_cast<std::ptrdiff_t>(k) != best_index_) {
        double* v = Vertex(k);
        for (std::size_t i = 0; i < n_; ++i) {
          double sum = 0.0;
          for (std::size_t j = 0; j < count; ++j) {
            if (j != k) sum += vertices_[j * n_ + i];
          }
          reflected_[i] = (2.0 / static_cast<double>(n_)) * sum - v[i];
          centroid_[i] = (sum + v[i]) / static_cast<double>(count);
        }
        centroid_current = true;
        double value = 0.0;
        if (Evaluate(reflected_, &value) && value < values_[k]) {
          for (std::size_t i = 0; i < n_; ++i) v[i] = reflected_[i];
          values_[k] = value;
          centroid_current = false;
          if (pending_[k] == 0.0) {
            pending_[k] = 1.0;
            ++pending;
          }
          if (KeepBest(value, v)) {
            centred_ = false;
            best_index_ = static_cast<std::ptrdiff_t>(k);
          }
        }
      }
      k = (k + 1) % count;
    }
    // With one parameter the sweep can end without having formed the centroid
    // of the final simplex (no visit, or only a visit to the best vertex after
    // a change); form it here.
    if (!centroid_current) {
      for (std::size_t i = 0; i < n_; ++i) {
        double sum = 0.0;
        for (std::size_t j = 0; j < count; ++j) sum += vertices_[j * n_ + i];
        centroid_[i] = sum / static_cast<double>(count);
      }
    }
  }

  std::size_t n_;
  double* start_;
  const double* steps_;
  SimplexCostFunction cost_;
  void* context_;

  double* vertices_ = nullptr;
  double* values_ = nullptr;
  double* centroid_ = nullptr;
  double* reflected_ = nullptr;
  double* best_point_ = nullptr;
  double* last_point_ = nullptr;
  double* real_ = nullptr;
  double* pending_ = nullptr;

  double last_value_ = 0.0;
  bool have_last_ = false;
  double best_value_ = 1e18;
  std::ptrdiff_t best_index_ = -1;
  bool centred_ = false;
};

}  // namespace

extern "C" {

void MakeSimplex(int32_t n, double* table) {
  if (n < 1 || table == nullptr) return;
  const std::size_t cols = static_cast<std::size_t>(n);
  for (std::size_t i = 0; i < (cols + 1) * cols; ++i) table[i] = 0.0;
  double q = 0.0;
  for (std::size_t i = 1; i <= cols; ++i) {
    const double c = std::sqrt(1.0 - q) / static_cast<double>(i + 1);
    for (std::size_t row = 0; row < i; ++row) table[row * cols + (i - 1)] = c;
    table[i * cols + (i - 1)] = -static_cast<double>(i) * c;
    q += c * c;
  }
}

double SimplexMinimum(int32_t n, double* point, const double* steps, double minSize,
                      double minDiff, int32_t timeLimit, SimplexCostFunction cost,
                      void* context) {
  // 0.0 is also a best cost: only a refusal is a failure.
  bool refused = true;
  return vantor::err::GuardedWhen(
      __func__, 0.0, [&](double) { return refused; }, [&]() -> double {
        namespace err = vantor::err;
        if (n < 1) return err::Fail(err::kParameter, "%d parameters (at least 1)", n), 0.0;
        if (point == nullptr || steps == nullptr || cost == nullptr) {
          return err::Fail(err::kParameter, "no point, steps or cost function given"), 0.0;
        }
        const std::size_t size = static_cast<std::size_t>(n);
        // n^2 + 8n + 3 doubles: the vertex table, the values and the work vectors.
        const std::size_t limit = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(double);
        if (size > (limit - 3) / (size + 8)) return err::FailMemory(), 0.0;
        const std::size_t count = size * size + 8 * size + 3;
        std::unique_ptr<double, FreeDeleter> block(
            static_cast<double*>(std::malloc(count * sizeof(double))));
        if (!block) return err::FailMemory(), 0.0;

        // point stays the start point until the run ends, then receives the best point.
        Simplex simplex(size, block.get(), point, steps, cost, context);
        const double best = simplex.Run(minSize, minDiff, timeLimit);
        refused = false;  // a cost function that throws leaves it set
        return best;
      });
}

}  // extern "C"
