#include "fit/multi_start.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "analysis/estimate.hpp"
#include "circuit/params.hpp"
#include "common/pool.hpp"
#include "fit/chacha_rng.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/lm_problem.hpp"

namespace korvex {
namespace {

// Parameters that no start may move: the fit's constants.
std::vector<bool> held_parameters(const FitSettings& settings) {
  std::vector<bool> held = settings.held;
  held.resize(param_count(settings.circuit), false);
  return held;
}

std::uint64_t start_count(const FitSettings& settings) {
  const StartCount& s = *settings.starts;
  if (!s.automatic) return s.count;
  return std::min<std::uint64_t>(8 + 4 * param_count(settings.circuit), kMaxAutoStarts);
}

}  // namespace

StartPoints multi_start_points(const FitSettings& settings, std::uint64_t extra,
                               const std::vector<bool>& held) {
  const std::vector<double> given = param_values(settings.circuit);
  const std::vector<Bounds> bounds = param_bounds(settings.circuit);
  StartPoints out{{given}, {!settings.starts->placeholder_start}};
  auto& points = out.points;
  if (extra == 0) return out;
  auto estimated = estimate_values(settings.circuit, settings.frequencies, settings.impedances);
  std::vector<double> centre = given;
  if (auto* values = std::get_if<std::vector<double>>(&estimated)) centre = std::move(*values);
  for (std::size_t j = 0; j < centre.size(); ++j) {
    if (held[j]) centre[j] = given[j];
  }
  std::uint64_t design = extra;
  if (centre != given) {
    points.push_back(centre);
    out.full_fit.push_back(true);
    --design;
  }
  // Latin hypercube: each coordinate takes every one of `design` strata
  // once, in an order shuffled per coordinate, at a uniform point inside it.
  ChaChaRng rng = ChaChaRng::from_seed(settings.seed.value_or(kDefaultDesignSeed));
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

FitResultOr multi_start_fit(const FitSettings& settings) {
  const std::vector<bool> held = held_parameters(settings);
  const auto [points, full_fit] = multi_start_points(settings, start_count(settings), held);
  const bool automatic = settings.starts->automatic;

  std::vector<FitResultOr> results(points.size(), FitError::solver("start not run"));
  std::size_t best = points.size();
  std::size_t done = 0;
  while (done < points.size()) {
    const std::size_t batch = std::min(kStartBatch, points.size() - done);
    parallel_for(batch, 1, [&](std::size_t k) {
      FitSettings one = settings;
      one.starts.reset();
      // A guess or values the user gave, and the estimate, get the full
      // nine-candidate fit, so the search never does worse than a plain fit
      // from either.
      one.single_candidate = !full_fit[done + k];
      one.circuit = rebuild(settings.circuit, points[done + k]);
      results[done + k] = run_fit(one);
    });
    done += batch;
    // A successful start beats a failed one (a runaway among them), then
    // the lower cost wins.
    for (std::size_t i = 0; i < done; ++i) {
      const auto* outcome = std::get_if<FitOutcome>(&results[i]);
      if (!outcome || !std::isfinite(outcome->cost)) continue;
      const FitOutcome* kept =
          best == points.size() ? nullptr : &std::get<FitOutcome>(results[best]);
      if (!kept || (outcome->success && !kept->success) ||
          (outcome->success == kept->success && outcome->cost < kept->cost)) {
        best = i;
      }
    }
    if (!automatic || best == points.size()) continue;
    const FitOutcome& kept = std::get<FitOutcome>(results[best]);
    std::size_t agreeing = 0;
    for (std::size_t i = 0; i < done; ++i) {
      const auto* outcome = std::get_if<FitOutcome>(&results[i]);
      agreeing += outcome && outcome->success == kept.success &&
                  outcome->cost <= kept.cost * (1.0 + kAgreeTolerance);
    }
    if (agreeing >= kAgreeingStarts) break;
  }
  // Nothing finite: the given start's own result (or its error) stands.
  if (best == points.size()) return results[0];
  std::uint64_t iterations = 0, evaluations = 0;
  for (std::size_t i = 0; i < done; ++i) {
    if (const auto* outcome = std::get_if<FitOutcome>(&results[i])) {
      iterations += outcome->iterations;
      evaluations += outcome->impedance_evals;
    }
  }
  FitOutcome& chosen = std::get<FitOutcome>(results[best]);
  chosen.iterations = iterations;
  chosen.impedance_evals = evaluations;
  return std::move(results[best]);
}

}  // namespace korvex
