#include "fit/batch.hpp"

#include <algorithm>

#include "common/cancel.hpp"
#include "common/pool.hpp"
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
      const SeriesList* previous = nullptr;
      for (std::size_t i : units[u]) {
        if (control.cancelled.load(std::memory_order_relaxed)) return;
        std::optional<BatchEntry> fitted;
        try {
          fitted = fit_one(spectra[i], previous ? StartOr(*previous) : start(i), base);
        } catch (const Cancelled&) {
          return;
        }
        const auto* outcome = std::get_if<FitOutcome>(&*fitted);
        const bool succeeded = outcome && outcome->success;
        if (!outcome && settings.stop_on_error) control.cancelled.store(true);
        entries[i] = std::move(fitted);
        previous = succeeded ? &std::get<FitOutcome>(*entries[i]).circuit : nullptr;
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
