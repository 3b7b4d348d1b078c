#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/arc_order.hpp"
#include "fit/batch.hpp"

namespace korvex {
namespace {

const SeriesList kCircuit = std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2,C2)"));

// The circuit at `values` on 40 log-spaced frequencies, with a small
// deterministic ripple standing in for noise.
BatchSpectrum spectrum_at(const std::vector<double>& values) {
  const SeriesList truth = rebuild(kCircuit, std::span<const double>(values));
  BatchSpectrum s;
  for (int i = 0; i < 40; ++i) {
    const double f = std::pow(10.0, -1.0 + 6.0 * i / 39.0);
    const Complex z = impedance(truth, kTwoPi * f);
    const double ripple = 1.0 + 0.002 * std::sin(3.0 * i);
    s.frequencies.push_back(f);
    s.impedances.push_back({z.re * ripple, z.im * ripple});
  }
  return s;
}

std::vector<BatchSpectrum> drifting_series(std::size_t n) {
  std::vector<BatchSpectrum> out;
  for (std::size_t k = 0; k < n; ++k) {
    const double d = 1.0 + 0.03 * static_cast<double>(k);
    out.push_back(spectrum_at({0.5 * d, 2.0 * d, 1e-4, 0.85, 8.0 * d, 1e-2}));
  }
  return out;
}

StartOr own_values(std::size_t) {
  return StartOr(rebuild(kCircuit, std::vector<double>{1, 1, 1e-3, 0.8, 1, 1e-3}));
}

const FitOutcome& outcome(const std::optional<BatchEntry>& entry) {
  return std::get<FitOutcome>(*entry);
}

TEST(Batch, ExactEngineEqualsALoopOfSingleFits) {
  const auto spectra = drifting_series(12);
  BatchSettings settings;
  settings.threads = 2;
  BatchControl control;
  const auto entries = run_batch(spectra, settings, own_values, control);
  EXPECT_EQ(control.done.load(), spectra.size());
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    FitSettings single = settings.fit;
    single.circuit = std::get<SeriesList>(own_values(i));
    single.frequencies = spectra[i].frequencies;
    single.impedances = spectra[i].impedances;
    const FitOutcome expected = std::get<FitOutcome>(run_fit(single));
    EXPECT_EQ(outcome(entries[i]).params, expected.params) << i;
    EXPECT_EQ(outcome(entries[i]).impedance_evals, expected.impedance_evals) << i;
  }
}

TEST(Batch, FastEngineReachesTheSameMinimumWithFewerEvaluations) {
  const auto spectra = drifting_series(6);
  BatchSettings exact, fast;
  fast.fit.fast_engine = true;
  BatchControl c1, c2;
  const auto a = run_batch(spectra, exact, own_values, c1);
  const auto b = run_batch(spectra, fast, own_values, c2);
  std::uint64_t evals_exact = 0, evals_fast = 0;
  for (std::size_t i = 0; i < spectra.size(); ++i) {
    ASSERT_TRUE(outcome(b[i]).success);
    EXPECT_NEAR(outcome(b[i]).chi_square, outcome(a[i]).chi_square,
                1e-4 * outcome(a[i]).chi_square);
    evals_exact += outcome(a[i]).impedance_evals;
    evals_fast += outcome(b[i]).impedance_evals;
  }
  EXPECT_LT(evals_fast, evals_exact);
}

TEST(Batch, ChainStartsFromThePreviousFitAndGuessesOnlyAtItsHead) {
  const auto spectra = drifting_series(8);
  BatchSettings settings;
  settings.chains = {{0, 1, 2, 3}, {7, 6, 5, 4}};
  std::vector<std::size_t> asked;
  std::mutex mutex;
  BatchControl control;
  const auto entries = run_batch(
      spectra, settings,
      [&](std::size_t i) {
        std::lock_guard<std::mutex> lock(mutex);
        asked.push_back(i);
        return own_values(i);
      },
      control);
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked, (std::vector<std::size_t>{0, 7}));
  for (const auto& entry : entries) EXPECT_TRUE(outcome(entry).success);
}

// A searched head, then local steps: the spectra sit at the noise level, so
// nothing makes a step search again.
TEST(Batch, ChainStepsAfterTheHeadStayLocal) {
  const auto spectra = drifting_series(6);
  BatchSettings settings;
  settings.fit.starts = StartCount{.automatic = true};
  settings.chains = {{0, 1, 2, 3, 4, 5}};
  BatchControl control;
  const auto entries = run_batch(spectra, settings, own_values, control);
  const std::uint64_t head = outcome(entries[0]).impedance_evals;
  for (std::size_t i = 1; i < spectra.size(); ++i) {
    EXPECT_TRUE(outcome(entries[i]).success) << i;
    EXPECT_LT(4 * outcome(entries[i]).impedance_evals, head) << i;
  }
}

TEST(ArcOrder, InterchangeableGroupsFollowTheReference) {
  const SeriesList two = std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2,CPE2)-CPE3"));
  const std::vector<double> fast_first{1, 2, 1e-4, 0.9, 5, 1e-1, 0.8, 1, 0.5};
  const std::vector<double> slow_first{1, 5, 1e-1, 0.8, 2, 1e-4, 0.9, 1, 0.5};
  const SeriesList reference = rebuild(two, fast_first);
  const std::vector<std::size_t> swap{0, 4, 5, 6, 1, 2, 3, 7, 8};
  EXPECT_EQ(arc_order_like(rebuild(two, slow_first), reference, {}), swap);
  EXPECT_TRUE(std::ranges::is_sorted(arc_order_like(reference, reference, {})));
  // A held parameter pins its group; groups of different shapes never swap.
  EXPECT_TRUE(
      std::ranges::is_sorted(arc_order_like(rebuild(two, slow_first), reference, {false, true})));
  const SeriesList mixed = std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2,C2)"));
  EXPECT_TRUE(std::ranges::is_sorted(
      arc_order_like(rebuild(mixed, std::vector<double>{1, 5, 1e-1, 0.8, 2, 1e-4}),
                     rebuild(mixed, std::vector<double>{1, 2, 1e-4, 0.9, 5, 1e-1}), {})));
  // 1 / omega at the peak of -Im Z: (R Q)^(1 / alpha) for an RQ arc.
  EXPECT_NEAR(arc_time_constant(reference[2]), std::pow(5 * 1e-1, 1 / 0.8), 1e-3);
}

TEST(Batch, ErrorsAreRecordedOrStopTheBatch) {
  auto spectra = drifting_series(6);
  spectra[1].impedances.pop_back();
  spectra[3].error = "impedances must be finite";
  BatchSettings settings;
  BatchControl control;
  const auto entries = run_batch(spectra, settings, own_values, control);
  EXPECT_EQ(std::get<std::string>(*entries[1]),
            "frequencies and impedances must have the same length");
  EXPECT_EQ(std::get<std::string>(*entries[3]), "impedances must be finite");
  EXPECT_TRUE(std::holds_alternative<FitOutcome>(*entries[5]));

  settings.threads = 1;
  settings.stop_on_error = true;
  BatchControl stopping;
  const auto stopped = run_batch(spectra, settings, own_values, stopping);
  EXPECT_TRUE(std::holds_alternative<std::string>(*stopped[1]));
  EXPECT_FALSE(stopped[2].has_value());

  BatchControl cancelled;
  cancelled.cancelled = true;
  for (const auto& entry : run_batch(spectra, settings, own_values, cancelled)) {
    EXPECT_FALSE(entry.has_value());
  }
}

}  // namespace
}  // namespace korvex
