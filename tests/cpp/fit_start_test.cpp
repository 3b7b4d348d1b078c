#include "models/fit_start.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"

namespace korvex::models {
namespace {

struct Spectrum {
  std::vector<double> f;
  std::vector<Complex> z;
};

Spectrum rc_spectrum() {
  const SeriesList truth =
      rebuild(std::get<SeriesList>(parse("R0-(R1,C1)")), std::vector<double>{10, 100, 1e-5});
  Spectrum s;
  for (int i = 0; i < 40; ++i) {
    s.f.push_back(std::pow(10.0, -1 + 6.0 * i / 39));
    s.z.push_back(impedance(truth, kTwoPi * s.f.back()));
  }
  return s;
}

std::vector<double> start_values(std::string_view text, bool explicit_values,
                                 std::optional<bool> guess, bool* no_model = nullptr) {
  const Spectrum s = rc_spectrum();
  auto start =
      fit_start(std::get<SeriesList>(parse(text)), explicit_values, guess, std::nullopt, s.f, s.z);
  const auto& chosen = std::get<FitStart>(start);
  if (no_model) *no_model = chosen.no_model;
  return param_values(chosen.circuit);
}

TEST(FitStart, GuessesUnlessTheValuesAreTheUsersOwn) {
  const std::vector<double> defaults = param_values(std::get<SeriesList>(parse("R0-(R1,C1)")));
  EXPECT_NE(start_values("R0-(R1,C1)", false, std::nullopt), defaults);
  EXPECT_EQ(start_values("R0-(R1,C1)", true, std::nullopt), defaults);
  EXPECT_NE(start_values("R0-(R1,C1)", true, true), defaults);
  EXPECT_EQ(start_values("R0-(R1,C1)", false, false), defaults);
}

TEST(FitStart, WithoutAModelKeepsTheOwnValuesOrFails) {
  bool no_model = false;
  EXPECT_EQ(start_values("R0-L1", false, std::nullopt, &no_model),
            param_values(std::get<SeriesList>(parse("R0-L1"))));
  EXPECT_TRUE(no_model);
  const Spectrum s = rc_spectrum();
  auto forced =
      fit_start(std::get<SeriesList>(parse("R0-L1")), false, true, std::nullopt, s.f, s.z);
  ASSERT_TRUE(std::holds_alternative<std::string>(forced));
  EXPECT_EQ(std::get<std::string>(forced).rfind("No training data on this circuit.", 0), 0u);
}

}  // namespace
}  // namespace korvex::models
