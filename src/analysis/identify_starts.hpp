#pragma once
// Where identify's screen starts each candidate: the data-driven estimate
// with the spectrum's arcs given to the circuit's arc slots in every distinct
// order, and a smaller nested candidate's fit with the extra elements
// estimated from what that fit leaves unexplained.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "circuit/node.hpp"
#include "elements/complex_math.hpp"

namespace korvex::analysis {

// At most this many slot orders per candidate: four arc slots of four
// different shapes.
inline constexpr std::size_t kMaxSlotOrders = 24;

// The estimate (starts/estimate.hpp) for every distinct order of the
// circuit's top-level arc slots: the estimate gives arcs to slots in text
// order, fastest first, so a circuit whose slots differ in shape (an RC and
// an RQ, an arc and a Gerischer) has one plausible start per order. Series
// order does not change the impedance, so each order is a start of the same
// circuit. Without usable data: none.
std::vector<std::vector<double>> slot_order_starts(const SeriesList& circuit,
                                                   std::span<const double> frequencies,
                                                   std::span<const Complex> impedances);

// When every top-level node of `smaller` has a node of the same shape in
// `larger`, or one it generalises (a CPE where `smaller` has a capacitor), and
// `larger` has more nodes or generalises one: `larger`'s values with the
// shared nodes at `smaller`'s (fitted) values and the others estimated from
// the spectrum minus `smaller`'s impedance. None otherwise.
std::optional<std::vector<double>> nested_start(const SeriesList& larger, const SeriesList& smaller,
                                                std::span<const double> frequencies,
                                                std::span<const Complex> impedances);

// When `larger` (fitted) has, for every top-level node of `smaller`, a node
// of the same shape or one that generalises it (a CPE where `smaller` has a
// capacitor): `smaller`'s values taken from those nodes, one start per
// distinct choice of them (at most kMaxSlotOrders), so that a circuit with
// one arc fewer starts from each arc of the larger fit left out in turn, and
// a circuit of capacitors from each choice of the CPEs that become them.
std::vector<std::vector<double>> reduced_starts(const SeriesList& smaller,
                                                const SeriesList& larger);

// Positions of the top-level nodes that are arcs: parallel groups and the
// elements that make an arc by themselves (K, Zarc, Ws, G, Gs, T).
std::vector<std::size_t> arc_slots(const SeriesList& circuit);

}  // namespace korvex::analysis
