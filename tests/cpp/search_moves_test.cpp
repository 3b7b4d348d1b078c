#include <gtest/gtest.h>

#include <cmath>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/normal_lm.hpp"
#include "fit/residuals.hpp"
#include "starts/slot_exchange.hpp"

namespace korvex {
namespace {

SeriesList circuit_of(const char* text, const std::vector<double>& values) {
  return rebuild(std::get<SeriesList>(parse(text)), values);
}

struct Case {
  const char* text;
  std::vector<double> truth, start;
};

class NormalEquations : public testing::TestWithParam<Case> {};

// From starts a decade or more off, including one whose long first steps
// overflow the elements' formulas (rejected, not fatal), and with one
// parameter held at its start.
TEST_P(NormalEquations, ConvergesAndHoldsWhatItIsToldTo) {
  const Case& c = GetParam();
  const SeriesList truth = circuit_of(c.text, c.truth);
  const SeriesList circuit = circuit_of(c.text, c.start);
  std::vector<double> omegas;
  std::vector<Complex> z;
  for (int i = 0; i < 40; ++i) {
    omegas.push_back(kTwoPi * std::pow(10.0, 5.0 - 0.18 * i));
    z.push_back(impedance(truth, omegas.back()));
  }
  const auto weights = compute_weights(z, Weighting::Modulus);
  const auto bounds = param_bounds(circuit);
  LmSettings settings;
  settings.analytic_jacobian = true;
  for (const bool hold_first : {false, true}) {
    std::vector<bool> fixed(bounds.size(), false);
    fixed[0] = hold_first;
    std::vector<double> start = c.start;
    if (hold_first) start[0] = c.truth[0];
    EvalCounter counter;
    const StartResult r = normal_equations_single_start(
        circuit, omegas, z, weights, bounds, to_internal(start, bounds), fixed, settings, counter);
    EXPECT_TRUE(r.success) << r.info;
    const Spectrum spectrum{circuit, omegas, z, weights};
    EvalCounter other;
    EXPECT_LT(cost(*residuals(spectrum, r.params, other)),
              1e-8 * cost(*residuals(spectrum, start, other)));
    if (hold_first) EXPECT_DOUBLE_EQ(r.params[0], c.truth[0]);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, NormalEquations,
    testing::Values(Case{"R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {3.0, 500.0, 1e-6}},
                    Case{"L0-R0-p(R1,CPE1)-p(R2,CPE2)",
                         {1.7e-7, 0.014, 0.022, 7.1, 0.44, 0.12, 570.0, 0.72},
                         {1e-6, 1.0, 1.0, 1e-3, 0.8, 1.0, 1e-3, 0.8}}));

TEST(NormalEquations, NonFiniteStartIsAFailedRun) {
  const SeriesList circuit = circuit_of("R0-p(R1,C1)", {1.0, 1.0, 1.0});
  const std::vector<double> omegas{1.0, 10.0};
  const std::vector<Complex> z{{std::nan(""), 0.0}, {1.0, 0.0}};
  const auto bounds = param_bounds(circuit);
  const std::vector<double> start{1.0, 1.0, 1.0}, weights{1.0, 1.0};
  EvalCounter counter;
  const StartResult r =
      normal_equations_single_start(circuit, omegas, z, weights, bounds, to_internal(start, bounds),
                                    std::vector<bool>(3, false), LmSettings{}, counter);
  EXPECT_FALSE(r.success);
  EXPECT_LT(r.info, 0);
}

// R0, then arc 1 (R1, q1, alpha1), then arc 2 with a diffusion tail beside
// its resistor (R2, W2, q2, alpha2): the arcs trade places, the tail stays.
TEST(SlotExchange, MovesArcsBetweenSlotsOfDifferentShapesOnly) {
  const std::vector<double> v{0.1, 1.0, 0.04, 0.55, 0.5, 0.11, 0.07, 1.0};
  const auto moved =
      exchanged_slots(std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2-W2,CPE2)")), v, 4);
  ASSERT_EQ(moved.size(), 1u);
  const std::vector<double> expected{0.1, 0.5, 0.07, 1.0, 1.0, 0.11, 0.04, 0.55};
  for (std::size_t j = 0; j < v.size(); ++j) EXPECT_NEAR(moved[0][j], expected[j], 1e-12) << j;

  const std::vector<double> same{0.1, 1.0, 0.04, 0.55, 0.5, 0.07, 1.0};
  EXPECT_TRUE(
      exchanged_slots(std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2,CPE2)")), same, 4).empty());
}

}  // namespace
}  // namespace korvex
