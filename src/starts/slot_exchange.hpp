#pragma once
// Fitted arcs moved between slots of different shapes. A local fit cannot
// carry an arc from one slot to another: in "R0-p(R1,CPE1)-p(R2-W2,CPE2)" the
// arc with the diffusion tail and the other one are two minima, and runs from
// most starts settle in whichever the data make wider. The search tries the
// other orders of its winner's own arcs before it polishes.
#include <span>
#include <vector>

#include "circuit/node.hpp"

namespace korvex {

// `values` (the circuit's full vector, parameter order) with the arcs of its
// slots in every other order that changes the impedance, at most `limit`
// vectors. Each slot's arc (resistance, time constant, exponent) is read from
// its own elements and written into the elements of the slot it moves to;
// every other value stays. Orders that give a value that is not finite are
// left out; values are clamped into their bounds.
std::vector<std::vector<double>> exchanged_slots(const SeriesList& circuit,
                                                 std::span<const double> values, std::size_t limit);

}  // namespace korvex
