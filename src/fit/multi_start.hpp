#pragma once
// The robust search behind fit(..., starts=): Levenberg-Marquardt fits from
// the given start, the data-driven estimate and a Latin hypercube around the
// estimate, one start per task on the worker pool; a successful start
// beats a failed one (a runaway included), then the lowest cost wins.
#include <cstdint>
#include <vector>

#include "fit/driver.hpp"

namespace korvex {

// Starts of "auto": 8 + 4 per parameter, at most this many.
inline constexpr std::uint64_t kMaxAutoStarts = 48;
// Starts run in batches of this size; "auto" stops after a batch once
// kAgreeingStarts starts reached the best cost within kAgreeTolerance
// (relative). A fixed batch size keeps the result independent of the number
// of threads.
inline constexpr std::size_t kStartBatch = 8;
inline constexpr std::size_t kAgreeingStarts = 4;
inline constexpr double kAgreeTolerance = 1e-4;
// Half-width of the hypercube: decades of p - lo for an open-bound
// parameter, and a plain offset for a bounded one (an exponent in (0, 1)).
inline constexpr double kOpenHalfWidthDecades = 1.5;
inline constexpr double kBoundedHalfWidth = 0.25;
// The design's seed when the fit has none: the search is deterministic.
inline constexpr std::uint64_t kDefaultDesignSeed = 0x6b6f72766578ULL;

struct StartPoints {
  std::vector<std::vector<double>> points;  // physical values
  // Per point: the full nine-candidate fit (a guess or values the user gave,
  // and the estimate) or one run (placeholder values, the design).
  std::vector<bool> full_fit;
};

// The given values first, then the estimate (when it differs), then the
// design, `extra` starts besides the given one in all. `held` parameters keep
// their given value in every start.
StartPoints multi_start_points(const FitSettings& settings, std::uint64_t extra,
                               const std::vector<bool>& held);

// Requires settings.starts and the method "levenberg_marquardt"; every start
// runs run_fit with the same settings but its own start circuit, so every
// per-fit control reaches each start unchanged. The given start and the
// estimate run the full nine-candidate fit, the design's starts one run
// each. `iterations` and
// `impedance_evals` are summed over the starts.
FitResultOr multi_start_fit(const FitSettings& settings);

}  // namespace korvex
