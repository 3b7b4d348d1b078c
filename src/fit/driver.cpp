#include "fit/driver.hpp"

#include <string_view>

#include "circuit/impedance.hpp"
#include "fit/global_methods.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/multi_start.hpp"

namespace korvex {
namespace {

FitResultOr levenberg_marquardt_method(const FitSettings& s) {
  LmSettings lm{s.ftol, s.xtol, 1e-8, s.max_iterations, s.single_candidate};
  if (s.fast_engine) {
    lm.analytic_jacobian = true;
    lm.stall_tolerance = kFastStallTolerance;
  }
  return levenberg_marquardt_fit(s.circuit, ParameterMap(s.circuit, s.held), s.frequencies,
                                 s.impedances, s.weighting, lm);
}

struct Method {
  std::string_view name;
  FitResultOr (*run)(const FitSettings&);
};

// Names are matched byte for byte; this order is the one error messages list.
constexpr Method kMethods[] = {
    {"levenberg_marquardt", levenberg_marquardt_method},
    {"particle_swarm", particle_swarm_fit},
    {"nelder_mead", nelder_mead_fit},
    {"differential_evolution", differential_evolution_fit},
    {"simulated_annealing", simulated_annealing_fit},
    {"basin_hopping", basin_hopping_fit},
};

FitResultOr evaluate_only(const FitSettings& s, const ParameterMap& map) {
  std::vector<double> omegas;
  omegas.reserve(s.frequencies.size());
  for (double f : s.frequencies) omegas.push_back(f * kTwoPi);
  EvalCounter counter;
  return build_outcome(s.circuit, map, {}, Termination::Evaluated, 0, omegas, s.impedances,
                       compute_weights(s.impedances, s.weighting), counter);
}

}  // namespace

FitResultOr run_fit(const FitSettings& settings) {
  const CancelScope cancel(settings.cancel);
  for (const Method& method : kMethods) {
    if (settings.method != method.name) continue;
    // The one place the data guards run: the methods assume them.
    if (auto error = check_fit_inputs(settings.circuit, settings.frequencies.size(),
                                      settings.impedances.size())) {
      return *error;
    }
    if (auto problem = settings.validate()) return FitError::solver(*problem);
    // Every parameter held leaves nothing for any method to search.
    const ParameterMap map(settings.circuit, settings.held);
    FitResultOr result = map.free_count() == 0 ? evaluate_only(settings, map)
                         : settings.starts     ? multi_start_fit(settings)
                                               : method.run(settings);
    if (auto* outcome = std::get_if<FitOutcome>(&result)) {
      outcome->initial = param_values(settings.circuit);
    }
    return result;
  }
  return FitError{FitError::Kind::UnknownMethod, settings.method};
}

}  // namespace korvex
