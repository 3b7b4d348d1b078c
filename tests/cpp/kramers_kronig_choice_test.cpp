#include "analysis/kramers_kronig_choice.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace korvex::analysis {
namespace {

// log chi-square falling fast up to M = 6, then slowly: the elbow is 6, and
// M stops where the later, slow gains are below the noise per element.
TEST(KKChoice, LowerLimitAtTheElbowThenWhereGainsAreNoise) {
  std::vector<double> log_chi, chi;
  for (int m = 1; m <= 20; ++m) {
    log_chi.push_back(m <= 6 ? -0.5 * m : -3.0 - 0.01 * (m - 6));
    chi.push_back(std::pow(10.0, log_chi.back()));
  }
  EXPECT_EQ(kk_lower_limit(log_chi), 6U);
  EXPECT_EQ(kk_lower_limit(std::vector<double>{1.0, 0.0, -1.0}), 1U);  // too few to bend
  // With 40 residuals each slow gain is below the noise variance; with
  // 200,000 the noise variance is small enough that each counts.
  EXPECT_EQ(kk_residual_choice(chi, 6, 40, 2), 6U);
  EXPECT_EQ(kk_residual_choice(chi, 1, 40, 2), 6U);
  EXPECT_EQ(kk_residual_choice(chi, 6, 200000, 2), 20U);
}

// Scatter that grows tenfold over the upper half of the frequencies shows in
// the local noise there and not in the lower half; a smooth trend shows in neither.
TEST(KKChoice, LocalNoiseFollowsTheScatterNotATrend) {
  std::vector<double> f, re, im;
  for (int i = 0; i < 40; ++i) {
    f.push_back(std::pow(10.0, 0.1 * i));
    const double sign = (i % 2 == 0) ? 1.0 : -1.0;
    const double size = i < 20 ? 1e-4 : 1e-3;
    re.push_back(sign * size + 1e-3 * i);
    im.push_back(-sign * size + 1e-3 * i);
  }
  // Neighbour differences of +-2 size about the trend: sigma = 2 size * 1.4826 / sqrt(2).
  const double sigma = 2e-4 * 1.4826 / std::sqrt(2.0);
  const auto local = kk_local_noise(f, re, im, 5);
  EXPECT_NEAR(local.front(), sigma, 1e-9);
  EXPECT_NEAR(local.back(), 10 * sigma, 1e-8);
  EXPECT_GT(kk_scatter_noise(f, re, im), sigma);
}

}  // namespace
}  // namespace korvex::analysis
