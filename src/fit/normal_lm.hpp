#pragma once
// Levenberg-Marquardt on the normal equations, for the robust search's local
// runs. Each step solves (J^T J + lambda D^2) delta = -J^T r by Cholesky, a
// P x P system, where lmder factors the whole 2N x P Jacobian by Householder
// QR: on the search's spectra (up to 96 points, about ten parameters) that QR
// was a quarter of a batch's time. Squaring the Jacobian loses half the
// digits of its condition number, which a search run can afford: it only has
// to find the basin, and the winner is polished by the caller's own engine.
#include "fit/lm_problem.hpp"

namespace korvex {

// One run from the internal vector `start` with the rules of
// levenberg_marquardt_single_start: the same budget (patience * (P + 1)
// residual evaluations), tolerances, stall rule, held (`fixed`) parameters
// and handling of trial points that cannot be evaluated (rejected, the damping
// raised). Its `info` uses lmder's codes: 1-4 converged (ftol, xtol, both,
// gtol), 5 budget spent, kLmderStalledInfo stalled, negative stopped at a
// start or Jacobian that is not finite.
StartResult normal_equations_single_start(
    const SeriesList& circuit, std::span<const double> omegas, std::span<const Complex> impedances,
    std::span<const double> weights, std::span<const Bounds> bounds, std::span<const double> start,
    const std::vector<bool>& fixed, const LmSettings& settings, EvalCounter& counter,
    const ParameterMap* map = nullptr);

}  // namespace korvex
