#include "fit/levenberg_marquardt.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "circuit/impedance.hpp"
#include "common/format.hpp"
#include "common/units.hpp"
#include "fit/lm_problem.hpp"
#include "fit/normal_lm.hpp"
#include "starts/start_values.hpp"

namespace korvex {
namespace {

double cost_at(const Spectrum& s, std::span<const double> params, EvalCounter& counter) {
  const auto r = residuals(s, params, counter);
  return r ? cost(*r) : std::nan("");
}

std::optional<FitError> check_tolerances(const LmSettings& settings) {
  const std::pair<const char*, double> tolerances[] = {
      {"ftol", settings.ftol}, {"xtol", settings.xtol}, {"gtol", settings.gtol}};
  for (const auto& [name, value] : tolerances) {
    if (!(value >= 0.0)) {
      return FitError::solver(std::string(name) + " must be a non-negative number, got " +
                              debug_float(value));
    }
  }
  return std::nullopt;
}

// The run kept among those offered: a successful run beats a failed one,
// and between runs of the same success the lower cost wins (the earlier
// run on a tie).
struct RunChoice {
  std::vector<double> params;
  Termination reason = Termination::InvalidProblem;
  double cost = 0.0;
  bool found = false;

  void offer(const StartResult& run, double c) {
    const bool kept_success = found && succeeded(reason);
    const bool better =
        !found || (run.success && !kept_success) || (run.success == kept_success && c < cost);
    if (!better) return;
    params = run.params;
    reason = termination_of(run);
    cost = c;
    found = true;
  }
};

bool inside_bounds(std::span<const double> params, const std::vector<Bounds>& bounds) {
  for (std::size_t j = 0; j < params.size() && j < bounds.size(); ++j) {
    if (!(params[j] >= bounds[j].first && params[j] <= bounds[j].second)) return false;
  }
  return true;
}

}  // namespace

FitResultOr levenberg_marquardt_fit(const SeriesList& circuit, std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const LmSettings& settings) {
  return levenberg_marquardt_fit(circuit, ParameterMap(circuit), frequencies, impedances, weighting,
                                 settings);
}

FitResultOr levenberg_marquardt_fit(const SeriesList& circuit, const ParameterMap& map,
                                    std::span<const double> frequencies,
                                    std::span<const Complex> impedances, Weighting weighting,
                                    const LmSettings& settings) {
  if (auto error = check_fit_inputs(circuit, frequencies.size(), impedances.size())) return *error;
  if (auto error = check_tolerances(settings)) return *error;

  const std::vector<double> omegas = angular_frequencies(frequencies);
  const std::vector<double> weights = compute_weights(impedances, weighting);
  EvalCounter counter;
  // The whole search runs over the free parameters; held ones only reach the
  // circuit through the map inside the residuals.
  const ParameterMap* free_map = map.holds_any() ? &map : nullptr;
  const Spectrum spectrum{circuit, omegas, impedances, weights, free_map};
  const std::vector<Bounds> bounds = map.free_of(param_bounds(circuit));
  const std::vector<double> initial =
      start_inside_bounds(map.free_of(param_values(circuit)), bounds);
  if (initial.empty()) {
    return build_outcome(circuit, map, {}, Termination::Evaluated, 0, omegas, impedances, weights,
                         counter);
  }
  const std::vector<bool> free(initial.size(), false);

  auto candidates = candidate_starting_points(circuit, initial, bounds, omegas, impedances, weights,
                                              counter, free_map);
  // The search around a multi-start task supplies the variety the scaled
  // candidates would add; its task runs from its own start only.
  if (settings.single_candidate) candidates.resize(1);
  sort_candidates(candidates);

  const auto single_start =
      settings.normal_equations ? normal_equations_single_start : levenberg_marquardt_single_start;
  std::uint64_t iterations = 0;
  RunChoice best, best_inside;
  for (const Candidate& candidate : candidates) {
    const auto run =
        single_start(circuit, omegas, impedances, weights, bounds,
                     to_internal(candidate.params, bounds), free, settings, counter, free_map);
    iterations += run.evaluations;
    const double c = cost_at(spectrum, run.params, counter);
    best.offer(run, c);
    if (inside_bounds(run.params, bounds)) best_inside.offer(run, c);
    if (run.success && std::isfinite(c) && is_plausible(run.params, initial, bounds)) break;
  }
  std::vector<double> best_params = std::move(best.params);
  const Termination best_reason = best.reason;

  std::vector<double> clamped = best_params;
  std::vector<bool> at_bound(clamped.size(), false);
  bool any_at_bound = false;
  for (std::size_t j = 0; j < clamped.size() && j < bounds.size(); ++j) {
    const auto [lo, hi] = bounds[j];
    if (clamped[j] < lo)
      clamped[j] = lo;
    else if (clamped[j] > hi)
      clamped[j] = hi;
    if (std::isfinite(hi) && (best_params[j] <= lo || best_params[j] >= hi)) {
      at_bound[j] = true;
      any_at_bound = true;
    }
  }

  std::vector<double> final_params = std::move(best_params);
  Termination final_reason = best_reason;
  if (any_at_bound) {
    // The polish must beat the clamped values, not the best run's cost: that
    // cost belongs to a point outside the bounds, which a run holding the
    // parameters on their bound can never reach, so comparing against it
    // would throw away every constrained improvement.
    const double clamped_cost = cost_at(spectrum, clamped, counter);
    const auto polish =
        single_start(circuit, omegas, impedances, weights, bounds, to_internal(clamped, bounds),
                     at_bound, settings, counter, free_map);
    iterations += polish.evaluations;
    const double polish_cost = cost_at(spectrum, polish.params, counter);
    double final_cost = clamped_cost;
    if (polish.success && polish_cost < clamped_cost) {
      final_params = polish.params;
      final_reason = termination_of(polish);
      final_cost = polish_cost;
    } else {
      final_params = std::move(clamped);
    }
    // Clamping can cost more than the search gained: a run that ended inside
    // the bounds at a lower cost than the clamped or polished point is the
    // better answer, and returning the worse one as converged would be wrong.
    if (best_inside.found && best_inside.cost < final_cost &&
        (succeeded(best_inside.reason) || !succeeded(final_reason))) {
      final_params = std::move(best_inside.params);
      final_reason = best_inside.reason;
    }
  }
  return build_outcome(circuit, map, std::move(final_params), final_reason, iterations, omegas,
                       impedances, weights, counter);
}

FitResultOr polish_or_fallback(const SeriesList& circuit, std::vector<double> global_params,
                               std::uint64_t global_iterations, std::span<const double> frequencies,
                               std::span<const double> omegas, std::span<const Complex> impedances,
                               Weighting weighting, std::span<const double> weights,
                               EvalCounter& counter) {
  return polish_or_fallback(circuit, ParameterMap(circuit), std::move(global_params),
                            global_iterations, frequencies, omegas, impedances, weighting, weights,
                            counter);
}

FitResultOr polish_or_fallback(const SeriesList& circuit, const ParameterMap& map,
                               std::vector<double> global_params, std::uint64_t global_iterations,
                               std::span<const double> frequencies, std::span<const double> omegas,
                               std::span<const Complex> impedances, Weighting weighting,
                               std::span<const double> weights, EvalCounter& counter) {
  if (global_params.size() < map.free_count()) {
    return FitError::solver("the global search returned too few parameter values");
  }
  const SeriesList start = rebuild(circuit, map.expand(global_params));
  FitOutcome global =
      build_outcome(circuit, map, std::move(global_params), Termination::GlobalSearchDone,
                    global_iterations, omegas, impedances, weights, counter);
  auto local = levenberg_marquardt_fit(start, map, frequencies, impedances, weighting,
                                       LmSettings{1e-8, 1e-8, 1e-8, 200});
  if (std::holds_alternative<FitError>(local)) return local;
  FitOutcome& refined = std::get<FitOutcome>(local);
  counter.add(refined.impedance_evals);
  const bool local_wins = std::isfinite(refined.cost) && refined.cost <= global.cost;
  FitOutcome& chosen = local_wins ? refined : global;
  // The global point counts as a success only when the local refinement from
  // it converged (its cost is checked in build_outcome): a search that merely
  // stopped somewhere, or whose refinement failed, is not a converged fit.
  if (!local_wins && global.success && !refined.success) {
    global.termination = refined.termination;
    global.success = false;
  }
  chosen.impedance_evals = counter.value();
  return std::move(chosen);
}

}  // namespace korvex
