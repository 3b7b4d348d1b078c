#pragma once
// The candidates of a multi-start search (fit/multi_start.hpp): the given
// values, the readings of the data-driven estimate and a Latin hypercube
// around the first reading.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "circuit/node.hpp"
#include "elements/complex_math.hpp"
#include "starts/start_options.hpp"

namespace korvex {

// Starts of "auto": 8 + 4 per parameter, at most this many.
inline constexpr std::uint64_t kMaxAutoStarts = 48;
// Half-width of the hypercube: decades of p - lo for an open-bound
// parameter, and a plain offset for a bounded one (an exponent in (0, 1)).
inline constexpr double kOpenHalfWidthDecades = 0.75;
inline constexpr double kBoundedHalfWidth = 0.5;
// The design's seed when the fit has none: the search is deterministic.
inline constexpr std::uint64_t kDefaultDesignSeed = 0x6b6f72766578ULL;

struct StartPoints {
  std::vector<std::vector<double>> points;  // physical values
  // Per point: the full nine-candidate fit (a guess or values the user gave)
  // or one run of the search (placeholder values, the estimate, the design).
  std::vector<bool> full_fit;
  std::size_t readings = 0;  // readings of the estimate, right after the given values
};

// Starts besides the given one that `starts` asks for, for `parameters`
// parameters.
std::uint64_t extra_start_count(const StartCount& starts, std::size_t parameters);

// The circuit's values first, then the readings of the estimate from the
// spectrum (estimate_variants, those that differ), then the design around
// the first reading, `extra` starts besides the given one in all.
// `held` parameters keep their given value in every start; `seed` (or
// kDefaultDesignSeed) draws the design.
StartPoints multi_start_points(const SeriesList& circuit, std::span<const double> frequencies,
                               std::span<const Complex> impedances, const StartCount& starts,
                               std::optional<std::uint64_t> seed, std::uint64_t extra,
                               const std::vector<bool>& held);

}  // namespace korvex
