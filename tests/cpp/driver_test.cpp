#include <gtest/gtest.h>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/driver.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace korvex {
namespace {

const char* const kMethodNames[] = {"levenberg_marquardt", "particle_swarm",
                                    "nelder_mead",         "differential_evolution",
                                    "simulated_annealing", "basin_hopping"};

FitSettings settings_for(const char* method, std::size_t n_frequencies, std::size_t n_impedances) {
  FitSettings s;
  s.method = method;
  s.circuit = std::get<SeriesList>(parse("R0-(R1,C1)"));
  for (std::size_t i = 0; i < n_frequencies; ++i) s.frequencies.push_back(1.0 + i);
  for (std::size_t i = 0; i < n_impedances; ++i) s.impedances.push_back({1.0, -1.0});
  return s;
}

std::optional<FitError::Kind> error_kind(const FitResultOr& r) {
  if (const auto* e = std::get_if<FitError>(&r)) return e->kind;
  return std::nullopt;
}

TEST(Driver, UnknownMethodComesBeforeAnyDataCheck) {
  for (const char* name : {"Levenberg_Marquardt", "lm", "", "basin_hopping "}) {
    const auto r = run_fit(settings_for(name, 0, 0));
    ASSERT_EQ(error_kind(r), FitError::Kind::UnknownMethod) << name;
    EXPECT_EQ(std::get<FitError>(r).payload, name);
  }
  EXPECT_EQ(std::get<FitError>(run_fit(settings_for("Levenberg_Marquardt", 3, 2))).message(),
            "unknown fit method \"Levenberg_Marquardt\", expected one of "
            "\"levenberg_marquardt\", \"particle_swarm\", \"nelder_mead\", "
            "\"differential_evolution\", \"simulated_annealing\", \"basin_hopping\"");
}

class DriverGuards : public testing::TestWithParam<const char*> {};

TEST_P(DriverGuards, AppliesTheGuardsInOrder) {
  EXPECT_EQ(error_kind(run_fit(settings_for(GetParam(), 3, 2))), FitError::Kind::LengthMismatch);
  EXPECT_EQ(error_kind(run_fit(settings_for(GetParam(), 0, 0))), FitError::Kind::Empty);
  FitSettings no_params = settings_for(GetParam(), 3, 3);
  no_params.circuit.clear();
  EXPECT_EQ(error_kind(run_fit(no_params)), FitError::Kind::NoParameters);
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverGuards, testing::ValuesIn(kMethodNames));

TEST(Driver, LevenbergMarquardtGetsTheFitsSettings) {
  FitSettings s = settings_for("levenberg_marquardt", 0, 0);
  const SeriesList truth = rebuild(s.circuit, std::vector<double>{10.0, 100.0, 1e-4});
  for (int i = 0; i < 25; ++i) {
    s.frequencies.push_back(std::pow(10.0, -1.0 + i * 0.2));
    const Complex z = impedance(truth, s.frequencies.back() * kTwoPi);
    s.impedances.push_back({z.re * (1.0 + 0.01 * (i % 3 - 1)), z.im});
  }
  s.max_iterations = 3;
  s.ftol = 1e-4;
  s.xtol = 1e-6;
  s.weighting = Weighting::Unit;
  const auto via_driver = std::get<FitOutcome>(run_fit(s));
  const auto direct = std::get<FitOutcome>(levenberg_marquardt_fit(
      s.circuit, s.frequencies, s.impedances, Weighting::Unit, LmSettings{1e-4, 1e-6, 1e-8, 3}));
  EXPECT_EQ(via_driver.params, direct.params);
  EXPECT_EQ(via_driver.iterations, direct.iterations);
  EXPECT_EQ(via_driver.impedance_evals, direct.impedance_evals);
  const auto defaults = std::get<FitOutcome>(levenberg_marquardt_fit(
      s.circuit, s.frequencies, s.impedances, Weighting::Unit, LmSettings{}));
  EXPECT_NE(via_driver.iterations, defaults.iterations);
}

}  // namespace
}  // namespace korvex
