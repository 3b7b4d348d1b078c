#pragma once
// Simulated annealing with the fast schedule T_k = T0 / k over a plain
// objective.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/chacha_rng.hpp"
#include "fit/search_space.hpp"

namespace korvex {

// The cost and the neighbour stream the annealing moves with.
struct SaProblem {
  Objective cost;
  ChaChaRng neighbour;

  // x_j + u_j, u_j uniform in [-t, t), one draw per coordinate in order.
  std::vector<double> anneal(std::span<const double> x, double t);
};

// None when `t0` is a usable initial temperature, else the reason.
std::optional<std::string> check_initial_temperature(double t0);

// Runs `iterations` steps from x0 at T_k = t0 / k, k = 1, 2, ... Every step
// draws one acceptance number from `acceptance`; a worse candidate is taken
// when 1 / (1 + exp((c_new - c_cur) / T_k)) exceeds it. There is no other
// stopping rule and no re-annealing. `t0` must pass check_initial_temperature.
SearchResult simulated_annealing_minimize(SaProblem& problem, std::span<const double> x0, double t0,
                                          std::uint64_t iterations, ChaChaRng& acceptance);

}  // namespace korvex
