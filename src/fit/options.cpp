#include "fit/options.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "circuit/params.hpp"
#include "common/format.hpp"

namespace korvex {
namespace {

using K = OptionKind;
using O = FitOptions;

// In Circuit.fit's signature order: a front end maps positional arguments
// by it.
const OptionField kFitOptions[] = {
    {"guess_init", K::Switch, &O::guess_init, false,
     "True: start from the trained guess; False: from the circuit's values; None: decide"},
    {"weights", K::Path, &O::weights, false, "a weight file for the guess (.eisnn)"},
    {"weight", K::Weighting, &O::weighting, false, "residual weights: \"modulus\" or \"unit\""},
    {"method", K::Text, &O::method, false, "the minimiser: levenberg_marquardt or a global method"},
    {"max_iterations", K::Count32, &O::max_iterations, false,
     "Levenberg-Marquardt: (P + 1) * this evaluations at most"},
    {"ftol", K::Tolerance, &O::ftol, false, "relative cost decrease that ends a local fit"},
    {"xtol", K::Tolerance, &O::xtol, false, "relative step that ends a local fit"},
    {"num_particles", K::Count32, &O::num_particles, false, "particle swarm: swarm size"},
    {"generations", K::Count64, &O::generations, false, "particle swarm: iterations"},
    {"nelder_mead_iterations", K::Count64, &O::nelder_mead_iterations, false,
     "Nelder-Mead: simplex iterations"},
    {"de_evaluations", K::Count32, &O::de_evaluations, false,
     "differential evolution: cost evaluations"},
    {"sa_iterations", K::Count64, &O::sa_iterations, false, "simulated annealing: iterations"},
    {"sa_initial_temperature", K::Real, &O::sa_initial_temperature, false,
     "simulated annealing: starting temperature"},
    {"basin_hopping_hops", K::Count32, &O::basin_hopping_hops, false,
     "basin hopping: perturb-and-minimise rounds"},
    {"basin_hopping_step_size", K::Real, &O::basin_hopping_step_size, false,
     "basin hopping: perturbation, in log10 units"},
    {"basin_hopping_temperature", K::Real, &O::basin_hopping_temperature, false,
     "basin hopping: Metropolis temperature"},
    {"seed", K::Seed, &O::seed, false, "seeded methods: None draws from entropy"},
    {"constants", K::Constants, &O::constants, true, "parameters held at these values, by name"},
    {"bounds", K::Bounds, &O::bounds, true, "(lo, hi) bounds by name; None keeps a side"},
    {"starts", K::Starts, &O::starts, true,
     "extra Levenberg-Marquardt starts: a count or \"auto\""},
};

}  // namespace

std::optional<std::string> FitOptions::validate() const {
  if (!(ftol >= 0.0)) return "ftol must be a non-negative number, got " + debug_float(ftol);
  if (!(xtol >= 0.0)) return "xtol must be a non-negative number, got " + debug_float(xtol);
  if (starts && !starts->automatic && starts->count > kMaxStarts) {
    return "starts must be at most " + std::to_string(kMaxStarts) + ", got " +
           std::to_string(starts->count);
  }
  if (starts && !local_method()) {
    return "starts works with the method \"levenberg_marquardt\" only, got \"" + method + "\"";
  }
  return std::nullopt;
}

std::span<const OptionField> fit_option_table() { return kFitOptions; }

const OptionField* find_fit_option(std::string_view name) {
  const auto table = fit_option_table();
  const auto at = std::find_if(table.begin(), table.end(),
                               [&](const OptionField& f) { return f.name == name; });
  return at == table.end() ? nullptr : &*at;
}

std::optional<std::string> closest_fit_option(std::string_view name) {
  std::vector<std::string> names;
  for (const OptionField& f : kFitOptions) names.emplace_back(f.name);
  return closest_param_name(name, names);
}

}  // namespace korvex
