#include <algorithm>
#include <cmath>

#include "analysis/drt.hpp"

namespace korvex::analysis {
namespace {

constexpr double kMinRelativeHeight = 0.01;

// Where gamma crosses `level` between samples a and b (log tau, linear).
double crossing(std::span<const double> ln_tau, std::span<const double> gamma, std::size_t a,
                std::size_t b, double level) {
  const double t = (level - gamma[a]) / (gamma[b] - gamma[a]);
  return ln_tau[a] + t * (ln_tau[b] - ln_tau[a]);
}

}  // namespace

std::vector<DRTPeak> drt_peaks(std::span<const double> tau, std::span<const double> gamma) {
  const std::size_t n = gamma.size();
  std::vector<DRTPeak> peaks;
  if (n < 3) return peaks;
  std::vector<double> ln_tau(n);
  for (std::size_t i = 0; i < n; ++i) ln_tau[i] = std::log(tau[i]);
  const double top = *std::max_element(gamma.begin(), gamma.end());
  if (!(top > 0.0)) return peaks;
  for (std::size_t i = 1; i + 1 < n; ++i) {
    if (!(gamma[i] > gamma[i - 1] && gamma[i] >= gamma[i + 1])) continue;
    if (gamma[i] < kMinRelativeHeight * top) continue;
    // The peak's territory runs down to the neighbouring minima.
    std::size_t left = i, right = i;
    while (left > 0 && gamma[left - 1] <= gamma[left]) --left;
    while (right + 1 < n && gamma[right + 1] <= gamma[right]) ++right;
    double area = 0.0;
    for (std::size_t k = left; k < right; ++k) {
      area += 0.5 * (gamma[k] + gamma[k + 1]) * (ln_tau[k + 1] - ln_tau[k]);
    }
    // The vertex of the parabola through the three samples around the top.
    const double g0 = gamma[i - 1], g1 = gamma[i], g2 = gamma[i + 1];
    const double den = g0 - 2.0 * g1 + g2;
    const double shift = den < 0.0 ? 0.5 * (g0 - g2) / den : 0.0;
    const double step = ln_tau[i + 1] - ln_tau[i];
    const double half = 0.5 * g1;
    std::size_t a = i, b = i;
    while (a > left && gamma[a] > half) --a;
    while (b < right && gamma[b] > half) ++b;
    const double lo = gamma[a] <= half ? crossing(ln_tau, gamma, a, a + 1, half) : ln_tau[a];
    const double hi = gamma[b] <= half ? crossing(ln_tau, gamma, b - 1, b, half) : ln_tau[b];
    peaks.push_back({std::exp(ln_tau[i] + shift * step), area, (hi - lo) / std::log(10.0)});
  }
  return peaks;
}

}  // namespace korvex::analysis
