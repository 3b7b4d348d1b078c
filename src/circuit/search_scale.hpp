#pragma once
// The scale on which a fit searches a parameter: a bounded one as it is, an
// open-bound one (no upper bound) as log10(p - lo).
#include <cmath>

#include "circuit/params.hpp"

namespace korvex {

// Whether the search runs on log10(p - lo).
inline bool is_open_bound(const Bounds& b) { return !std::isfinite(b.second); }

// Internal <-> physical transform; p - lo at or below 1e-300 (or NaN) enters
// as -300.
double to_internal(double p, const Bounds& b);
double to_physical(double x, const Bounds& b);

}  // namespace korvex
