#pragma once
// Complex impedance of a circuit tree at one angular frequency.
#include <cstddef>
#include <optional>
#include <span>

#include "circuit/node.hpp"

namespace korvex {

// Element values from the tree.
Complex impedance(const SeriesList& circuit, double omega);

// Element values drawn in leaf order from `params`; none when the vector runs
// out ("impedance_from_iter: not enough values supplied"). Extra values are
// ignored.
std::optional<Complex> series_impedance_with_params(const SeriesList& circuit,
                                                    std::span<const double> params, double omega);

inline constexpr const char* kNotEnoughValues = "impedance_from_iter: not enough values supplied";

// impedance() at 2*pi*f for every f, in input order, into `out` (same size).
// From kParallelImpedanceThreshold frequencies on the work is spread over the
// worker pool; both paths give identical values.
inline constexpr std::size_t kParallelImpedanceThreshold = 1000;
void impedance_spectrum(const SeriesList& circuit, std::span<const double> frequencies,
                        std::span<Complex> out);

inline constexpr double kTwoPi = 6.283185307179586;

}  // namespace korvex
