#pragma once
// The result and the errors of one fit.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/params.hpp"
#include "fit/outcome_status.hpp"
#include "fit/parameter_map.hpp"
#include "fit/residuals.hpp"

namespace korvex {

struct FitOutcome {
  std::uint64_t iterations = 0;                // the method's own count of work
  std::uint64_t impedance_evals = 0;           // the fit's counter when the outcome was built
  double cost = 0.0;                           // 1/2 sum r^2 at params
  double chi_square = 0.0;                     // sum r^2 = 2 * cost
  std::optional<std::vector<double>> stderr_;  // sqrt(chi2 / (2N - P) * (J^T J)^-1_jj)
  SeriesList circuit;                          // the input circuit rebuilt with params
  std::vector<std::string> param_names;
  std::vector<double> params;  // clamped into their bounds
  bool success = false;        // succeeded(termination)
  Termination termination = Termination::NotConverged;
  // Everything below is over all P parameters; held ones have zero standard
  // error and zero covariance, and are never at a bound.
  std::optional<std::vector<double>> covariance;  // P x P row-major, present with stderr_
  std::vector<double> residuals;                  // at params, interleaved re/im as residuals_into
  std::vector<bool> held;                         // held at their value (constants) by the fit
  std::vector<bool> at_bound;                     // on or within 1e-9 (relative) of a bound
  std::vector<std::string> warnings;              // plain sentences, see outcome_checks.hpp
  std::vector<double> initial;                    // the starting values; set by run_fit
};

struct FitError {
  enum class Kind { LengthMismatch, Empty, NoParameters, Solver, UnknownMethod };
  Kind kind;
  std::string payload;  // solver message, or the unknown method text

  static FitError solver(std::string message) { return {Kind::Solver, std::move(message)}; }
  std::string message() const;
};

using FitResultOr = std::variant<FitOutcome, FitError>;

// Clamps the free vector `params` into the circuit's bounds and summarises
// it: cost, chi-square, standard errors and covariance (1 + 2F counted
// evaluations for F free parameters), checks, rebuilt circuit. A non-finite
// cost ends as Termination::NonFinite whatever `reason` says.
FitOutcome build_outcome(const SeriesList& circuit, const ParameterMap& map,
                         std::vector<double> params, Termination reason, std::uint64_t iterations,
                         std::span<const double> omegas, std::span<const Complex> impedances,
                         std::span<const double> weights, EvalCounter& counter);

// Every parameter free; `success` true counts as Termination::Converged,
// false as Termination::NotConverged.
FitOutcome build_outcome(const SeriesList& circuit, std::vector<double> params, bool success,
                         std::uint64_t iterations, std::span<const double> omegas,
                         std::span<const Complex> impedances, std::span<const double> weights,
                         EvalCounter& counter);

// The three guards every method applies before any evaluation.
std::optional<FitError> check_fit_inputs(const SeriesList& circuit, std::size_t n_frequencies,
                                         std::size_t n_impedances);

}  // namespace korvex
