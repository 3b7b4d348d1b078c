#pragma once
// Spectra are measured in hertz; the element formulas take angular frequency.
#include <span>
#include <vector>

namespace korvex {

inline constexpr double kTwoPi = 6.283185307179586;  // radians per cycle

// omega = 2 pi f for each frequency f in hertz, in order.
inline std::vector<double> angular_frequencies(std::span<const double> hertz) {
  std::vector<double> omegas;
  omegas.reserve(hertz.size());
  for (double f : hertz) omegas.push_back(f * kTwoPi);
  return omegas;
}

}  // namespace korvex
