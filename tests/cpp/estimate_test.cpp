#include <gtest/gtest.h>

#include <cmath>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/settings.hpp"
#include "starts/estimate.hpp"
#include "starts/start_points.hpp"

namespace korvex {
namespace {

FitSettings settings_for(const char* text, std::vector<double> values) {
  FitSettings s;
  const SeriesList circuit = std::get<SeriesList>(parse(text));
  s.circuit = rebuild(circuit, values);
  for (int i = 0; i < 40; ++i) s.frequencies.push_back(std::pow(10.0, 5.0 - 0.17 * i));
  for (double f : s.frequencies) s.impedances.push_back(impedance(s.circuit, f * kTwoPi));
  return s;
}

StartPoints points_of(const FitSettings& s, std::uint64_t extra, const std::vector<bool>& held) {
  return multi_start_points(s.circuit, s.frequencies, s.impedances, *s.starts, s.seed, extra, held);
}

TEST(MultiStart, GivenStartFirstThenEstimateThenDesignInsideBounds) {
  FitSettings s = settings_for("R0-p(R1,CPE1)-p(R2,CPE2)", {1, 1, 1, 0.5, 1, 1, 0.5});
  s.starts = StartCount{10, false};
  const std::vector<bool> held(7, false);
  const StartPoints starts = points_of(s, 10, held);
  ASSERT_EQ(starts.points.size(), 11u);
  EXPECT_EQ(starts.points[0], param_values(s.circuit));
  EXPECT_EQ(starts.full_fit, std::vector<bool>({true, false, false, false, false, false, false,
                                                false, false, false, false}));
  EXPECT_EQ(starts.points[1],
            std::get<std::vector<double>>(estimate_values(s.circuit, s.frequencies, s.impedances)));
  const auto bounds = param_bounds(s.circuit);
  for (const auto& p : starts.points) {
    for (std::size_t j = 0; j < p.size(); ++j) {
      EXPECT_TRUE(std::isfinite(p[j]) && p[j] >= bounds[j].first && p[j] <= bounds[j].second);
    }
  }
}

TEST(MultiStart, HeldParametersKeepTheirValueAndSeedsReproduce) {
  FitSettings s = settings_for("R0-p(R1,C1)", {2, 10, 1e-4});
  s.starts = StartCount{6, false};
  const std::vector<bool> held{true, false, false};
  s.seed = 3;
  const StartPoints a = points_of(s, 6, held);
  for (const auto& p : a.points) EXPECT_EQ(p[0], 2.0);
  EXPECT_EQ(a.points, points_of(s, 6, held).points);
  s.seed = 4;
  EXPECT_NE(a.points, points_of(s, 6, held).points);
}

// Time constant of the arc in the parallel group or K element at parameters
// [first, first + 1]: R C for a group, the K's own tau.
double slot_tau(const std::vector<double>& v, std::size_t first, bool k_element) {
  return k_element ? v[first + 1] : v[first] * v[first + 1];
}

TEST(Estimate, ReadingsStartWithTheEstimateAndMoveArcsOnlyBetweenDifferentSlots) {
  for (const bool k_element : {false, true}) {
    const char* text = k_element ? "R0-p(R1,C1)-K2" : "R0-p(R1,C1)-p(R2,C2)";
    const double slow = 1e-1;  // tau of the slow arc; the fast one has 1e-4
    FitSettings s = settings_for(text, {1, 3, 1e-4 / 3, 30, k_element ? slow : slow / 30});
    const auto readings = std::get<std::vector<std::vector<double>>>(
        estimate_variants(s.circuit, s.frequencies, s.impedances));
    ASSERT_FALSE(readings.empty());
    EXPECT_LE(readings.size(), kMaxEstimateVariants);
    EXPECT_EQ(readings.front(), std::get<std::vector<double>>(
                                    estimate_values(s.circuit, s.frequencies, s.impedances)));
    bool slow_first = false;
    for (std::size_t i = 0; i < readings.size(); ++i) {
      for (std::size_t j = 0; j < i; ++j) EXPECT_NE(readings[i], readings[j]);
      slow_first |= slot_tau(readings[i], 1, false) > slot_tau(readings[i], 3, k_element);
    }
    // Two groups of one shape keep their arcs fastest first; a group and a K
    // element are tried both ways.
    EXPECT_EQ(slow_first, k_element) << text;
  }
}

TEST(Estimate, RefusesNonFiniteData) {
  FitSettings s = settings_for("R0-p(R1,C1)", {2, 10, 1e-4});
  s.impedances[2].im = NAN;
  EXPECT_TRUE(std::holds_alternative<EstimateError>(
      estimate_values(s.circuit, s.frequencies, s.impedances)));
}

}  // namespace
}  // namespace korvex
