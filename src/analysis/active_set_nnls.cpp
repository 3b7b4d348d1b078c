#include "analysis/active_set_nnls.hpp"

#include <cmath>

namespace korvex {
namespace {

// Solves G_PP s = h_P by Cholesky over the index set `passive`; false when
// the block is not positive definite (then the caller keeps its iterate).
bool solve_passive(std::span<const double> gram, std::span<const double> h, std::size_t n,
                   const std::vector<std::size_t>& passive, std::vector<double>& s) {
  const std::size_t k = passive.size();
  std::vector<double> l(k * k, 0.0);
  for (std::size_t i = 0; i < k; ++i) {
    for (std::size_t j = 0; j <= i; ++j) {
      double sum = gram[passive[i] * n + passive[j]];
      for (std::size_t m = 0; m < j; ++m) sum -= l[i * k + m] * l[j * k + m];
      if (i == j) {
        if (!(sum > 0.0)) return false;
        l[i * k + i] = std::sqrt(sum);
      } else {
        l[i * k + j] = sum / l[j * k + j];
      }
    }
  }
  std::vector<double> y(k);
  for (std::size_t i = 0; i < k; ++i) {
    double sum = h[passive[i]];
    for (std::size_t m = 0; m < i; ++m) sum -= l[i * k + m] * y[m];
    y[i] = sum / l[i * k + i];
  }
  s.assign(n, 0.0);
  for (std::size_t i = k; i-- > 0;) {
    double sum = y[i];
    for (std::size_t m = i + 1; m < k; ++m) sum -= l[m * k + i] * s[passive[m]];
    s[passive[i]] = sum / l[i * k + i];
  }
  return true;
}

}  // namespace

std::vector<double> nnls_normal_equations(std::span<const double> gram, std::span<const double> h,
                                          std::size_t max_iterations) {
  const std::size_t n = h.size();
  std::vector<double> x(n, 0.0), s, w(n);
  std::vector<bool> in_passive(n, false);
  double scale = 0.0;
  for (double v : h) scale = std::max(scale, std::abs(v));
  const double tolerance = 1e-12 * (scale > 0.0 ? scale : 1.0);
  for (std::size_t iteration = 0; iteration < max_iterations; ++iteration) {
    // Gradient of the objective's negative: where it is positive outside
    // the passive set, the objective still falls along that coordinate.
    std::size_t best = n;
    for (std::size_t i = 0; i < n; ++i) {
      double g = h[i];
      for (std::size_t j = 0; j < n; ++j) g -= gram[i * n + j] * x[j];
      w[i] = g;
      if (!in_passive[i] && g > tolerance && (best == n || g > w[best])) best = i;
    }
    if (best == n) break;
    in_passive[best] = true;
    for (std::size_t inner = 0; inner <= n; ++inner) {
      std::vector<std::size_t> passive;
      for (std::size_t i = 0; i < n; ++i) if (in_passive[i]) passive.push_back(i);
      if (!solve_passive(gram, h, n, passive, s)) return x;
      double step = 1.0;
      std::size_t blocking = n;
      for (std::size_t i : passive) {
        if (s[i] <= 0.0) {
          const double t = x[i] / (x[i] - s[i]);
          if (blocking == n || t < step) {
            step = t;
            blocking = i;
          }
        }
      }
      const bool feasible = blocking == n;
      if (feasible) {
        x = s;
        break;
      }
      // Move towards s until the first passive coordinate reaches zero and
      // drop every coordinate that got there.
      for (std::size_t i : passive) {
        x[i] = i == blocking ? 0.0 : x[i] + step * (s[i] - x[i]);
        if (x[i] <= 0.0) {
          x[i] = 0.0;
          in_passive[i] = false;
        }
      }
    }
  }
  return x;
}

}  // namespace korvex
