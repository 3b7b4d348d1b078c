#pragma once
// The robust search behind fit(..., starts=): Levenberg-Marquardt fits from
// the candidates of starts/start_points.hpp, one start per task on the worker
// pool; a successful start beats a failed one (a runaway included), then the
// lowest cost wins.
#include <cstddef>

#include "fit/driver.hpp"
#include "starts/start_points.hpp"

namespace korvex {

// Starts run in batches of this size; "auto" stops after a batch once
// kAgreeingStarts starts reached the best cost within kAgreeTolerance
// (relative). A fixed batch size keeps the result independent of the number
// of threads.
inline constexpr std::size_t kStartBatch = 8;
inline constexpr std::size_t kAgreeingStarts = 4;
inline constexpr double kAgreeTolerance = 1e-4;

// Requires settings.starts and the method "levenberg_marquardt"; every start
// runs run_fit with the same settings but its own start circuit, so every
// per-fit control reaches each start unchanged. The given start and the
// estimate run the full nine-candidate fit, the design's starts one run
// each. `iterations` and
// `impedance_evals` are summed over the starts.
FitResultOr multi_start_fit(const FitSettings& settings);

}  // namespace korvex
