#include "fit/search_run.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "common/log_spaced.hpp"
#include "common/units.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/lm_problem.hpp"
#include "fit/normal_lm.hpp"
#include "fit/outcome_checks.hpp"
#include "starts/start_values.hpp"

namespace korvex {

bool better_minimum(bool a_success, double a_cost, bool b_success, double b_cost) {
  if (!std::isfinite(a_cost)) return false;
  if (!std::isfinite(b_cost)) return true;
  if (a_success == b_success) return a_cost < b_cost;
  return a_success ? !(b_cost < kFailureWinsBelow * a_cost) : a_cost < kFailureWinsBelow * b_cost;
}

bool better_run(const SearchRun& a, const SearchRun& b) {
  return better_minimum(a.success, a.cost, b.success, b.cost);
}

SearchProblem::SearchProblem(const FitSettings& settings, const std::vector<bool>& held)
    : settings_(settings),
      held_(held),
      map_(settings.circuit, held),
      bounds_(map_.free_of(param_bounds(settings.circuit))) {
  for (std::size_t i : log_spaced_points(settings.frequencies, kSearchPoints)) {
    frequencies_.push_back(settings.frequencies[i]);
    omegas_.push_back(settings.frequencies[i] * kTwoPi);
    impedances_.push_back(settings.impedances[i]);
  }
  weights_ = compute_weights(impedances_, settings.weighting);
  for (const Complex& z : settings.impedances) {
    largest_modulus_ = std::max(largest_modulus_, std::hypot(z.re, z.im));
  }
}

SearchRun SearchProblem::run(std::span<const double> start, bool candidates) const {
  const ParameterMap* free_map = map_.holds_any() ? &map_ : nullptr;
  const std::vector<double> free_start =
      start_inside_bounds(map_.free_of(std::vector<double>(start.begin(), start.end())), bounds_);
  LmSettings lm{settings_.ftol, settings_.xtol, 1e-8,
                std::min(settings_.max_iterations, kSearchPatience)};
  lm.single_candidate = true;
  lm.analytic_jacobian = true;
  lm.stall_tolerance = kFastStallTolerance;
  lm.normal_equations = true;
  SearchRun out;
  if (candidates) {
    const SeriesList circuit = rebuild(settings_.circuit, map_.expand(free_start));
    LmSettings nine = lm;
    nine.single_candidate = false;
    FitResultOr fitted =
        levenberg_marquardt_fit(circuit, ParameterMap(circuit, held_), frequencies_, impedances_,
                                settings_.weighting, nine);
    const auto* outcome = std::get_if<FitOutcome>(&fitted);
    if (!outcome) {
      out.cost = std::nan("");
      return out;
    }
    counter_.add(outcome->impedance_evals);
    out.params = outcome->params;
    out.cost = std::isfinite(outcome->cost) ? outcome->cost : std::nan("");
    out.success = outcome->success;
    out.evaluations = outcome->iterations;
    out.termination = outcome->termination;
    return out;
  }
  const auto one_run = [&](std::span<const double> from, const std::vector<bool>& fixed) {
    StartResult run =
        normal_equations_single_start(settings_.circuit, omegas_, impedances_, weights_, bounds_,
                                      to_internal(from, bounds_), fixed, lm, counter_, free_map);
    // A bounded parameter may end past its bound: it goes back on the bound
    // (a cost a final fit can reach), and is recorded as held there.
    std::vector<bool> at_bound(run.params.size(), false);
    for (std::size_t j = 0; j < run.params.size() && j < bounds_.size(); ++j) {
      const auto [lo, hi] = bounds_[j];
      at_bound[j] = !is_open_bound(bounds_[j]) && (run.params[j] <= lo || run.params[j] >= hi);
      run.params[j] = std::clamp(run.params[j], lo, hi);
    }
    return std::pair{std::move(run), std::move(at_bound)};
  };
  auto [run, at_bound] = one_run(free_start, std::vector<bool>(free_start.size(), false));
  std::uint64_t evaluations = run.evaluations;
  // Parameters that ended on a bound stay there while the others settle, as
  // the final fit's polish does.
  if (run.success && std::find(at_bound.begin(), at_bound.end(), true) != at_bound.end()) {
    StartResult polish = one_run(run.params, at_bound).first;
    evaluations += polish.evaluations;
    if (polish.success) {
      run.params = std::move(polish.params);
      run.info = polish.info;
    }
  }
  const auto r = residuals(Spectrum{settings_.circuit, omegas_, impedances_, weights_, free_map},
                           run.params, counter_);
  out.cost = r ? cost(*r) : std::nan("");
  if (!std::isfinite(out.cost)) out.cost = std::nan("");
  out.params = map_.expand(run.params);
  const auto runaway = runaway_parameters(settings_.circuit, out.params, map_, largest_modulus_);
  out.success = run.success && std::isfinite(out.cost) &&
                std::find(runaway.begin(), runaway.end(), true) == runaway.end();
  out.evaluations = evaluations;
  out.termination = termination_of(run);
  return out;
}

}  // namespace korvex
