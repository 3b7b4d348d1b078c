// The reuse of recorded subtrees that the Jacobian relies on.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/plan.hpp"
#include "fit/parameter_map.hpp"
#include "fit/residuals.hpp"

namespace korvex {
namespace {

bool same_bits(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof(double)) == 0;
}

// Changing one parameter and evaluating through the record gives the full
// evaluation's bits, for every parameter of nested circuits.
TEST(Plan, ChangedParameterReusesTheRestExactly) {
  const char* circuits[] = {"R0-p(R1,CPE1)-p(R2-W2,CPE2)", "R0-p(R1-p(R2,C2)-Wo2,CPE1)-La3",
                            "p(Zarc0,p(R1,C1)-Gs1,TLMQ2)-K4-T3"};
  std::vector<double> omegas;
  for (int i = 0; i < 300; ++i) omegas.push_back(std::pow(10.0, -3.0 + 10.0 * i / 299.0));
  const std::vector<FrequencyTerms> terms = frequency_terms(omegas);
  PlanScratch scratch;
  for (const char* text : circuits) {
    const auto parsed = parse(text);
    ASSERT_TRUE(std::holds_alternative<SeriesList>(parsed)) << text;
    const SeriesList& circuit = std::get<SeriesList>(parsed);
    const ImpedancePlan plan(circuit);
    std::vector<double> base = param_values(circuit);
    ASSERT_EQ(plan.param_count(), base.size());
    PlanRecord record;
    std::vector<Complex> at_base(omegas.size()), full(omegas.size()), reused(omegas.size());
    ASSERT_TRUE(plan.evaluate_recording(base, terms, at_base, scratch, record));
    for (std::size_t j = 0; j < base.size(); ++j) {
      std::vector<double> changed = base;
      changed[j] = changed[j] * 1.37 + 1e-3;
      ASSERT_TRUE(plan.evaluate(changed, terms, full, scratch));
      ASSERT_TRUE(plan.evaluate_changed(changed, j, terms, record, reused, scratch));
      for (std::size_t i = 0; i < omegas.size(); ++i) {
        ASSERT_TRUE(same_bits(full[i].re, reused[i].re) && same_bits(full[i].im, reused[i].im))
            << text << " parameter " << j << " at " << omegas[i];
      }
    }
  }
}

// The Jacobian's columns are the central differences of full residual
// evaluations, to the bit, and it counts 2P evaluations; with every parameter
// free and with some held through a map.
class PlanJacobian : public ::testing::TestWithParam<bool> {};

TEST_P(PlanJacobian, MatchesFullEvaluations) {
  const SeriesList circuit = std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2-W2,CPE2)"));
  std::vector<double> omegas;
  std::vector<Complex> measured;
  for (int i = 0; i < 60; ++i) {
    omegas.push_back(std::pow(10.0, -1.0 + 6.0 * i / 59.0));
    measured.push_back({10.0 + i, -0.5 * i});
  }
  const std::vector<double> weights = compute_weights(measured, Weighting::Modulus);
  const bool hold = GetParam();
  const ParameterMap map(circuit, {false, true, false, false, false, true});
  std::vector<double> p{10.0, 50.0, 2e-5, 0.85, 80.0, 15.0, 1e-3, 0.7};
  if (hold) p = map.free_of(p);
  const Spectrum s{circuit, omegas, measured, weights, hold ? &map : nullptr};
  EvalCounter counter;
  const auto columns = jacobian_columns(s, p, counter);
  ASSERT_TRUE(columns.has_value());
  EXPECT_EQ(counter.value(), 2 * p.size());
  for (std::size_t j = 0; j < p.size(); ++j) {
    const double h = jacobian_step(p[j]);
    std::vector<double> plus = p, minus = p;
    plus[j] += h;
    minus[j] -= h;
    const auto r_plus = residuals(s, plus, counter);
    const auto r_minus = residuals(s, minus, counter);
    for (std::size_t k = 0; k < r_plus->size(); ++k) {
      ASSERT_TRUE(same_bits((*columns)[j][k], ((*r_plus)[k] - (*r_minus)[k]) / (h + h)))
          << j << " " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(HeldOrNot, PlanJacobian, ::testing::Bool());

}  // namespace
}  // namespace korvex
