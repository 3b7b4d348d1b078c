#pragma once
// Data-driven starting values for any circuit: the spectrum's features
// (estimate_features.hpp) assigned to the circuit's elements by their role.
//
// Roles, found by one walk of the tree in parameter order:
// - an arc slot is a parallel group with at least one purely capacitive
//   branch (only C and CPE elements) and one other branch, or a K, Zarc, Ws,
//   G, Gs or T element. Slots take the arcs of the relaxation-time
//   distribution in text order, fastest first, so "R0-p(R1,C1)-p(R2,C2)" puts
//   the high-frequency arc in the first group.
// - in a slot's other branches every R shares the arc's resistance (R = r for
//   one resistor); in its capacitive branches C = tau / r, and a CPE gets
//   q = tau^alpha / r with the arc's alpha.
// - every other R is a series resistance and shares the high-frequency
//   intercept; every L and La shares the inductance.
// - every other C, CPE, W, Wo and TLMQ is a tail element and matches the
//   fitted low-frequency tail at the lowest measured frequency (modulus, and
//   phase where the kind has an exponent or a time constant to set).
// Whatever the data cannot show (no inductive points, no tail, a flat or
// short spectrum) gets a placeholder scaled by the median |Z| and the
// measured frequency window. Every value is finite and inside the parameter
// bounds.
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/node.hpp"
#include "common/cancel.hpp"

namespace korvex {

struct EstimateError {
  std::string message;
};

// The most readings estimate_variants gives.
inline constexpr std::size_t kMaxEstimateVariants = 6;

// Values in parameter order, or an error for non-finite data or spectra of
// different lengths (nothing else fails). Throws Cancelled when `cancel` (or
// the calling thread's flag, see common/cancel.hpp) is set while it runs.
std::variant<std::vector<double>, EstimateError> estimate_values(
    const SeriesList& circuit, std::span<const double> frequencies,
    std::span<const Complex> impedances, const CancelFlag* cancel = nullptr);

// The estimate above first, then other readings of the same spectrum, each
// in parameter order and each once: the arcs of the other tail reading (the
// slowest piece of the distribution taken as an arc rather than as the
// tail's curvature, or the reverse), the arcs of one piece more with the
// smallest left out, and each reading's arcs in every order over slots of
// different shapes. At most kMaxEstimateVariants; the errors of
// estimate_values.
std::variant<std::vector<std::vector<double>>, EstimateError> estimate_variants(
    const SeriesList& circuit, std::span<const double> frequencies,
    std::span<const Complex> impedances, const CancelFlag* cancel = nullptr);

// The first reading of the estimate in every order of its arcs over the
// circuit's slots that changes the impedance (an RC and an RQ: two orders),
// each set of values once, at most `limit`: a circuit whose slots differ in
// shape has one plausible start per order. The errors of estimate_values.
std::variant<std::vector<std::vector<double>>, EstimateError> estimate_slot_orders(
    const SeriesList& circuit, std::span<const double> frequencies,
    std::span<const Complex> impedances, std::size_t limit);

}  // namespace korvex
