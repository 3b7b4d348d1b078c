#pragma once
// The identity of a circuit's arcs along a series of spectra. Parallel groups
// of the same shape side by side in the top-level series are interchangeable
// (swapping their values gives the same impedance), so two fits of nearly the
// same spectrum may return them in either order; a chained fit puts them back
// in the order of its previous fit, ranked by their time constants.
#include <cstddef>
#include <vector>

#include "circuit/node.hpp"

namespace korvex {

// 1 / the angular frequency at which -Im Z of the group peaks (1 / omega_0 of
// an RC or RQ arc), found on a grid of ten points per decade from 1e-12 to
// 1e12 rad/s refined by a parabola in log omega; NaN for a group whose -Im Z
// never rises above 0 (inductive or resistive).
double arc_time_constant(const Node& group);

// The parameter order that gives `fitted`'s interchangeable groups the rank
// of their time constants in `reference` (the same circuit with other
// values): new value j = fitted value order[j]. Groups holding a parameter in
// `held` never move. The identity when nothing needs to move.
std::vector<std::size_t> arc_order_like(const SeriesList& fitted, const SeriesList& reference,
                                        const std::vector<bool>& held);

}  // namespace korvex
