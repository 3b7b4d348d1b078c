// Basin hopping over the multi-start Levenberg-Marquardt fit: perturb the
// current solution in the minimiser's internal space, refit, and accept or
// reject the refit by a Metropolis test on the cost.
#include <cmath>
#include <optional>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/search_scale.hpp"
#include "common/chacha_rng.hpp"
#include "common/format.hpp"
#include "common/units.hpp"
#include "fit/global_methods.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/search_space.hpp"

namespace korvex {
namespace {

// Every fit of this method, whatever the caller's own tolerances.
constexpr LmSettings kHopSettings{1e-8, 1e-8, 1e-8, 200};

// A step is the half-width of a uniform draw whose width 2 * step must be a
// finite, non-negative double.
std::optional<FitError> check_step_size(double step) {
  if (step >= 0.0 && std::isfinite(step + step)) return std::nullopt;
  return FitError::solver(
      "basin_hopping_step_size must be a number >= 0 whose double is finite, got " +
      debug_float(step));
}

// The Metropolis test divides by the temperature: NaN would reject every
// uphill refit by accident and a negative one inverts the test.
std::optional<FitError> check_temperature(double temperature) {
  if (temperature >= 0.0) return std::nullopt;
  return FitError::solver("basin_hopping_temperature must be a number >= 0, got " +
                          debug_float(temperature));
}

}  // namespace

FitResultOr basin_hopping_fit(const FitSettings& settings) {
  const SeriesList& circuit = settings.circuit;
  // Refused before any work, even when no hop would use it.
  const double step = settings.basin_hopping_step_size;
  if (auto error = check_step_size(step)) return *error;
  const double temperature = settings.basin_hopping_temperature;
  if (auto error = check_temperature(temperature)) return *error;

  ChaChaRng rng = ChaChaRng::from_optional_seed(settings.seed);
  // Hops move the free parameters only; outcomes carry full vectors.
  const ParameterMap map(circuit, settings.held);
  const std::vector<Bounds> bounds = map.free_of(param_bounds(circuit));

  FitResultOr first = levenberg_marquardt_fit(
      circuit, map, settings.frequencies, settings.impedances, settings.weighting, kHopSettings);
  if (auto* error = std::get_if<FitError>(&first)) return *error;
  FitOutcome current = std::move(std::get<FitOutcome>(first));
  std::vector<double> best_params = map.free_of(current.params);
  double best_cost = current.cost;
  // No polish follows the hops: the result is as sound as the fit it came from.
  Termination best_reason = current.termination;
  std::uint64_t iterations = current.iterations;

  for (std::uint64_t hop = 0; hop < settings.basin_hopping_hops; ++hop) {
    std::vector<double> x = map.free_of(current.params);
    const std::size_t n = std::min(x.size(), bounds.size());
    for (std::size_t j = 0; j < n; ++j) x[j] = to_internal(x[j], bounds[j]);
    // One draw per coordinate, even for a zero step, so that the stream does
    // not depend on the step size.
    for (double& v : x) v += uniform_from_bits(rng.next_u64(), -step, step + step);
    for (std::size_t j = 0; j < n; ++j) x[j] = to_physical(x[j], bounds[j]);

    FitResultOr refit =
        levenberg_marquardt_fit(rebuild(circuit, map.expand(x)), map, settings.frequencies,
                                settings.impedances, settings.weighting, kHopSettings);
    if (auto* error = std::get_if<FitError>(&refit)) return *error;
    FitOutcome& candidate = std::get<FitOutcome>(refit);
    iterations += candidate.iterations;

    const double c = candidate.cost;
    if (!std::isfinite(c)) continue;  // never accepted, never the best
    // A finite cost also beats a NaN one, so that a first fit whose cost
    // could not be computed neither hides nor holds back later refits.
    if (cost_improves(c, best_cost)) {
      best_params = map.free_of(candidate.params);
      best_cost = c;
      best_reason = candidate.termination;
    }
    bool accept = cost_improves(c, current.cost);
    if (!accept) {
      const double a = unit_from_bits(rng.next_u64());
      accept = a < std::exp(-(c - current.cost) / temperature);
    }
    if (accept) current = std::move(candidate);
  }

  const std::vector<double> omegas = angular_frequencies(settings.frequencies);
  const std::vector<double> weights = compute_weights(settings.impedances, settings.weighting);
  EvalCounter counter;
  return build_outcome(circuit, map, std::move(best_params), best_reason, iterations, omegas,
                       settings.impedances, weights, counter);
}

}  // namespace korvex
