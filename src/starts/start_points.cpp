#include "starts/start_points.hpp"

#include <algorithm>
#include <numeric>

#include "circuit/params.hpp"
#include "circuit/search_scale.hpp"
#include "common/chacha_rng.hpp"
#include "starts/estimate.hpp"

namespace korvex {

std::uint64_t extra_start_count(const StartCount& starts, std::size_t parameters) {
  if (!starts.automatic) return starts.count;
  return std::min<std::uint64_t>(8 + 4 * parameters, kMaxAutoStarts);
}

StartPoints multi_start_points(const SeriesList& circuit, std::span<const double> frequencies,
                               std::span<const Complex> impedances, const StartCount& starts,
                               std::optional<std::uint64_t> seed, std::uint64_t extra,
                               const std::vector<bool>& held) {
  const std::vector<double> given = param_values(circuit);
  const std::vector<Bounds> bounds = param_bounds(circuit);
  StartPoints out{{given}, {!starts.placeholder_start}};
  auto& points = out.points;
  if (extra == 0) return out;
  auto estimated = estimate_variants(circuit, frequencies, impedances);
  std::vector<std::vector<double>> readings;
  if (auto* values = std::get_if<std::vector<std::vector<double>>>(&estimated)) {
    readings = std::move(*values);
  }
  for (auto& reading : readings) {
    for (std::size_t j = 0; j < reading.size(); ++j) {
      if (held[j]) reading[j] = given[j];
    }
  }
  const std::vector<double> centre = readings.empty() ? given : readings.front();
  std::uint64_t design = extra;
  for (auto& reading : readings) {
    if (design == 0) break;
    if (reading == given || std::find(points.begin(), points.end(), reading) != points.end()) {
      continue;
    }
    points.push_back(std::move(reading));
    out.full_fit.push_back(false);
    ++out.readings;
    --design;
  }
  // Latin hypercube: each coordinate takes every one of `design` strata
  // once, in an order shuffled per coordinate, at a uniform point inside it.
  ChaChaRng rng = ChaChaRng::from_seed(seed.value_or(kDefaultDesignSeed));
  const std::size_t p = centre.size();
  std::vector<std::vector<double>> unit(design, std::vector<double>(p));
  std::vector<std::uint64_t> order(design);
  for (std::size_t j = 0; j < p; ++j) {
    std::iota(order.begin(), order.end(), 0);
    for (std::uint64_t i = design; i > 1; --i) {
      std::swap(order[i - 1], order[rng.next_u64() % i]);
    }
    for (std::uint64_t i = 0; i < design; ++i) {
      unit[i][j] = (static_cast<double>(order[i]) + rng.next_unit()) / static_cast<double>(design);
    }
  }
  for (std::uint64_t i = 0; i < design; ++i) {
    std::vector<double> point = centre;
    for (std::size_t j = 0; j < p; ++j) {
      if (held[j]) continue;
      const double u = 2.0 * unit[i][j] - 1.0;  // in [-1, 1)
      const auto [lo, hi] = bounds[j];
      if (is_open_bound(bounds[j])) {
        point[j] =
            to_physical(to_internal(centre[j], bounds[j]) + u * kOpenHalfWidthDecades, bounds[j]);
      } else {
        const double margin = 0.01 * (hi - lo);
        point[j] = std::clamp(centre[j] + u * kBoundedHalfWidth, lo + margin, hi - margin);
      }
    }
    points.push_back(std::move(point));
    out.full_fit.push_back(false);
  }
  return out;
}

}  // namespace korvex
