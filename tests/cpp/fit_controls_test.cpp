// Held parameters, narrowed bounds and the reasons and checks of an outcome.
#include <gtest/gtest.h>

#include <cmath>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/driver.hpp"
#include "fit/outcome_checks.hpp"
#include "fit/parameter_map.hpp"

namespace korvex {
namespace {

SeriesList circuit_of(const char* text, const std::vector<double>& values) {
  return rebuild(std::get<SeriesList>(parse(text)), values);
}

TEST(ParameterMap, ExpandsAndRestricts) {
  const SeriesList c = circuit_of("R0-p(R1,CPE1)", {1.0, 2.0, 3.0, 0.5});
  const ParameterMap map(c, {true, false, true});
  EXPECT_EQ(map.free_count(), 2u);
  EXPECT_EQ(map.expand(std::vector<double>{7.0, 0.9}), (std::vector<double>{1.0, 7.0, 3.0, 0.9}));
  EXPECT_EQ(map.free_of(std::vector<int>{10, 11, 12, 13}), (std::vector<int>{11, 13}));
  EXPECT_EQ(map.scatter(std::vector<double>{7.0, 0.9}, 0.0),
            (std::vector<double>{0.0, 7.0, 0.0, 0.9}));
  EXPECT_FALSE(ParameterMap(c).holds_any());
}

TEST(Termination, LmderCodesAndSuccess) {
  const std::pair<int, const char*> cases[] = {
      {1, "converged_ftol"},      {2, "converged_xtol"},   {3, "converged_ftol_xtol"},
      {4, "converged_gtol"},      {5, "budget_exhausted"}, {6, "tolerance_too_small"},
      {8, "tolerance_too_small"}, {-1, "nonfinite"},       {0, "invalid_problem"},
  };
  for (const auto& [info, name] : cases) {
    const Termination t = termination_of_lmder(info);
    EXPECT_EQ(termination_name(t), name) << info;
    EXPECT_EQ(succeeded(t), info >= 1 && info <= 4) << info;
    EXPECT_FALSE(termination_message(t).empty());
  }
}

TEST(NarrowedBounds, StoredPerElementAndDroppedWhenCatalogue) {
  const SeriesList c = circuit_of("R0-p(R1,CPE1)", {1.0, 2.0, 3.0, 0.5});
  std::vector<Bounds> b = param_bounds(c);
  b[3] = {0.2, 0.9};
  const SeriesList narrowed = with_param_bounds(c, b);
  EXPECT_EQ(param_bounds(narrowed), b);
  EXPECT_EQ(param_bounds(rebuild(narrowed, param_values(c))), b);
  EXPECT_EQ(catalogue_bounds(narrowed), param_bounds(c));
  EXPECT_EQ(with_param_bounds(narrowed, param_bounds(c)), c);
}

// Every method keeps a held parameter exactly and searches only the others.
TEST(HeldParameters, NoMethodMovesThem) {
  const std::vector<double> truth{10.0, 100.0, 1e-4};
  FitSettings s;
  s.circuit = circuit_of("R0-p(R1,C1)", {9.0, 50.0, 3e-4});
  for (int i = 0; i < 25; ++i) s.frequencies.push_back(std::pow(10.0, -1.0 + i * 0.2));
  for (double f : s.frequencies) {
    s.impedances.push_back(impedance(circuit_of("R0-p(R1,C1)", truth), f * kTwoPi));
  }
  s.held = {true};
  s.seed = 1;
  s.generations = 10;
  s.num_particles = 10;
  s.de_evaluations = 100;
  s.sa_iterations = 100;
  s.basin_hopping_hops = 1;
  for (const char* method : {"levenberg_marquardt", "particle_swarm", "nelder_mead",
                             "differential_evolution", "simulated_annealing", "basin_hopping"}) {
    s.method = method;
    const FitOutcome out = std::get<FitOutcome>(run_fit(s));
    EXPECT_EQ(out.params[0], 9.0) << method;
    ASSERT_TRUE(out.stderr_) << method;
    EXPECT_EQ((*out.stderr_)[0], 0.0) << method;
    EXPECT_EQ((*out.covariance)[1], 0.0) << method;
    EXPECT_EQ(out.initial, (std::vector<double>{9.0, 50.0, 3e-4})) << method;
    EXPECT_EQ(out.held, (std::vector<bool>{true, false, false})) << method;
  }
}

TEST(OutcomeChecks, AtBoundsAndWhiteness) {
  const SeriesList c = circuit_of("R0-CPE1", {1.0, 2.0, 0.5});
  const std::vector<Bounds> b = param_bounds(c);
  EXPECT_EQ(parameters_at_bounds({1e-12, 2.0, 1.0 - 1e-10}, b, ParameterMap(c)),
            (std::vector<bool>{true, false, true}));
  EXPECT_EQ(parameters_at_bounds({1e-12, 2.0, 0.5}, b, ParameterMap(c, {true})),
            (std::vector<bool>{false, false, false}));

  std::vector<double> omegas, alternating, smooth;
  for (int i = 0; i < 40; ++i) {
    omegas.push_back(40.0 - i);  // descending: the check sorts by frequency
    for (int part = 0; part < 2; ++part) {
      alternating.push_back(i % 2 ? 1.0 : -1.0);
      smooth.push_back(std::sin(0.1 * i));
    }
  }
  EXPECT_LT(residual_autocorrelation(omegas, alternating), 0.0);
  EXPECT_GT(residual_autocorrelation(omegas, smooth), whiteness_limit(40));
  const std::vector<double> two{1.0, 2.0}, four{1.0, 1.0, 1.0, 1.0};
  EXPECT_TRUE(std::isnan(residual_autocorrelation(two, four)));
}

}  // namespace
}  // namespace korvex
