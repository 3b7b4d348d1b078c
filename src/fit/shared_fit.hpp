#pragma once
// One least-squares problem over several spectra of the same circuit: the
// shared parameters take one value for all spectra, the others one value per
// spectrum. The normal equations have block-arrow structure (one dense block
// per spectrum, coupled only through the shared parameters), so each
// Levenberg-Marquardt step eliminates the per-spectrum blocks (Schur
// complement) and solves a system the size of the shared set: the work grows
// linearly with the number of spectra.
#include <cstdint>
#include <optional>
#include <vector>

#include "circuit/node.hpp"
#include "circuit/params.hpp"
#include "fit/outcome_status.hpp"
#include "fit/residuals.hpp"

namespace korvex {

struct SharedSpectrum {
  std::vector<double> omegas;       // rad/s
  std::vector<Complex> impedances;  // ohm
  std::vector<double> weights;      // one divisor per point
  std::vector<double> start;        // full parameter vector (a per-spectrum fit)
};

struct SharedFitSettings {
  std::vector<bool> shared;    // per parameter: one value for every spectrum
  std::vector<bool> held;      // per parameter: kept at each spectrum's start value
  std::vector<Bounds> bounds;  // per parameter; empty: the circuit's own
  std::uint64_t max_iterations = 200;
  double ftol = 1e-10;  // stop when the cost falls less than this (relative) in a step
};

struct SharedFitOutcome {
  std::vector<std::vector<double>> params;  // per spectrum, full vectors
  // Per spectrum, standard errors from the joint Jacobian: 0 for held
  // parameters, NaN for one on a bound or one that the others determine (a
  // zero or dependent column; the rest are read from the joint matrix
  // without it); none when there are no more residuals than parameters or
  // the Jacobian is not finite.
  std::optional<std::vector<std::vector<double>>> stderr_;
  std::vector<double> chi_square;  // per spectrum
  double total_chi_square = 0.0;
  std::uint64_t iterations = 0;
  // Converged (no step lowers the cost), ConvergedFtol, BudgetExhausted or
  // NonFinite; success is read from it.
  Termination termination = Termination::NotConverged;
  bool success = false;
};

SharedFitOutcome shared_fit(const SeriesList& circuit, const std::vector<SharedSpectrum>& spectra,
                            const SharedFitSettings& settings);

}  // namespace korvex
