#include "fit/global_methods.hpp"

namespace korvex {
namespace {
FitResultOr not_available(const char* name) {
  return FitError::solver(std::string(name) + " is not available in this build");
}
}  // namespace

FitResultOr basin_hopping_fit(const FitSettings&) { return not_available("basin_hopping"); }
FitResultOr nelder_mead_fit(const FitSettings&) { return not_available("nelder_mead"); }
FitResultOr simulated_annealing_fit(const FitSettings&) { return not_available("simulated_annealing"); }
FitResultOr particle_swarm_fit(const FitSettings&) { return not_available("particle_swarm"); }
FitResultOr differential_evolution_fit(const FitSettings&) {
  return not_available("differential_evolution");
}

}  // namespace korvex
