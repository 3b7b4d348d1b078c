#pragma once
// Multi-start Levenberg-Marquardt on cminpack's lmder, in the log space of
// open-bound parameters.
#include <cstdint>
#include <span>
#include <vector>

#include "fit/outcome.hpp"

namespace korvex {

struct LmSettings {
  double ftol = 1e-8;              // relative reduction of the sum of squares
  double xtol = 1e-8;              // relative step size
  double gtol = 1e-8;              // orthogonality of residuals and Jacobian columns
  std::uint64_t patience = 200;    // budget: max(patience, 1) * (P + 1) evaluations
  bool single_candidate = false;   // one run from p0 itself (a multi-start search's task)
  bool analytic_jacobian = false;  // analytic derivatives instead of central differences
  bool normal_equations = false;   // steps from the normal equations (fit/normal_lm.hpp), not lmder
  double stall_tolerance = 0.0;    // stop (converged) when the cost fell less than this
                                   // relative over kStallIterations iterations; 0: never
};

// Iterations over which the stall rule compares the cost.
inline constexpr std::size_t kStallIterations = 5;

// Fits from the circuit's own parameter values (up to nine starts, early stop
// at the first plausible run, bound-holding polish).
FitResultOr levenberg_marquardt_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const LmSettings& settings);

// The same over the map's free parameters; held ones keep the circuit's
// values. Nothing to search (every parameter held) gives the evaluation at
// those values, Termination::Evaluated.
FitResultOr levenberg_marquardt_fit(const SeriesList& circuit, const ParameterMap& map,
                                    std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const LmSettings& settings);

// Refines a global method's best params with a local fit and keeps the better
// of the two (ties go to the local result).
FitResultOr polish_or_fallback(const SeriesList& circuit, std::vector<double> global_params,
                               std::uint64_t global_iterations, std::span<const double> frequencies,
                               std::span<const double> omegas, std::span<const Complex> impedances,
                               Weighting weighting, std::span<const double> weights,
                               EvalCounter& counter);

// The same with `global_params` over the map's free parameters. The global
// point's success needs a converged refinement: when the global point wins
// over a refinement that failed, the outcome carries the refinement's reason.
FitResultOr polish_or_fallback(const SeriesList& circuit, const ParameterMap& map,
                               std::vector<double> global_params, std::uint64_t global_iterations,
                               std::span<const double> frequencies, std::span<const double> omegas,
                               std::span<const Complex> impedances, Weighting weighting,
                               std::span<const double> weights, EvalCounter& counter);

}  // namespace korvex
