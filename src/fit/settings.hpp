#pragma once
// Everything one fit needs: the method, the circuit with its starting values,
// the measured spectrum and every method's options.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "circuit/node.hpp"
#include "common/cancel.hpp"
#include "fit/residuals.hpp"

namespace korvex {

// Extra Levenberg-Marquardt starts of a multi-start search (multi_start.hpp).
struct StartCount {
  std::uint64_t count = 0;         // starts besides the given one
  bool automatic = false;          // count from the parameter count, early stop
  bool placeholder_start = false;  // the given values are catalogue placeholders: one run from them
};

// Relative cost decrease over five iterations below which the fast engine
// stops.
inline constexpr double kFastStallTolerance = 1e-5;

struct FitSettings {
  std::string method = "levenberg_marquardt";
  SeriesList circuit;               // with the starting values stored in it
  std::vector<double> frequencies;  // Hz
  std::vector<Complex> impedances;  // ohm
  Weighting weighting = Weighting::Modulus;
  std::uint64_t max_iterations = 200;
  double ftol = 1e-8;
  double xtol = 1e-8;
  std::uint64_t num_particles = 200;
  std::uint64_t generations = 1000;
  std::uint64_t nelder_mead_iterations = 2000;
  std::uint64_t de_evaluations = 20000;
  std::uint64_t sa_iterations = 5000;
  double sa_initial_temperature = 2.0;
  std::uint64_t basin_hopping_hops = 20;
  double basin_hopping_step_size = 1.0;
  double basin_hopping_temperature = 1.0;
  std::optional<std::uint64_t> seed;
  std::vector<bool> held;  // per parameter: held at the circuit's value; missing entries are free
  std::optional<StartCount> starts;    // absent: one fit from the circuit's values
  bool single_candidate = false;       // "levenberg_marquardt": one run from the values, not nine
  const CancelFlag* cancel = nullptr;  // once set, the fit stops at its next evaluation
  bool fast_engine = false;  // Levenberg-Marquardt with the analytic Jacobian and the stall rule
};

}  // namespace korvex
