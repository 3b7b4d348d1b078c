#pragma once
// The residuals' Jacobian from the analytic derivatives of the element
// formulas: one walk of the tree per frequency instead of 2P residual
// evaluations. The fast engine's Jacobian; the central differences of
// residuals.hpp stay the reference of the exact engine.
#include <span>

#include "fit/residuals.hpp"

namespace korvex {

// Column-major 2N x P Jacobian of the residuals (P: the free parameters when
// the spectrum has a map), column j at out[j * 2N ...],
// the layout of jacobian_into. Adds 1 to the counter. False when `params` is
// too short for the circuit.
bool analytic_jacobian_into(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                            std::span<double> out);

}  // namespace korvex
