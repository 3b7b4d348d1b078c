#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/drt.hpp"
#include "common/nnls.hpp"

namespace korvex::analysis {
namespace {

TEST(Nnls, ClampsTheNegativeComponentAndSolvesTheRest) {
  // min |A x - b|^2 with A = I: the unconstrained answer is b; x >= 0 zeroes
  // the negative entries only.
  const Eigen::MatrixXd g = Eigen::MatrixXd::Identity(3, 3);
  const Eigen::Vector3d h(2.0, -1.0, 0.5);
  const Eigen::VectorXd x = nnls_normal(g, h);
  EXPECT_DOUBLE_EQ(x[0], 2.0);
  EXPECT_DOUBLE_EQ(x[1], 0.0);
  EXPECT_DOUBLE_EQ(x[2], 0.5);
}

TEST(Nnls, CoupledVariablesMeetTheKktConditions) {
  Eigen::MatrixXd a(4, 3);
  a << 1, 2, 0, 0, 1, 1, 1, 0, 1, 2, 1, 1;
  const Eigen::Vector4d b(1.0, -2.0, 0.5, 1.0);
  const Eigen::MatrixXd g = a.transpose() * a;
  const Eigen::VectorXd h = a.transpose() * b;
  const Eigen::VectorXd x = nnls_normal(g, h);
  const Eigen::VectorXd grad = g * x - h;
  for (int j = 0; j < 3; ++j) {
    EXPECT_GE(x[j], 0.0);
    if (x[j] > 0.0)
      EXPECT_NEAR(grad[j], 0.0, 1e-12);
    else
      EXPECT_GE(grad[j], -1e-12);
  }
}

TEST(DrtPeaks, AreasWidthsAndCentresOfTwoGaussians) {
  // gamma = R / (s sqrt(2 pi)) exp(-(ln tau - ln tau0)^2 / 2 s^2) has area R
  // over ln tau and a full width at half maximum of 2 sqrt(2 ln 2) s.
  std::vector<double> tau, gamma;
  const double s = 0.5;
  for (int k = 0; k <= 800; ++k) {
    const double y = std::log(1e-6) + k * (std::log(1e2) - std::log(1e-6)) / 800;
    auto g = [&](double r, double t0) {
      const double d = (y - std::log(t0)) / s;
      return r / (s * std::sqrt(2 * M_PI)) * std::exp(-0.5 * d * d);
    };
    tau.push_back(std::exp(y));
    gamma.push_back(g(3.0, 1e-4) + g(7.0, 1.0) + 1e-3 * std::sin(40 * y) * (y > 3.0));
  }
  const std::vector<DRTPeak> peaks = drt_peaks(tau, gamma);
  ASSERT_EQ(peaks.size(), 2u);  // the ripple beyond tau = 20 s is not a process
  EXPECT_NEAR(peaks[0].tau, 1e-4, 1e-6);
  EXPECT_NEAR(peaks[1].tau, 1.0, 1e-2);
  EXPECT_NEAR(peaks[0].r, 3.0, 1e-3);
  EXPECT_NEAR(peaks[1].r, 7.0, 1e-2);
  EXPECT_NEAR(peaks[0].width, 2 * std::sqrt(2 * std::log(2.0)) * s / std::log(10.0), 1e-3);
}

// Beyond max_stored_points only the normal equations are kept; the DRT they
// give is the one the design matrix gives, to the digits a noisy fit has.
TEST(Drt, NormalEquationsAloneGiveTheStoredSolution) {
  std::vector<double> f;
  std::vector<Complex> z;
  for (int i = 0; i < 300; ++i) {
    const double freq = std::pow(10.0, -2.0 + 7.0 * i / 299.0), w = 2 * M_PI * freq;
    const double noise = 1.0 + 1e-3 * std::sin(37.0 * i);
    // R0 + two RC arcs: 1 + 2 / (1 + j w 1e-3) + 5 / (1 + j w 0.5)
    const double re = 1.0 + 2.0 / (1.0 + w * w * 1e-6) + 5.0 / (1.0 + w * w * 0.25);
    const double im = -2.0 * w * 1e-3 / (1.0 + w * w * 1e-6) - 5.0 * w * 0.5 / (1.0 + w * w * 0.25);
    f.push_back(freq);
    z.push_back({re * noise, im * noise});
  }
  DRTSettings stored;
  DRTSettings streamed;
  streamed.max_stored_points = 0;
  const auto a = std::get<DRTResult>(drt(f, z, stored));
  const auto b = std::get<DRTResult>(drt(f, z, streamed));
  EXPECT_NEAR(a.lam, b.lam, 1e-6 * a.lam);
  ASSERT_EQ(a.peaks.size(), 2u);
  ASSERT_EQ(b.peaks.size(), 2u);
  for (std::size_t k = 0; k < 2; ++k) EXPECT_NEAR(a.peaks[k].r, b.peaks[k].r, 1e-6);
  EXPECT_NEAR(a.residuals_real[10], b.residuals_real[10], 1e-9);
}

TEST(Drt, RefusesABasisWiderThanItsLimit) {
  const std::vector<double> f{1, 10, 100, 1000, 10000};
  const std::vector<Complex> z(5, Complex{1.0, -1.0});
  DRTSettings wide;
  wide.fwhm = kDRTMaxFwhm * 2;
  const auto result = drt(f, z, wide);
  ASSERT_TRUE(std::holds_alternative<std::string>(result));
  EXPECT_NE(std::get<std::string>(result).find("at most 20"), std::string::npos);
}

}  // namespace
}  // namespace korvex::analysis
