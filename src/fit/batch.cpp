#include "fit/batch.hpp"

#include <algorithm>
#include <cmath>

#include "common/cancel.hpp"
#include "common/pool.hpp"
#include "common/units.hpp"
#include "fit/arc_order.hpp"
#include "fit/multi_start.hpp"
#include "fit/outcome_checks.hpp"
#include "fit/residuals.hpp"

namespace korvex {
namespace {

BatchEntry fit_one(const BatchSpectrum& spectrum, StartOr start, const FitSettings& base) {
  if (spectrum.error) return *spectrum.error;
  if (auto* message = std::get_if<std::string>(&start)) return std::move(*message);
  FitSettings settings = base;
  settings.circuit = std::move(std::get<SeriesList>(start));
  settings.frequencies = spectrum.frequencies;
  settings.impedances = spectrum.impedances;
  FitResultOr result = run_fit(settings);
  if (auto* error = std::get_if<FitError>(&result)) return error->message();
  return std::move(std::get<FitOutcome>(result));
}

// Chi-square per point: comparable between spectra of different lengths.
double chi_square_per_point(const FitOutcome& outcome) {
  const std::size_t points = std::max<std::size_t>(outcome.residuals.size() / 2, 1);
  return outcome.chi_square / static_cast<double>(points);
}

// The outcome with its interchangeable arcs in the order of `reference`'s
// (the same value of every other parameter, the same cost).
void order_arcs_like(FitOutcome& outcome, const SeriesList& reference,
                     const BatchSpectrum& spectrum, const FitSettings& settings) {
  const auto order = arc_order_like(outcome.circuit, reference, settings.held);
  if (std::is_sorted(order.begin(), order.end())) return;
  std::vector<double> values(order.size());
  for (std::size_t j = 0; j < order.size(); ++j) values[j] = outcome.params[order[j]];
  const SeriesList circuit = rebuild(outcome.circuit, values);
  const ParameterMap map(circuit, settings.held);
  EvalCounter counter;
  counter.add(outcome.impedance_evals);
  FitOutcome reordered =
      build_outcome(circuit, map, map.free_of(values), outcome.termination, outcome.iterations,
                    angular_frequencies(spectrum.frequencies), spectrum.impedances,
                    compute_weights(spectrum.impedances, settings.weighting), counter);
  reordered.initial = std::move(outcome.initial);
  outcome = std::move(reordered);
}

// Whether the fit's residuals look like noise (outcome_checks.hpp): no
// other minimum can then be much lower.
bool at_noise_level(const FitOutcome& outcome, const BatchSpectrum& spectrum) {
  const auto omegas = angular_frequencies(spectrum.frequencies);
  return !(residual_autocorrelation(omegas, outcome.residuals) >
           whiteness_limit(outcome.residuals.size() / 2));
}

// The circuit at the data-driven estimate of the spectrum (held parameters
// keep `circuit`'s values); none where the estimate equals those values.
std::optional<SeriesList> estimated_start(const SeriesList& circuit, const BatchSpectrum& spectrum,
                                          std::vector<bool> held) {
  held.resize(param_count(circuit), false);
  const StartPoints points = multi_start_points(circuit, spectrum.frequencies, spectrum.impedances,
                                                StartCount{.count = 1}, std::nullopt, 1, held);
  if (points.points.size() < 2) return std::nullopt;
  return rebuild(circuit, points.points[1]);
}

// Whether `candidate` replaces `kept`: a success beats a failure, and between
// two successes (or two failures) the candidate must cost clearly less, so
// that on a near tie the fit that follows the previous spectrum stays.
bool replaces(const FitOutcome& candidate, const FitOutcome& kept) {
  if (candidate.success != kept.success) return candidate.success;
  return candidate.cost < (1.0 - kChainTolerance) * kept.cost;
}

// Whether a parameter moved further than a slow drift takes it in one step:
// by more than kChainJumpDecades for an open-bound one, by more than
// kChainJumpShare of the range for a bounded one (an exponent).
bool jumped(const FitOutcome& fitted, const FitOutcome& previous) {
  const auto bounds = param_bounds(fitted.circuit);
  for (std::size_t j = 0; j < fitted.params.size() && j < previous.params.size(); ++j) {
    const auto [lo, hi] = bounds[j];
    const double now = fitted.params[j], before = previous.params[j];
    const bool far = std::isfinite(hi)
                         ? std::fabs(now - before) > kChainJumpShare * (hi - lo)
                         : std::fabs(std::log10((now - lo) / (before - lo))) > kChainJumpDecades;
    if (far) return true;
  }
  return false;
}

// Whether the local fit from the previous result may have lost the track:
// it failed (a runaway included), its chi-square per point rose more than
// kChainRise-fold over the previous step's or over the last searched step's,
// or a parameter jumped.
bool doubtful(const FitOutcome& chained, const FitOutcome& previous, double searched_level) {
  const double level = chi_square_per_point(chained);
  return !chained.success || level > kChainRise * chi_square_per_point(previous) ||
         level > kChainRise * searched_level || jumped(chained, previous);
}

// Where a chain stands: the last fit that succeeded, the chi-square per
// point of the last fit that a search from a fresh start confirmed (or the
// chain's head), and the steps since then.
struct ChainTrack {
  const FitOutcome* previous = nullptr;
  double searched_level = 0.0;
  std::size_t unsearched_steps = 0;
};

struct ChainStep {
  BatchEntry entry;
  bool searched = false;  // a search from a fresh start ran
};

// One step of a chain after track.previous: the rule beside kChainRise.
ChainStep chain_step(const BatchSpectrum& spectrum, std::size_t i, const ChainTrack& track,
                     const std::function<StartOr(std::size_t)>& start, const FitSettings& base) {
  const FitOutcome& previous = *track.previous;
  if (base.method != "levenberg_marquardt") {
    BatchEntry entry = fit_one(spectrum, previous.circuit, base);
    if (auto* outcome = std::get_if<FitOutcome>(&entry)) {
      order_arcs_like(*outcome, previous.circuit, spectrum, base);
    }
    return {std::move(entry), false};
  }
  FitSettings local = base;
  local.starts.reset();
  BatchEntry entry = fit_one(spectrum, previous.circuit, local);
  auto* kept = std::get_if<FitOutcome>(&entry);
  if (!kept) return {std::move(entry), false};
  order_arcs_like(*kept, previous.circuit, spectrum, base);
  const bool lost = doubtful(*kept, previous, track.searched_level);
  if (!lost && at_noise_level(*kept, spectrum)) return {std::move(entry), false};

  std::uint64_t iterations = kept->iterations, evaluations = kept->impedance_evals;
  // Keeps `other` in place of the kept fit where it is clearly better.
  auto offer = [&](BatchEntry other) {
    auto* candidate = std::get_if<FitOutcome>(&other);
    if (!candidate) return;
    iterations += candidate->iterations;
    evaluations += candidate->impedance_evals;
    order_arcs_like(*candidate, previous.circuit, spectrum, base);
    if (!replaces(*candidate, *kept)) return;
    entry = std::move(other);
    kept = std::get_if<FitOutcome>(&entry);
  };
  // Above the noise the fit may sit in a poorer minimum than the data allow:
  // a search checks it every kChainRecheckSteps steps, and in between a local
  // fit from this spectrum's own estimate, one of clearly lower cost (even a
  // failed one, such as a runaway) meaning that lower minima lie off the
  // chained track.
  bool search = lost || track.unsearched_steps + 1 >= kChainRecheckSteps;
  if (const auto estimate =
          search ? std::nullopt : estimated_start(previous.circuit, spectrum, base.held)) {
    BatchEntry fresh_local = fit_one(spectrum, *estimate, local);
    const auto* candidate = std::get_if<FitOutcome>(&fresh_local);
    search = candidate && candidate->cost < (1.0 - kChainTolerance) * kept->cost;
    offer(std::move(fresh_local));
  }
  if (search) {
    FitSettings fresh = base;
    if (!fresh.starts) fresh.starts = StartCount{.automatic = true};
    offer(fit_one(spectrum, start(i), fresh));
  }
  kept->iterations = iterations;
  kept->impedance_evals = evaluations;
  return {std::move(entry), search};
}

}  // namespace

std::vector<std::optional<BatchEntry>> run_batch(const std::vector<BatchSpectrum>& spectra,
                                                 const BatchSettings& settings,
                                                 const std::function<StartOr(std::size_t)>& start,
                                                 BatchControl& control) {
  std::vector<std::optional<BatchEntry>> entries(spectra.size());
  std::vector<std::vector<std::size_t>> units = settings.chains;
  if (units.empty()) {
    units.resize(spectra.size());
    for (std::size_t i = 0; i < spectra.size(); ++i) units[i] = {i};
  }
  // Longest chains first, so that a long chain does not start last and
  // leave the other threads idle at the end.
  std::stable_sort(units.begin(), units.end(),
                   [](const auto& a, const auto& b) { return a.size() > b.size(); });

  // A fit running when the batch is cancelled stops at its next evaluation
  // and leaves its entry empty, like the fits that never started.
  FitSettings base = settings.fit;
  base.cancel = &control.cancelled;
  std::atomic<std::size_t> next_unit{0};
  auto worker = [&](std::size_t) {
    // One fit per task: the fit's own Jacobian stays on this thread.
    const SerialJacobianScope serial;
    for (std::size_t u = next_unit++; u < units.size(); u = next_unit++) {
      ChainTrack track;
      for (std::size_t i : units[u]) {
        if (control.cancelled.load(std::memory_order_relaxed)) return;
        ChainStep step;
        try {
          step = track.previous ? chain_step(spectra[i], i, track, start, base)
                                : ChainStep{fit_one(spectra[i], start(i), base), true};
        } catch (const Cancelled&) {
          return;
        }
        const auto* outcome = std::get_if<FitOutcome>(&step.entry);
        const bool succeeded = outcome && outcome->success;
        if (!outcome && settings.stop_on_error) control.cancelled.store(true);
        entries[i] = std::move(step.entry);
        track.previous = succeeded ? &std::get<FitOutcome>(*entries[i]) : nullptr;
        if (succeeded && step.searched) {
          track.searched_level = chi_square_per_point(*track.previous);
          track.unsearched_steps = 0;
        } else {
          ++track.unsearched_steps;
        }
        control.done.fetch_add(1, std::memory_order_relaxed);
      }
    }
  };
  const std::size_t cap = settings.threads == 0 ? pool_concurrency() : settings.threads;
  const std::size_t workers = std::min({cap, pool_concurrency(), units.size()});
  parallel_for(workers, 1, worker);
  return entries;
}

}  // namespace korvex
