#include "starts/start_values.hpp"

#include <algorithm>
#include <cmath>

namespace korvex {

double start_inside_bound(double value, const Bounds& bounds) {
  const auto [lo, hi] = bounds;
  if (std::isfinite(hi) || !(value <= lo)) return value;
  return lo + 1e-3 * std::max(1.0, std::fabs(lo));
}

std::vector<double> start_inside_bounds(std::vector<double> values,
                                        std::span<const Bounds> bounds) {
  const std::size_t n = std::min(values.size(), bounds.size());
  for (std::size_t j = 0; j < n; ++j) values[j] = start_inside_bound(values[j], bounds[j]);
  return values;
}

}  // namespace korvex
