#include "fit/multi_start.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/params.hpp"
#include "common/pool.hpp"

namespace korvex {
namespace {

// Parameters that no start may move: the fit's constants.
std::vector<bool> held_parameters(const FitSettings& settings) {
  std::vector<bool> held = settings.held;
  held.resize(param_count(settings.circuit), false);
  return held;
}

}  // namespace

FitResultOr multi_start_fit(const FitSettings& settings) {
  const std::vector<bool> held = held_parameters(settings);
  const std::uint64_t extra = extra_start_count(*settings.starts, param_count(settings.circuit));
  const auto [points, full_fit] =
      multi_start_points(settings.circuit, settings.frequencies, settings.impedances,
                         *settings.starts, settings.seed, extra, held);
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
