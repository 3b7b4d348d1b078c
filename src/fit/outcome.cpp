#include "fit/outcome.hpp"

#include <cmath>

#include "common/format.hpp"
#include "fit/covariance.hpp"

namespace korvex {
namespace {

constexpr const char* kMethodList =
    "\"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", \"differential_evolution\", "
    "\"simulated_annealing\", \"basin_hopping\"";

// sqrt(chi2 / (m - P) * (J^T J)^-1_jj); none when there are no more
// residuals than parameters or J^T J is singular.
std::optional<std::vector<double>> standard_errors(
    const std::vector<std::vector<double>>& columns, double chi_square) {
  const std::size_t p = columns.size();
  const std::size_t m = p == 0 ? 0 : columns[0].size();
  const double dof = static_cast<double>(m) - static_cast<double>(p);
  if (dof <= 0.0) return std::nullopt;
  const auto diag = inverse_diagonal(normal_matrix(columns), p);
  if (!diag) return std::nullopt;
  const double variance = chi_square / dof;
  std::vector<double> out(p);
  for (std::size_t j = 0; j < p; ++j) out[j] = std::sqrt(variance * (*diag)[j]);
  return out;
}

}  // namespace

std::string FitError::message() const {
  switch (kind) {
    case Kind::LengthMismatch:
      return "frequencies and impedances must have the same length";
    case Kind::Empty:
      return "frequencies and impedances must not be empty";
    case Kind::NoParameters:
      return "circuit topology has no parameters to fit";
    case Kind::Solver:
      return "solver error: " + payload;
    case Kind::UnknownMethod:
      return "unknown fit method " + debug_string(payload) + ", expected one of " + kMethodList;
  }
  return payload;
}

FitOutcome build_outcome(const SeriesList& circuit, std::vector<double> params, bool success,
                         std::uint64_t iterations, std::span<const double> omegas,
                         std::span<const Complex> impedances, std::span<const double> weights,
                         EvalCounter& counter) {
  const auto bounds = param_bounds(circuit);
  for (std::size_t j = 0; j < params.size() && j < bounds.size(); ++j) {
    // Written as two tests so that a NaN value stays NaN.
    if (params[j] < bounds[j].first) params[j] = bounds[j].first;
    else if (params[j] > bounds[j].second) params[j] = bounds[j].second;
  }
  const SpectrumPlan plan(circuit, omegas);
  const Spectrum spectrum{circuit, omegas, impedances, weights, &plan};

  FitOutcome out;
  const auto r = residuals(spectrum, params, counter);
  out.cost = r ? cost(*r) : std::nan("");
  out.chi_square = 2.0 * out.cost;
  if (const auto columns = jacobian_columns(spectrum, params, counter)) {
    out.stderr_ = standard_errors(*columns, out.chi_square);
  }
  out.circuit = rebuild(circuit, params);
  out.param_names = param_names(out.circuit);
  out.impedance_evals = counter.value();
  out.params = std::move(params);
  out.success = success;
  out.iterations = iterations;
  return out;
}

std::optional<FitError> check_fit_inputs(const SeriesList& circuit, std::size_t n_frequencies,
                                         std::size_t n_impedances) {
  if (n_frequencies != n_impedances) return FitError{FitError::Kind::LengthMismatch, {}};
  if (n_frequencies == 0) return FitError{FitError::Kind::Empty, {}};
  if (param_count(circuit) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

}  // namespace korvex
