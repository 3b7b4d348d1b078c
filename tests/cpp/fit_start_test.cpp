#include "starts/fit_start.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"

namespace korvex {
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
                                 std::optional<bool> guess, bool* warned = nullptr) {
  const Spectrum s = rc_spectrum();
  const SeriesList circuit = std::get<SeriesList>(parse(text));
  const StartDecision d = decide_start(circuit, explicit_values, {.guess_init = guess}, false);
  if (warned) *warned = d.warn_no_model;
  const FitControls controls = std::get<FitControls>(resolve_fit_controls(circuit, {}, {}));
  auto start = fit_start(circuit, d, std::nullopt, controls, s.f, s.z);
  return param_values(std::get<ControlledStart>(start).circuit);
}

TEST(FitStart, GuessesUnlessTheValuesAreTheUsersOwn) {
  const std::vector<double> defaults = param_values(std::get<SeriesList>(parse("R0-(R1,C1)")));
  EXPECT_NE(start_values("R0-(R1,C1)", false, std::nullopt), defaults);
  EXPECT_EQ(start_values("R0-(R1,C1)", true, std::nullopt), defaults);
  EXPECT_NE(start_values("R0-(R1,C1)", true, true), defaults);
  EXPECT_EQ(start_values("R0-(R1,C1)", false, false), defaults);
}

TEST(FitStart, WithoutAModelWarnsSearchesOrFails) {
  const SeriesList circuit = std::get<SeriesList>(parse("R0-L1"));
  bool warned = false;
  EXPECT_EQ(start_values("R0-L1", false, std::nullopt, &warned), param_values(circuit));
  EXPECT_TRUE(warned);
  // A batch searches instead; asked-for starts search from the placeholders.
  const StartDecision batch = decide_start(circuit, false, {}, true);
  ASSERT_TRUE(batch.starts);
  EXPECT_TRUE(batch.starts->automatic && batch.starts->placeholder_start && !batch.warn_no_model);
  const StartDecision counted = decide_start(circuit, false, {.starts = StartCount{3}}, false);
  EXPECT_EQ(counted.starts->count, 3u);
  EXPECT_TRUE(counted.starts->placeholder_start && !counted.warn_no_model);
  const Spectrum s = rc_spectrum();
  const StartDecision forced = decide_start(circuit, false, {.guess_init = true}, true);
  auto failed = fit_start(circuit, forced, std::nullopt, {}, s.f, s.z);
  ASSERT_TRUE(std::holds_alternative<std::string>(failed));
  EXPECT_EQ(std::get<std::string>(failed).rfind("No training data on this circuit.", 0), 0u);
}

FitControls controls_of(const SeriesList& c, const NamedValues& constants,
                        const NamedBounds& bounds) {
  auto resolved = resolve_fit_controls(c, constants, bounds);
  return std::get<FitControls>(resolved);
}

std::string control_error(const NamedValues& constants, const NamedBounds& bounds) {
  const SeriesList c = std::get<SeriesList>(parse("R0-p(R1,C1)"));
  auto resolved = resolve_fit_controls(c, constants, bounds);
  if (auto* message = std::get_if<std::string>(&resolved)) return *message;
  auto start = apply_fit_controls(c, false, std::get<FitControls>(resolved));
  return std::holds_alternative<std::string>(start) ? std::get<std::string>(start) : "";
}

TEST(FitControls, RefuseNamesValuesAndStartsTheFitCannotUse) {
  const double nan = std::nan("");
  EXPECT_EQ(control_error({{"R0.x", 1.0}}, {}),
            "argument 'constants': unknown parameter \"R0.x\" (did you mean \"R0.r\"?); valid "
            "parameters are [\"R0.r\", \"R1.r\", \"C1.c\"]");
  EXPECT_EQ(control_error({{"R0.r", INFINITY}}, {}),
            "argument 'constants': the value of R0.r must be finite, got inf");
  EXPECT_EQ(control_error({}, {{"R1.r", {nan, {}}}}),
            "argument 'bounds': the bounds of R1.r must not be NaN");
  EXPECT_EQ(control_error({}, {{"R1.r", {-INFINITY, {}}}}),
            "argument 'bounds': the lower bound of R1.r must be finite, got -inf");
  EXPECT_EQ(control_error({}, {{"R1.r", {2.0, 1.0}}}),
            "argument 'bounds': the bounds of R1.r are empty or inverted: (2, 1) needs lo < hi");
  EXPECT_EQ(control_error({{"R0.r", 5.0}}, {{"R0.r", {0.0, 1.0}}}),
            "argument 'constants': R0.r = 5 is outside its bounds (0, 1)");
  EXPECT_EQ(control_error({}, {{"R0.r", {50.0, 60.0}}}),
            "argument 'bounds': the start value of R0.r (1) is outside its bounds (50, 60); give "
            "a start value inside them");
}

TEST(FitControls, HoldConstantsAndMoveAGuessOntoItsBounds) {
  const SeriesList c =
      rebuild(std::get<SeriesList>(parse("R0-p(R1,C1)")), std::vector<double>{1.0, 10.0, 1e-4});
  const FitControls controls = controls_of(c, {{"C1.c", 2e-4}}, {{"R1.r", {20.0, {}}}});
  const auto guessed = std::get<ControlledStart>(apply_fit_controls(c, true, controls));
  EXPECT_EQ(param_values(guessed.circuit), (std::vector<double>{1.0, 20.0, 2e-4}));
  EXPECT_EQ(guessed.held, (std::vector<bool>{false, false, true}));
  EXPECT_EQ(param_bounds(guessed.circuit)[1].first, 20.0);
}

}  // namespace
}  // namespace korvex
