#include "analysis/spectrum_check.hpp"

#include <cmath>

namespace korvex::analysis {

std::optional<std::string> check_spectrum(std::span<const double> frequencies,
                                          std::span<const Complex> impedances,
                                          std::size_t min_points, const char* tool) {
  if (frequencies.size() != impedances.size()) {
    return "frequencies and impedances must have the same length";
  }
  if (frequencies.size() < min_points) {
    return std::string(tool) + " needs at least " + std::to_string(min_points) + " points, got " +
           std::to_string(frequencies.size());
  }
  for (double f : frequencies) {
    if (!(f > 0.0) || !std::isfinite(f)) return "frequencies must be positive and finite";
  }
  for (const Complex& z : impedances) {
    if (!std::isfinite(z.re) || !std::isfinite(z.im)) {
      return "impedances must be finite";
    }
    if (z.re == 0.0 && z.im == 0.0) return "impedances must be nonzero";
  }
  return std::nullopt;
}

}  // namespace korvex::analysis
