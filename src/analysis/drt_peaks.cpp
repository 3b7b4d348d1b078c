#include <algorithm>
#include <cmath>

#include "analysis/drt.hpp"

namespace korvex::analysis {
namespace {

// A maximum must rise this far (relative to the largest gamma) above the
// higher of its two bases to count as a process; smaller ripples are what
// the regularisation leaves of noise and of the basis.
constexpr double kMinProminence = 0.05;

// Height of gamma[i] above the higher of its bases: the lowest points
// between i and the nearest higher sample on each side (or the ends).
double prominence(std::span<const double> gamma, std::size_t i) {
  double left = gamma[i], right = gamma[i];
  for (std::size_t k = i; k > 0 && gamma[k - 1] <= gamma[i]; --k)
    left = std::min(left, gamma[k - 1]);
  for (std::size_t k = i + 1; k < gamma.size() && gamma[k] <= gamma[i]; ++k) {
    right = std::min(right, gamma[k]);
  }
  return gamma[i] - std::max(left, right);
}

// Where gamma crosses `level` between samples a and b (ln tau, linear).
double crossing(const std::vector<double>& ln_tau, std::span<const double> gamma, std::size_t a,
                std::size_t b, double level) {
  const double t = (level - gamma[a]) / (gamma[b] - gamma[a]);
  return ln_tau[a] + t * (ln_tau[b] - ln_tau[a]);
}

}  // namespace

std::vector<DRTPeak> drt_peaks(std::span<const double> tau, std::span<const double> gamma) {
  const std::size_t n = gamma.size();
  std::vector<DRTPeak> peaks;
  if (n < 3) return peaks;
  const double top = *std::max_element(gamma.begin(), gamma.end());
  if (!(top > 0.0)) return peaks;
  std::vector<std::size_t> tops;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    if (gamma[i] > gamma[i - 1] && gamma[i] >= gamma[i + 1] &&
        prominence(gamma, i) >= kMinProminence * top) {
      tops.push_back(i);
    }
  }
  std::vector<double> ln_tau(n);
  for (std::size_t i = 0; i < n; ++i) ln_tau[i] = std::log(tau[i]);
  // Each process owns the grid up to the lowest point between it and its
  // neighbour, so that the areas add up to the whole distribution.
  std::vector<std::size_t> bounds{0};
  for (std::size_t p = 1; p < tops.size(); ++p) {
    bounds.push_back(static_cast<std::size_t>(
        std::min_element(gamma.begin() + tops[p - 1], gamma.begin() + tops[p]) - gamma.begin()));
  }
  bounds.push_back(n - 1);
  for (std::size_t p = 0; p < tops.size(); ++p) {
    const std::size_t i = tops[p], left = bounds[p], right = bounds[p + 1];
    double area = 0.0;
    for (std::size_t k = left; k < right; ++k) {
      area += 0.5 * (gamma[k] + gamma[k + 1]) * (ln_tau[k + 1] - ln_tau[k]);
    }
    const double half = 0.5 * gamma[i];
    std::size_t a = i, b = i;
    while (a > left && gamma[a] > half) --a;
    while (b < right && gamma[b] > half) ++b;
    const double lo = gamma[a] <= half ? crossing(ln_tau, gamma, a, a + 1, half) : ln_tau[a];
    const double hi = gamma[b] <= half ? crossing(ln_tau, gamma, b - 1, b, half) : ln_tau[b];
    // The time constant is the centroid of the part above half maximum: on a
    // symmetric peak it is the maximum, and noise moves it less.
    double mass = 0.0, moment = 0.0;
    for (std::size_t k = a; k <= b; ++k) {
      const double excess = std::max(gamma[k] - half, 0.0);
      mass += excess;
      moment += excess * ln_tau[k];
    }
    peaks.push_back({std::exp(moment / mass), area, (hi - lo) / std::log(10.0)});
  }
  return peaks;
}

}  // namespace korvex::analysis
