#pragma once
// The global fit methods; each ends in polish_or_fallback. They assume the
// data guards of check_fit_inputs hold (run_fit applies them).
#include "fit/outcome.hpp"
#include "fit/settings.hpp"

namespace korvex {

FitResultOr basin_hopping_fit(const FitSettings& settings);
FitResultOr nelder_mead_fit(const FitSettings& settings);
FitResultOr simulated_annealing_fit(const FitSettings& settings);
FitResultOr particle_swarm_fit(const FitSettings& settings);
FitResultOr differential_evolution_fit(const FitSettings& settings);

}  // namespace korvex
