#include "fit/driver.hpp"

#include <string_view>

#include "fit/global_methods.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace korvex {
namespace {

FitResultOr levenberg_marquardt_method(const FitSettings& s) {
  return levenberg_marquardt_fit(s.circuit, s.frequencies, s.impedances, s.weighting,
                                 LmSettings{s.ftol, s.xtol, 1e-8, s.max_iterations});
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

}  // namespace

FitResultOr run_fit(const FitSettings& settings) {
  for (const Method& method : kMethods) {
    if (settings.method != method.name) continue;
    // The one place the data guards run: the methods assume them.
    if (auto error = check_fit_inputs(settings.circuit, settings.frequencies.size(),
                                      settings.impedances.size())) {
      return *error;
    }
    return method.run(settings);
  }
  return FitError{FitError::Kind::UnknownMethod, settings.method};
}

}  // namespace korvex
