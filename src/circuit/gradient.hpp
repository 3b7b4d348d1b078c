#pragma once
// Impedance of a circuit and its derivatives with respect to every parameter
// at one angular frequency: the element derivatives combined by the series
// rule (derivatives add) and the parallel rule (dZ = (Z / Z_b)^2 dZ_b for a
// parameter inside branch b).
#include <span>

#include "circuit/node.hpp"

namespace korvex {

// Z at `omega` with element values drawn in leaf order from `params`, and
// dZ/dparams[j] into dz[j] for j < param_count(circuit). False when `params`
// or `dz` is shorter than the circuit's parameter count.
bool impedance_gradient(const SeriesList& circuit, std::span<const double> params,
                        const FrequencyTerms& w, Complex& z, std::span<Complex> dz);

}  // namespace korvex
