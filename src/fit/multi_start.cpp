#include "fit/multi_start.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/params.hpp"
#include "common/pool.hpp"
#include "common/units.hpp"
#include "fit/arc_order.hpp"
#include "fit/search_run.hpp"
#include "starts/slot_exchange.hpp"

namespace korvex {
namespace {

// Parameters that no start may move: the fit's constants.
std::vector<bool> held_parameters(const FitSettings& settings) {
  std::vector<bool> held = settings.held;
  held.resize(param_count(settings.circuit), false);
  return held;
}

// The better minimum (search_run.hpp) of two outcomes; an outcome beats an error.
bool better_outcome(const FitResultOr& a, const FitResultOr& b) {
  const auto* x = std::get_if<FitOutcome>(&a);
  if (!x) return false;
  const auto* y = std::get_if<FitOutcome>(&b);
  if (!y) return std::isfinite(x->cost);
  return better_minimum(x->success, x->cost, y->success, y->cost);
}

// Whether kAgreeingStarts runs succeeded within kAgreeTolerance (relative)
// of the best successful cost, at most one of them counted from a reading of
// the estimate (`reading` per run): the search found the same minimum from
// independent starts, and further starts are unlikely to find a lower one.
// Readings of one estimate agree too easily on their own. Every run at that
// cost counts, whatever order ties among them sort in.
bool agreed(std::span<const SearchRun> runs, const std::vector<bool>& reading) {
  double best = std::numeric_limits<double>::infinity();
  for (const SearchRun& run : runs) {
    if (run.success && run.cost < best) best = run.cost;
  }
  if (!std::isfinite(best)) return false;
  std::size_t independent = 0;
  bool any_reading = false;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (!runs[i].success || !(runs[i].cost <= best * (1.0 + kAgreeTolerance))) continue;
    if (reading[i]) {
      any_reading = true;
    } else {
      ++independent;
    }
  }
  return independent + (any_reading ? 1 : 0) >= kAgreeingStarts;
}

// The order in which the search runs its starts (indices into
// `start.points`, without the full fits), and per run whether it is a
// reading of the estimate. Catalogue placeholders rarely lie near the
// data's minimum: the estimate and the design run before them, the readings
// of the estimate taking turns with the design so that every batch holds
// independent starts.
std::pair<std::vector<std::size_t>, std::vector<bool>> search_order(const StartPoints& start,
                                                                    bool placeholder_start) {
  const auto is_reading = [&](std::size_t i) { return i >= 1 && i <= start.readings; };
  std::vector<std::size_t> readings, others;
  for (std::size_t i = 0; i < start.points.size(); ++i) {
    if (start.full_fit[i] || (i == 0 && placeholder_start)) continue;
    (is_reading(i) ? readings : others).push_back(i);
  }
  if (placeholder_start && !start.full_fit[0]) others.push_back(0);
  std::vector<std::size_t> order;
  for (std::size_t r = 0, d = 0; r < readings.size() || d < others.size();) {
    if (r < readings.size()) order.push_back(readings[r++]);
    if (d < others.size()) order.push_back(others[d++]);
  }
  std::vector<bool> reading(order.size());
  for (std::size_t k = 0; k < order.size(); ++k) reading[k] = is_reading(order[k]);
  return {std::move(order), std::move(reading)};
}

}  // namespace

FitResultOr multi_start_fit(const FitSettings& settings) {
  const std::vector<bool> held = held_parameters(settings);
  const std::uint64_t extra = extra_start_count(*settings.starts, param_count(settings.circuit));
  const StartPoints start_points =
      multi_start_points(settings.circuit, settings.frequencies, settings.impedances,
                         *settings.starts, settings.seed, extra, held);
  const auto& points = start_points.points;
  const auto& full_fit = start_points.full_fit;
  const bool automatic = settings.starts->automatic;

  // A guess or values the user gave get the full nine-candidate fit of the
  // caller's engine, so that the search never does worse than a plain fit
  // from them; every other start is one run of the search.
  std::vector<std::size_t> full;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (full_fit[i]) full.push_back(i);
  }
  const auto [searched, reading] = search_order(start_points, settings.starts->placeholder_start);
  FitSettings one = settings;
  one.starts.reset();
  std::vector<FitResultOr> full_results(full.size(), FitError::solver("start not run"));
  const SearchProblem problem(settings, held);
  std::vector<SearchRun> runs(searched.size());

  // Batches of a fixed size keep the result independent of the number of
  // threads; the full fits share the first batch's tasks.
  std::size_t done = 0;
  bool first = true;
  while (first || done < searched.size()) {
    const std::size_t batch = std::min(kStartBatch, searched.size() - done);
    const std::size_t extra_tasks = first ? full.size() : 0;
    parallel_for(batch + extra_tasks, 1, [&](std::size_t k) {
      if (k < extra_tasks) {
        FitSettings own = one;
        own.circuit = rebuild(settings.circuit, points[full[k]]);
        full_results[k] = run_fit(own);
        return;
      }
      const std::size_t i = done + k - extra_tasks;
      runs[i] = problem.run(points[searched[i]], reading[i]);
    });
    done += batch;
    first = false;
    if (automatic && agreed(std::span<const SearchRun>(runs).first(done), reading)) break;
  }

  runs.resize(done);
  const auto best_run = [&] {
    std::size_t best = runs.size();
    for (std::size_t i = 0; i < runs.size(); ++i) {
      if (best == runs.size() || better_run(runs[i], runs[best])) best = i;
    }
    return best;
  };
  std::size_t winner = best_run();
  // The arcs of the search's winner and of the full fits in the other
  // orders over slots of different shapes: minima a local run cannot cross
  // between.
  std::vector<std::vector<double>> moved;
  const auto exchange = [&](const std::vector<double>& values) {
    for (auto& v : exchanged_slots(settings.circuit, values, kStartBatch)) {
      if (moved.size() < kStartBatch) moved.push_back(std::move(v));
    }
  };
  if (winner < runs.size() && std::isfinite(runs[winner].cost)) exchange(runs[winner].params);
  for (const FitResultOr& result : full_results) {
    const auto* outcome = std::get_if<FitOutcome>(&result);
    if (outcome && std::isfinite(outcome->cost)) exchange(outcome->params);
  }
  if (!moved.empty()) {
    runs.resize(done + moved.size());
    parallel_for(moved.size(), 1,
                 [&](std::size_t k) { runs[done + k] = problem.run(moved[k], false); });
    done = runs.size();
    winner = best_run();
  }
  std::uint64_t iterations = 0;
  for (const SearchRun& run : runs) iterations += run.evaluations;
  // The winner of the search is polished by the caller's engine on every
  // point, from its values only; with no finite run, the given start is.
  FitSettings polish = one;
  polish.single_candidate = true;
  const bool found = winner < done && std::isfinite(runs[winner].cost);
  if (found && start_points.readings > 0) {
    // Interchangeable arcs in the estimate's order, fastest first, whichever
    // start found them.
    std::vector<double>& values = runs[winner].params;
    const auto order = arc_order_like(rebuild(settings.circuit, values),
                                      rebuild(settings.circuit, points[1]), held);
    std::vector<double> ordered(order.size());
    for (std::size_t j = 0; j < order.size(); ++j) ordered[j] = values[order[j]];
    values = std::move(ordered);
  }
  if (found || full.empty()) {
    polish.circuit = rebuild(settings.circuit, found ? runs[winner].params : points[0]);
    full_results.push_back(run_fit(polish));
    // A polish that fails where the search converged (it ran off along a
    // flat valley, say) does not replace the converged values it started
    // from: they are summarised on every point as they are.
    const auto* polished = std::get_if<FitOutcome>(&full_results.back());
    if (found && runs[winner].success && polished && !polished->success) {
      const ParameterMap map(polish.circuit, held);
      EvalCounter counter;
      full_results.push_back(build_outcome(
          polish.circuit, map, map.free_of(runs[winner].params), runs[winner].termination, 0,
          angular_frequencies(settings.frequencies), settings.impedances,
          compute_weights(settings.impedances, settings.weighting), counter));
    }
  }
  std::uint64_t evaluations = problem.evaluations();
  std::size_t best = 0;
  for (std::size_t i = 0; i < full_results.size(); ++i) {
    if (const auto* outcome = std::get_if<FitOutcome>(&full_results[i])) {
      iterations += outcome->iterations;
      evaluations += outcome->impedance_evals;
    }
    if (better_outcome(full_results[i], full_results[best])) best = i;
  }
  // Nothing finite: the given start's own result (or its error) stands.
  if (auto* outcome = std::get_if<FitOutcome>(&full_results[best])) {
    outcome->iterations = iterations;
    outcome->impedance_evals = evaluations;
  }
  return std::move(full_results[best]);
}

}  // namespace korvex
