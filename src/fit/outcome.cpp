#include "fit/outcome.hpp"

#include <algorithm>
#include <cmath>

#include "common/format.hpp"
#include "fit/covariance.hpp"
#include "fit/outcome_checks.hpp"

namespace korvex {
namespace {

constexpr const char* kMethodList =
    "\"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", \"differential_evolution\", "
    "\"simulated_annealing\", \"basin_hopping\"";

// sqrt(chi2 / (m - P) * (J^T J)^-1_jj); none when there are no more
// residuals than parameters or J^T J is singular.
std::optional<std::vector<double>> standard_errors(const std::vector<std::vector<double>>& columns,
                                                   double chi_square) {
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
    case Kind::LengthMismatch: return "frequencies and impedances must have the same length";
    case Kind::Empty: return "frequencies and impedances must not be empty";
    case Kind::NoParameters: return "circuit topology has no parameters to fit";
    case Kind::Solver: return "solver error: " + payload;
    case Kind::UnknownMethod:
      return "unknown fit method " + debug_string(payload) + ", expected one of " + kMethodList;
  }
  return payload;
}

namespace {

// variance * (J^T J)^-1 over the free parameters, scattered into a P x P
// matrix with zero rows and columns for held ones; none where the standard
// errors are absent.
std::optional<std::vector<double>> covariance_matrix(
    const std::vector<std::vector<double>>& columns, double chi_square, const ParameterMap& map) {
  const std::size_t f = columns.size();
  const std::size_t m = f == 0 ? 0 : columns[0].size();
  const double dof = static_cast<double>(m) - static_cast<double>(f);
  if (dof <= 0.0) return std::nullopt;
  const auto inv = inverse(normal_matrix(columns), f);
  if (!inv) return std::nullopt;
  const double variance = chi_square / dof;
  const std::size_t p = map.full_count();
  const auto& free = map.free_indices();
  std::vector<double> out(p * p, 0.0);
  for (std::size_t i = 0; i < f; ++i) {
    for (std::size_t j = 0; j < f; ++j) out[free[i] * p + free[j]] = variance * (*inv)[i * f + j];
  }
  return out;
}

}  // namespace

FitOutcome build_outcome(const SeriesList& circuit, const ParameterMap& map,
                         std::vector<double> params, Termination reason, std::uint64_t iterations,
                         std::span<const double> omegas, std::span<const Complex> impedances,
                         std::span<const double> weights, EvalCounter& counter) {
  const auto all_bounds = param_bounds(circuit);
  const auto bounds = map.free_of(all_bounds);
  for (std::size_t j = 0; j < params.size() && j < bounds.size(); ++j) {
    // Written as two tests so that a NaN value stays NaN.
    if (params[j] < bounds[j].first)
      params[j] = bounds[j].first;
    else if (params[j] > bounds[j].second)
      params[j] = bounds[j].second;
  }
  const SpectrumPlan plan(circuit, omegas);
  const Spectrum spectrum{circuit, omegas, impedances, weights, map.holds_any() ? &map : nullptr,
                          &plan};

  FitOutcome out;
  auto r = residuals(spectrum, params, counter);
  out.cost = r ? cost(*r) : std::nan("");
  out.chi_square = 2.0 * out.cost;
  if (map.free_count() == 0) {
    // Nothing was fitted: every value is exact by the caller's word.
    out.stderr_ = map.scatter({}, 0.0);
    out.covariance = std::vector<double>(map.full_count() * map.full_count(), 0.0);
  } else if (const auto columns = jacobian_columns(spectrum, params, counter)) {
    if (auto se = standard_errors(*columns, out.chi_square)) {
      out.stderr_ = map.scatter(*se, 0.0);
      out.covariance = covariance_matrix(*columns, out.chi_square, map);
    }
  }
  out.params = map.expand(params);
  out.circuit = rebuild(circuit, out.params);
  out.param_names = param_names(out.circuit);
  out.impedance_evals = counter.value();
  double largest_modulus = 0.0;
  for (const Complex& z : impedances)
    largest_modulus = std::max(largest_modulus, std::hypot(z.re, z.im));
  const std::vector<bool> runaway = runaway_parameters(circuit, out.params, map, largest_modulus);
  const bool ran_off = std::find(runaway.begin(), runaway.end(), true) != runaway.end();
  out.termination = !std::isfinite(out.cost)       ? Termination::NonFinite
                    : ran_off && succeeded(reason) ? Termination::Runaway
                                                   : reason;
  out.success = succeeded(out.termination);
  out.iterations = iterations;
  if (r) out.residuals = std::move(*r);
  out.held.resize(out.params.size());
  for (std::size_t j = 0; j < out.held.size(); ++j) out.held[j] = map.is_held(j);
  out.at_bound = parameters_at_bounds(out.params, all_bounds, map);
  out.warnings =
      fit_warnings({out.param_names, out.params, out.stderr_ ? &*out.stderr_ : nullptr, map,
                    out.at_bound, runaway, all_bounds, largest_modulus, omegas, out.residuals});
  return out;
}

FitOutcome build_outcome(const SeriesList& circuit, std::vector<double> params, bool success,
                         std::uint64_t iterations, std::span<const double> omegas,
                         std::span<const Complex> impedances, std::span<const double> weights,
                         EvalCounter& counter) {
  return build_outcome(circuit, ParameterMap(circuit), std::move(params),
                       success ? Termination::Converged : Termination::NotConverged, iterations,
                       omegas, impedances, weights, counter);
}

std::optional<FitError> check_fit_inputs(const SeriesList& circuit, std::size_t n_frequencies,
                                         std::size_t n_impedances) {
  if (n_frequencies != n_impedances) return FitError{FitError::Kind::LengthMismatch, {}};
  if (n_frequencies == 0) return FitError{FitError::Kind::Empty, {}};
  if (param_count(circuit) == 0) return FitError{FitError::Kind::NoParameters, {}};
  return std::nullopt;
}

}  // namespace korvex
