#pragma once
// The robust search behind fit(..., starts=): local runs of the search
// (search_run.hpp) from the candidates of starts/start_points.hpp, one start
// per task on the worker pool; the best run (a success before a failure
// unless the failure costs less than half, then the lowest cost: see
// better_minimum) is polished by the caller's engine on every point.
#include <cstddef>

#include "fit/driver.hpp"
#include "starts/start_points.hpp"

namespace korvex {

// Starts run in batches of this size; "auto" stops after a batch once
// kAgreeingStarts runs succeeded within kAgreeTolerance (relative) of the
// best cost. A fixed batch size keeps the result independent of the number
// of threads.
inline constexpr std::size_t kStartBatch = 4;
inline constexpr std::size_t kAgreeingStarts = 4;
inline constexpr double kAgreeTolerance = 1e-3;

// Requires settings.starts and the method "levenberg_marquardt". The given
// start, when it is a guess or the user's values, runs run_fit with the same
// settings (the full nine-candidate fit), so that the search never does worse
// than a plain fit from it; every other start is one run of the search, and
// the search's winner is polished by run_fit from its values alone. The
// better of those outcomes is returned, with `iterations` and
// `impedance_evals` summed over every run.
FitResultOr multi_start_fit(const FitSettings& settings);

}  // namespace korvex
