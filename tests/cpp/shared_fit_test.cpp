#include <gtest/gtest.h>

#include <cmath>
#include <variant>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/driver.hpp"
#include "fit/shared_fit.hpp"

namespace korvex {
namespace {

const SeriesList kCircuit = std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2,CPE2)"));

// Seven spectra sharing both exponents, the resistances drifting, with a
// deterministic ripple as noise; starts from per-spectrum fits.
std::vector<SharedSpectrum> temperature_series() {
  std::vector<SharedSpectrum> out;
  for (int k = 0; k < 7; ++k) {
    const double d = 1.0 + 0.15 * k;
    const std::vector<double> truth{0.02 * d, 0.05 * d, 1e-3, 0.8, 0.1 * d, 0.5, 0.85};
    const SeriesList at = rebuild(kCircuit, std::span<const double>(truth));
    FitSettings single;
    single.circuit = kCircuit;
    for (int i = 0; i < 50; ++i) {
      const double f = std::pow(10.0, -2.0 + 7.0 * i / 49.0);
      const Complex z = impedance(at, kTwoPi * f);
      const double ripple = 1.0 + 0.003 * std::sin(1.7 * i + k);
      single.frequencies.push_back(f);
      single.impedances.push_back({z.re * ripple, z.im * ripple});
    }
    SharedSpectrum s;
    for (double f : single.frequencies) s.omegas.push_back(kTwoPi * f);
    s.impedances = single.impedances;
    s.weights = compute_weights(s.impedances, Weighting::Modulus);
    single.circuit = rebuild(kCircuit, std::vector<double>{0.01, 0.1, 1e-2, 0.7, 0.2, 1.0, 0.7});
    s.start = std::get<FitOutcome>(run_fit(single)).params;
    out.push_back(std::move(s));
  }
  return out;
}

TEST(SharedFit, OneValueForTheSharedParametersAndNoWorseThanSeparateFits) {
  const auto spectra = temperature_series();
  SharedFitSettings settings;
  settings.shared = {false, false, false, true, false, false, true};
  const SharedFitOutcome joint = shared_fit(kCircuit, spectra, settings);
  ASSERT_TRUE(joint.success);
  ASSERT_TRUE(joint.stderr_.has_value());
  double separate = 0.0;
  for (std::size_t k = 0; k < spectra.size(); ++k) {
    EXPECT_EQ(joint.params[k][3], joint.params[0][3]);
    EXPECT_EQ(joint.params[k][6], joint.params[0][6]);
    EXPECT_GT((*joint.stderr_)[k][3], 0.0);
    // The same spectrum fitted alone with the shared values held.
    FitSettings single;
    single.circuit = rebuild(kCircuit, joint.params[k]);
    single.held = {false, false, false, true, false, false, true};
    for (double w : spectra[k].omegas) single.frequencies.push_back(w / kTwoPi);
    single.impedances = spectra[k].impedances;
    separate += std::get<FitOutcome>(run_fit(single)).chi_square;
  }
  EXPECT_NEAR(joint.params[0][3], 0.8, 0.01);
  EXPECT_NEAR(joint.params[0][6], 0.85, 0.01);
  EXPECT_LE(joint.total_chi_square, separate * (1 + 1e-6));
}

TEST(SharedFit, HonoursBoundsAndGivesNaNOnlyToAParameterOnABound) {
  const auto spectra = temperature_series();
  SharedFitSettings settings;
  settings.shared = {false, false, false, true, false, false, true};
  settings.bounds = param_bounds(kCircuit);
  settings.bounds[6] = {0.5, 0.84};  // the shared CPE2.alpha, fitted alone at 0.85
  const SharedFitOutcome joint = shared_fit(kCircuit, spectra, settings);
  ASSERT_TRUE(joint.success);
  ASSERT_TRUE(joint.stderr_.has_value());
  for (std::size_t k = 0; k < spectra.size(); ++k) {
    EXPECT_EQ(joint.params[k][6], 0.84);
    EXPECT_TRUE(std::isnan((*joint.stderr_)[k][6]));
    for (std::size_t j = 0; j < 6; ++j) {
      EXPECT_TRUE(std::isfinite((*joint.stderr_)[k][j]) && (*joint.stderr_)[k][j] > 0.0);
    }
  }
}

}  // namespace
}  // namespace korvex
