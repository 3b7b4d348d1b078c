#pragma once
// Impedance of a circuit and its derivatives with respect to every parameter
// over a block of frequencies: the element derivatives combined by the series
// rule (derivatives add) and the parallel rule (dZ = (Z / Z_b)^2 dZ_b for a
// parameter inside branch b). The tree is walked once per block, each element
// filling its values at every frequency, so that the work an element does not
// repeat per frequency (its powers' logarithms and angles) is done once.
#include <span>

#include "circuit/node.hpp"

namespace korvex {

// Z at terms[i] into z[i], with element values drawn in leaf order from
// `params`, and dZ/dparams[j] at terms[i] into dz[j * terms.size() + i] for
// j < param_count(circuit). False when `params`, `z` or `dz` is too short.
bool impedance_gradient(const SeriesList& circuit, std::span<const double> params,
                        std::span<const FrequencyTerms> terms, std::span<Complex> z,
                        std::span<Complex> dz);

}  // namespace korvex
