#pragma once
// Where a fit starts an open-bound parameter (one searched as log10(p - lo)).
#include <span>
#include <vector>

#include "circuit/params.hpp"

namespace korvex {

// A start value at or below the lower bound lo of an open-bound parameter
// would enter the log-scale search at its floor, log10(1e-300), where the
// parameter has no measurable effect and no method could move it. Such a
// value starts just inside the bound instead, at lo + 1e-3 * max(1, |lo|),
// close enough to the bound to keep the user's intent and far enough above
// it for the log-scale search to reach typical values.
// NaN values, bounded parameters and values above lo are left as they are.
double start_inside_bound(double value, const Bounds& bounds);

// The same for every parameter that has bounds.
std::vector<double> start_inside_bounds(std::vector<double> values, std::span<const Bounds> bounds);

}  // namespace korvex
