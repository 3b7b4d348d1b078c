#pragma once
// The Nelder-Mead downhill simplex over a plain objective.
#include <cstdint>
#include <span>
#include <vector>

#include "fit/search_space.hpp"

namespace korvex {

struct NelderMeadSettings {
  double reflection = 1.0;   // x_r = c + reflection (c - x_worst)
  double expansion = 2.0;    // x_e = c + expansion (x_r - c)
  double contraction = 0.5;  // x_c = c + contraction (x_r - c) outside, (x_worst - c) inside
  double shrink = 0.5;       // x_i = x_best + shrink (x_i - x_best)
  // Stop once the sample standard deviation of the vertex costs is below this.
  double sd_tolerance = 2.220446049250313e-16;
  std::uint64_t max_iterations = 2000;
};

// x0 and, for each coordinate i, x0 with coordinate i raised by 10% of its
// magnitude (by 0.1 when the magnitude is at most 1e-8).
std::vector<std::vector<double>> nelder_mead_initial_simplex(std::span<const double> x0);

// Minimises `f` from `simplex` (n + 1 vertices of n coordinates). The result
// is the best vertex; `iterations` counts the steps taken. NaN costs rank
// behind every number.
SearchResult nelder_mead_minimize(const Objective& f, std::vector<std::vector<double>> simplex,
                                  const NelderMeadSettings& settings);

}  // namespace korvex
