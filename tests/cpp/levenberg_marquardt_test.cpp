#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/lm_problem.hpp"

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const Bounds kOpen{1e-12, kInf};
const Bounds kUnit{0.0, 1.0};

SeriesList circuit_of(const char* text, std::vector<double> values) {
  return rebuild(std::get<SeriesList>(parse(text)), values);
}

std::vector<double> log_frequencies(std::size_t n, double lo_exp, double hi_exp) {
  std::vector<double> f(n);
  for (std::size_t i = 0; i < n; ++i) {
    f[i] = std::pow(10.0, lo_exp + (hi_exp - lo_exp) * static_cast<double>(i) / (n - 1));
  }
  return f;
}

std::vector<Complex> spectrum_of(const SeriesList& c, const std::vector<double>& f) {
  std::vector<Complex> z;
  for (double x : f) z.push_back(impedance(c, x * kTwoPi));
  return z;
}

FitOutcome outcome(const FitResultOr& r) {
  if (const auto* e = std::get_if<FitError>(&r)) ADD_FAILURE() << e->message();
  return std::get<FitOutcome>(r);
}

TEST(Transform, OpenBoundInLogSpace) {
  EXPECT_EQ(to_internal(1e-12, kOpen), -300.0);  // at the lower bound
  EXPECT_EQ(to_internal(-5.0, kOpen), -300.0);   // below it
  EXPECT_EQ(to_internal(kNaN, kOpen), -300.0);
  EXPECT_EQ(to_internal(0.7, kUnit), 0.7);
  EXPECT_EQ(to_physical(0.7, kUnit), 0.7);
  for (double p : {1.0, 1000.0, 3.5e-3, 2e9}) {
    EXPECT_NEAR(to_physical(to_internal(p, kOpen), kOpen), p, 1e-14 * p) << p;
  }
  EXPECT_EQ(to_physical(2.0, {0.0, kInf}), 100.0);
  EXPECT_DOUBLE_EQ(physical_slope(101.0, {1.0, kInf}), 2.302585092994046 * 100.0);
  EXPECT_EQ(physical_slope(0.3, kUnit), 1.0);
}

std::vector<std::vector<double>> candidate_params(const char* text, std::vector<double> values) {
  const SeriesList c = circuit_of(text, values);
  const auto f = log_frequencies(5, 0, 3);
  std::vector<double> omegas;
  for (double x : f) omegas.push_back(x * kTwoPi);
  const auto z = spectrum_of(circuit_of(text, values), f);
  const std::vector<double> w(z.size(), 1.0);
  EvalCounter counter;
  const auto candidates =
      candidate_starting_points(c, values, param_bounds(c), omegas, z, w, counter);
  EXPECT_EQ(counter.value(), 9u);
  std::vector<std::vector<double>> out;
  for (const auto& cand : candidates) out.push_back(cand.params);
  return out;
}

TEST(Candidates, AllOpenBound) {
  const auto got = candidate_params("R0-(R1,C1)", {1.0, 1.0, 0.001});
  const double third = 0.3333333333333333;
  const std::vector<std::vector<double>> expected = {
      {1, 1, 0.001},
      {3, 3, 0.001 * 3},
      {third, third, 0.001 * third},
      {8, 8, 0.001 * 8},
      {0.125, 0.125, 0.000125},
      {1, 1, 0.001},
      {1, 1, 0.001},
      {1, 1, 0.001},
      {1, 1, 0.001},
  };
  EXPECT_EQ(got, expected);
}

TEST(Candidates, MixedBounds) {
  const auto got = candidate_params("R0-Zarc1", {1.0, 1.0, 0.001, 0.8});
  ASSERT_EQ(got.size(), 9u);
  const double scales[] = {1.0, 3.0, 0.3333333333333333, 8.0, 0.125};
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(got[k], (std::vector<double>{scales[k], scales[k], 0.001 * scales[k], 0.8})) << k;
  }
  const double fractions[] = {0.2, 0.4, 0.6, 0.8};
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(got[5 + k], (std::vector<double>{1.0, 1.0, 0.001, fractions[k]})) << k;
  }
}

TEST(Candidates, StableSortPutsEveryNanLast) {
  const double neg_nan = std::copysign(kNaN, -1.0);
  std::vector<Candidate> c;
  const double costs[] = {neg_nan, 2.0, kInf, 0.0, 2.0, kNaN, 0.5};
  for (int i = 0; i < 7; ++i) c.push_back({{static_cast<double>(i)}, costs[i]});
  sort_candidates(c);
  std::vector<double> order;
  for (const auto& x : c) order.push_back(x.params[0]);
  EXPECT_EQ(order, (std::vector<double>{3, 6, 1, 4, 2, 0, 5}));
}

TEST(Plausibility, BoundaryValues) {
  const std::vector<Bounds> open{kOpen};
  const std::vector<double> start{1.0};
  struct Case {
    double p;
    bool expected;
  };
  for (const auto& c : {Case{1.0, true}, Case{1.01e-10, false}, Case{1e-10, false},
                        Case{1.0001e-6, true}, Case{0.99e-6, false}, Case{9.99e5, true},
                        Case{1e6, false}, Case{kInf, false}, Case{kNaN, false}}) {
    EXPECT_EQ(is_plausible(std::vector<double>{c.p}, start, open), c.expected) << c.p;
  }
  // Above 100 lo, but also within a factor of 1e6 of a tiny start.
  EXPECT_TRUE(is_plausible(std::vector<double>{2e-10}, std::vector<double>{1e-12}, open));
  const std::vector<Bounds> unit{kUnit};
  for (const auto& c :
       {Case{0.5, true}, Case{1e-6, false}, Case{1.1e-6, true}, Case{1.0 - 0.9e-6, false},
        Case{1.0 - 1.1e-6, true}, Case{0.0, false}, Case{kNaN, false}}) {
    EXPECT_EQ(is_plausible(std::vector<double>{c.p}, start, unit), c.expected) << c.p;
  }
}

TEST(SingleStart, TerminationCodesMapOntoSuccess) {
  for (int info = -3; info <= 8; ++info) {
    EXPECT_EQ(lmder_converged(info), info >= 1 && info <= 4) << info;
  }
}

struct Problem {
  SeriesList circuit;
  std::vector<double> frequencies, omegas, weights;
  std::vector<Complex> impedances;
  std::vector<Bounds> bounds;

  Problem(const char* text, std::vector<double> truth, std::vector<double> start)
      : circuit(circuit_of(text, start)), frequencies(log_frequencies(30, -1, 4)) {
    impedances = spectrum_of(circuit_of(text, truth), frequencies);
    for (double f : frequencies) omegas.push_back(f * kTwoPi);
    weights = compute_weights(impedances, Weighting::Modulus);
    bounds = param_bounds(circuit);
  }
  StartResult run(const LmSettings& s, EvalCounter& counter) {
    const std::vector<bool> free(bounds.size(), false);
    return levenberg_marquardt_single_start(circuit, omegas, impedances, weights, bounds,
                                            to_internal(param_values(circuit), bounds), free, s,
                                            counter);
  }
};

// Every residual evaluation of a run is counted once, every Jacobian 2P times.
TEST(SingleStart, CountsItsEvaluations) {
  Problem p("R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {3.0, 500.0, 1e-6});
  EvalCounter counter;
  const StartResult r = p.run(LmSettings{}, counter);
  EXPECT_TRUE(r.success);
  EXPECT_EQ(counter.value(), r.evaluations + 2 * 3 * r.jacobian_evaluations);
  EXPECT_NEAR(r.params[1], 100.0, 1e-6);
}

// max_iterations 0 still allows P + 1 residual evaluations.
TEST(SingleStart, ZeroPatienceMeansOneStepOfBudget) {
  for (std::uint64_t patience : {0u, 1u}) {
    Problem p("R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {3.0, 5e4, 1e-9});
    EvalCounter counter;
    const StartResult r = p.run(LmSettings{1e-15, 1e-15, 1e-15, patience}, counter);
    EXPECT_EQ(r.evaluations, 4u) << patience;
    EXPECT_EQ(r.info, 5) << patience;
    EXPECT_FALSE(r.success);
  }
}

TEST(SingleStart, NonFiniteResidualsStopTheRunAsFailed) {
  Problem p("R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {3.0, 500.0, 1e-6});
  p.impedances[4] = {kNaN, 0.0};
  EvalCounter counter;
  const StartResult r = p.run(LmSettings{}, counter);
  EXPECT_FALSE(r.success);
  EXPECT_LT(r.info, 0);
  EXPECT_EQ(r.evaluations, 1u);
  const auto start = param_values(p.circuit);
  for (std::size_t j = 0; j < start.size(); ++j)
    EXPECT_NEAR(r.params[j], start[j], 1e-15 * start[j]);
}

// From the catalogue defaults the first steps towards milliohm data overflow
// the elements' formulas; those steps are rejected and the run goes on, far
// below its start. Which minimum it reaches from there turns on the last bits
// of the arithmetic (the truth itself, or one 1e-3 above it).
TEST(SingleStart, OverflowingTrialStepsAreRejectedNotFatal) {
  const std::vector<double> truth{1.7e-7, 0.014, 0.022, 7.1, 0.44, 0.12, 570.0, 0.72};
  const SeriesList defaults = std::get<SeriesList>(parse("L0-R0-p(R1,CPE1)-p(R2,CPE2)"));
  Problem p("L0-R0-p(R1,CPE1)-p(R2,CPE2)", truth, param_values(defaults));
  EvalCounter counter;
  const StartResult r = p.run(LmSettings{}, counter);
  EXPECT_TRUE(r.success) << r.info;
  EvalCounter other;
  const Spectrum spectrum{p.circuit, p.omegas, p.impedances, p.weights};
  const auto res = residuals(spectrum, r.params, other);
  const auto start = residuals(spectrum, param_values(defaults), other);
  EXPECT_LT(cost(*res), 1e-6 * cost(*start));
  EXPECT_EQ(counter.value(), r.evaluations + 2 * truth.size() * r.jacobian_evaluations);
}

TEST(SingleStart, FewerResidualsThanParametersIsARejectedRun) {
  Problem p("R0-p(R1,CPE1)", {10.0, 100.0, 1e-4, 0.8}, {3.0, 500.0, 1e-6, 0.8});
  p.frequencies.resize(1);
  p.omegas.resize(1);
  p.impedances.resize(1);
  p.weights.resize(1);
  EvalCounter counter;
  const StartResult r = p.run(LmSettings{}, counter);
  EXPECT_FALSE(r.success);
  EXPECT_EQ(r.evaluations, 0u);
  EXPECT_EQ(counter.value(), 0u);
}

// Values chosen so that log10 and back reproduce them bit for bit: the start
// fits exactly, candidate 1 has cost 0, and its one run is plausible.
TEST(MultiStart, ExactStartCostsOneRun) {
  const std::vector<double> values{1.0, 2.0, 0.5};
  for (double v : values) ASSERT_EQ(to_physical(to_internal(v, kOpen), kOpen), v);
  Problem p("R0-(R1,C1)", values, values);
  const FitOutcome out = outcome(
      levenberg_marquardt_fit(p.circuit, p.frequencies, p.impedances, Weighting::Modulus, {}));
  EXPECT_TRUE(out.success);
  EXPECT_EQ(out.iterations, 1u);
  EXPECT_EQ(out.cost, 0.0);
  EXPECT_EQ(out.params, values);
  // 9 candidate costs, 1 residual + 2P Jacobian in the run, 1 run cost, 1 + 2P summary.
  EXPECT_EQ(out.impedance_evals, 9u + 1u + 6u + 1u + 1u + 6u);
}

// Data whose best CPE exponent lies above 1: the answer must hold alpha on
// its bound and put the other parameters at their constrained optimum, which
// is the fit of the same circuit with an ideal capacitor.
TEST(MultiStart, ExponentBeyondItsBoundIsPolishedOnTheBound) {
  const std::vector<double> truth{10.0, 100.0, 1e-4, 1.05};
  Problem cpe("R0-p(R1,CPE1)", truth, {10.0, 100.0, 1e-4, 0.9});
  const FitOutcome held = outcome(levenberg_marquardt_fit(cpe.circuit, cpe.frequencies,
                                                          cpe.impedances, Weighting::Modulus, {}));
  Problem cap("R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {10.0, 100.0, 1e-4});
  const FitOutcome ideal = outcome(levenberg_marquardt_fit(cap.circuit, cpe.frequencies,
                                                           cpe.impedances, Weighting::Modulus, {}));
  EXPECT_EQ(held.params[3], 1.0);
  EXPECT_TRUE(held.success);
  for (std::size_t j = 0; j < 3; ++j)
    EXPECT_NEAR(held.params[j], ideal.params[j], 1e-7 * ideal.params[j]) << j;
  EXPECT_NEAR(held.cost, ideal.cost, 1e-9 * ideal.cost);
}

TEST(MultiStart, NonFiniteDataGiveAFailedOutcomeNotAnError) {
  Problem p("R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {3.0, 500.0, 1e-6});
  p.impedances[0] = {kNaN, kNaN};
  const FitOutcome out =
      outcome(levenberg_marquardt_fit(p.circuit, p.frequencies, p.impedances, Weighting::Unit, {}));
  EXPECT_FALSE(out.success);
  EXPECT_TRUE(std::isnan(out.cost));
}

TEST(MultiStart, RefusesToleranceLmderCannotUse) {
  Problem p("R0-p(R1,C1)", {10.0, 100.0, 1e-4}, {3.0, 500.0, 1e-6});
  struct Case {
    LmSettings settings;
    const char* message;
  };
  const Case cases[] = {
      {{-1.0, 1e-8, 1e-8, 200}, "solver error: ftol must be a non-negative number, got -1.0"},
      {{1e-8, kNaN, 1e-8, 200}, "solver error: xtol must be a non-negative number, got NaN"},
      {{1e-8, 1e-8, -0.5, 200}, "solver error: gtol must be a non-negative number, got -0.5"},
  };
  for (const auto& c : cases) {
    const auto r = levenberg_marquardt_fit(p.circuit, p.frequencies, p.impedances,
                                           Weighting::Modulus, c.settings);
    ASSERT_TRUE(std::holds_alternative<FitError>(r));
    EXPECT_EQ(std::get<FitError>(r).message(), c.message);
  }
}

TEST(Polish, LocalResultWinsTiesAndCountsAddUp) {
  const std::vector<double> values{1.0, 2.0, 0.5};
  Problem p("R0-(R1,C1)", values, values);
  EvalCounter counter;
  counter.add(100);
  const FitOutcome out =
      outcome(polish_or_fallback(p.circuit, values, 777, p.frequencies, p.omegas, p.impedances,
                                 Weighting::Modulus, p.weights, counter));
  EXPECT_EQ(out.cost, 0.0);
  EXPECT_EQ(out.iterations, 1u);  // the local fit's count: it won the tie
  EXPECT_TRUE(out.success);
  // 100 before, 1 + 2P for the global summary, 24 inside the local fit.
  EXPECT_EQ(out.impedance_evals, 100u + 7u + 24u);
  EXPECT_EQ(counter.value(), out.impedance_evals);
}

TEST(Polish, GlobalResultKeptWhenLocalCostIsNaN) {
  Problem p("R0-(R1,C1)", {10.0, 100.0, 1e-4}, {10.0, 100.0, 1e-4});
  p.impedances[3] = {kNaN, 0.0};
  p.weights = compute_weights(p.impedances, Weighting::Unit);
  EvalCounter counter;
  const FitOutcome out =
      outcome(polish_or_fallback(p.circuit, {10.0, 100.0, 1e-4}, 5, p.frequencies, p.omegas,
                                 p.impedances, Weighting::Unit, p.weights, counter));
  EXPECT_EQ(out.iterations, 5u);
  // The kept global point has a NaN cost too: never a success.
  EXPECT_FALSE(out.success);
  EXPECT_EQ(out.termination, Termination::NonFinite);
  EXPECT_EQ(out.params, (std::vector<double>{10.0, 100.0, 1e-4}));
}

}  // namespace
}  // namespace korvex
