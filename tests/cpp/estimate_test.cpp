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

TEST(Estimate, RefusesNonFiniteData) {
  FitSettings s = settings_for("R0-p(R1,C1)", {2, 10, 1e-4});
  s.impedances[2].im = NAN;
  EXPECT_TRUE(std::holds_alternative<EstimateError>(
      estimate_values(s.circuit, s.frequencies, s.impedances)));
}

}  // namespace
}  // namespace korvex
