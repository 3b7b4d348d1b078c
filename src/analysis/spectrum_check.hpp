#pragma once
// The input guard shared by the analysis tools: they divide by f and |Z|, so
// a spectrum must be finite, positive in frequency and nonzero in impedance.
#include <cstddef>
#include <optional>
#include <span>
#include <string>

#include "elements/complex_math.hpp"

namespace korvex::analysis {

// The message of the first fault, or none. `min_points` names the tool's need.
std::optional<std::string> check_spectrum(std::span<const double> frequencies,
                                          std::span<const Complex> impedances,
                                          std::size_t min_points, const char* tool);

}  // namespace korvex::analysis
