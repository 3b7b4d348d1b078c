#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/covariance.hpp"
#include "fit/outcome.hpp"

namespace korvex {
namespace {

SeriesList circuit_of(const char* text) { return std::get<SeriesList>(parse(text)); }

TEST(FitError, Messages) {
  using K = FitError::Kind;
  EXPECT_EQ((FitError{K::LengthMismatch, {}}).message(),
            "frequencies and impedances must have the same length");
  EXPECT_EQ((FitError{K::Empty, {}}).message(), "frequencies and impedances must not be empty");
  EXPECT_EQ((FitError{K::NoParameters, {}}).message(), "circuit topology has no parameters to fit");
  EXPECT_EQ(FitError::solver("nelder-mead found no best position").message(),
            "solver error: nelder-mead found no best position");
  EXPECT_EQ((FitError{K::UnknownMethod, "Le\"v\\\n"}).message(),
            "unknown fit method \"Le\\\"v\\\\\\n\", expected one of \"levenberg_marquardt\", "
            "\"particle_swarm\", \"nelder_mead\", \"differential_evolution\", "
            "\"simulated_annealing\", \"basin_hopping\"");
}

TEST(FitGuards, OrderOfChecks) {
  const SeriesList rc = circuit_of("R0-(R1,C1)");
  const SeriesList none;
  struct Case {
    const SeriesList* circuit;
    std::size_t nf, nz;
    std::optional<FitError::Kind> expected;
  };
  const Case cases[] = {
      {&rc, 3, 2, FitError::Kind::LengthMismatch}, {&none, 0, 1, FitError::Kind::LengthMismatch},
      {&rc, 0, 0, FitError::Kind::Empty},          {&none, 0, 0, FitError::Kind::Empty},
      {&none, 2, 2, FitError::Kind::NoParameters}, {&rc, 1, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto error = check_fit_inputs(*c.circuit, c.nf, c.nz);
    ASSERT_EQ(error.has_value(), c.expected.has_value()) << c.nf << " " << c.nz;
    if (error) EXPECT_EQ(error->kind, *c.expected);
  }
}

// I + u u^T has the inverse I - u u^T / (1 + |u|^2); covers both the
// adjugate (n <= 4) and the LU (n > 4) paths.
TEST(Covariance, InverseDiagonalOfRankOneUpdate) {
  for (std::size_t n = 1; n <= 7; ++n) {
    std::vector<double> u(n), a(n * n);
    double norm2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      u[i] = 0.5 + static_cast<double>(i);
      norm2 += u[i] * u[i];
    }
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) a[i * n + j] = (i == j ? 1.0 : 0.0) + u[i] * u[j];
    }
    const auto diag = inverse_diagonal(a, n);
    ASSERT_TRUE(diag) << n;
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_NEAR((*diag)[j], 1.0 - u[j] * u[j] / (1.0 + norm2), 1e-12) << n << " " << j;
    }
  }
}

TEST(Covariance, SingularMatricesHaveNoInverse) {
  for (std::size_t n = 2; n <= 6; ++n) {
    std::vector<double> a(n * n, 3.0);  // every row equal
    EXPECT_FALSE(inverse_diagonal(a, n)) << n;
  }
  EXPECT_FALSE(inverse_diagonal(std::vector<double>{0.0}, 1));
}

struct Data {
  std::vector<double> omegas;
  std::vector<Complex> impedances;
  std::vector<double> weights;
};

Data unit_weighted(std::vector<Complex> z) {
  Data d;
  for (std::size_t i = 0; i < z.size(); ++i) d.omegas.push_back(kTwoPi * (1.0 + i));
  d.impedances = std::move(z);
  d.weights.assign(d.impedances.size(), 1.0);
  return d;
}

// One resistor against unit-weighted data: J = [1, 0, 1, 0, ...], J^T J = N,
// so every number of the summary has a closed form.
TEST(BuildOutcome, ClosedFormForOneResistor) {
  const SeriesList r = circuit_of("R0");
  const Data d = unit_weighted({{1.0, 0.0}, {2.0, 0.0}, {3.0, 0.0}});
  EvalCounter counter;
  counter.add(5);
  const FitOutcome out =
      build_outcome(r, {2.0}, true, 7, d.omegas, d.impedances, d.weights, counter);
  EXPECT_EQ(out.cost, 1.0);
  EXPECT_EQ(out.chi_square, 2.0);
  ASSERT_TRUE(out.stderr_);
  EXPECT_NEAR((*out.stderr_)[0], std::sqrt(2.0 / 5.0 / 3.0), 1e-9);
  EXPECT_EQ(out.impedance_evals, 5u + 1u + 2u);
  EXPECT_EQ(out.iterations, 7u);
  EXPECT_TRUE(out.success);
  EXPECT_EQ(out.param_names, std::vector<std::string>{"R0.r"});
  EXPECT_EQ(param_values(out.circuit), std::vector<double>{2.0});
}

TEST(BuildOutcome, ClampsBeforeSummarising) {
  const SeriesList c = circuit_of("R0-p(R1,CPE1)");
  const auto truth = rebuild(c, std::vector<double>{10.0, 100.0, 1e-4, 0.9});
  std::vector<Complex> z;
  for (int i = 0; i < 20; ++i) z.push_back(impedance(truth, kTwoPi * std::pow(10.0, i / 4.0 - 1)));
  Data d = unit_weighted(z);
  for (std::size_t i = 0; i < d.omegas.size(); ++i)
    d.omegas[i] = kTwoPi * std::pow(10.0, i / 4.0 - 1);
  EvalCounter counter;
  const FitOutcome out = build_outcome(c, {10.0, 100.0, 1e-4, 1.7}, false, 0, d.omegas,
                                       d.impedances, d.weights, counter);
  EXPECT_EQ(out.params, (std::vector<double>{10.0, 100.0, 1e-4, 1.0}));
  EvalCounter other;
  const auto r = residuals(Spectrum{c, d.omegas, d.impedances, d.weights}, out.params, other);
  EXPECT_EQ(out.cost, cost(*r));
  EXPECT_EQ(out.chi_square, 2.0 * out.cost);
  EXPECT_EQ(out.impedance_evals, 1u + 2u * 4u);
  EXPECT_EQ(param_values(out.circuit), out.params);
  EXPECT_FALSE(out.success);
}

// A resistance over 1000 times the largest |Z|, or an exponent at 0, ends a
// converged fit as a runaway; the same values held by the caller do not.
TEST(BuildOutcome, RunawayIsNotASuccess) {
  const SeriesList c = circuit_of("R0-p(R1,CPE1)");
  const Data d = unit_weighted({{3.0, -1.0}, {2.0, -0.5}, {1.0, 0.0}, {1.0, 0.0}, {1.0, 0.0}});
  const double limit = 1000.0 * std::hypot(3.0, -1.0);
  struct Case {
    std::vector<double> values;
    std::vector<bool> held;
    Termination expected;
  };
  const Case cases[] = {
      {{1.0, 0.999 * limit, 1e-3, 0.9}, {}, Termination::Converged},
      {{1.0, 1.001 * limit, 1e-3, 0.9}, {}, Termination::Runaway},
      {{1.0, 2.0, 1e-3, 1e-4}, {}, Termination::Runaway},
      {{1.0, 2.0 * limit, 1e-3, 0.9}, {false, true}, Termination::Converged},
  };
  for (const auto& k : cases) {
    const SeriesList start = rebuild(c, k.values);
    const ParameterMap map(start, k.held);
    EvalCounter counter;
    const FitOutcome out = build_outcome(start, map, map.free_of(k.values), Termination::Converged,
                                         0, d.omegas, d.impedances, d.weights, counter);
    EXPECT_EQ(out.termination, k.expected) << k.values[1] << " " << k.values[3];
    EXPECT_EQ(out.success, k.expected == Termination::Converged);
    const bool warned = std::any_of(out.warnings.begin(), out.warnings.end(), [](const auto& w) {
      return w.find(" ran off to ") != std::string::npos;
    });
    EXPECT_EQ(warned, k.expected == Termination::Runaway);
  }
}

// Residual count against parameter count decides whether standard errors
// exist; a singular J^T J removes them without failing.
TEST(BuildOutcome, StandardErrorPresence) {
  struct Case {
    const char* circuit;
    std::vector<double> values;
    std::size_t points;
    bool present;
  };
  const Case cases[] = {
      {"R0-p(R1,CPE1)", {10.0, 100.0, 1e-4, 0.8}, 2, false},  // 2N = P
      {"R0-p(R1,CPE1)", {10.0, 100.0, 1e-4, 0.8}, 1, false},  // 2N < P
      {"R0-p(R1,CPE1)", {10.0, 100.0, 1e-4, 0.8}, 3, true},
      {"R0-(R1,C1)", {10.0, 100.0, 1e-4}, 2, true},  // 2N = P + 1
      {"R0-R1", {5.0, 5.0}, 4, false},               // identical columns
      {"R0-R1-R2-R3-R4", {5.0, 5.0, 5.0, 5.0, 5.0}, 4, false},
  };
  for (const auto& c : cases) {
    const SeriesList circuit = rebuild(circuit_of(c.circuit), c.values);
    std::vector<Complex> z;
    for (std::size_t i = 0; i < c.points; ++i) z.push_back({20.0 + i, -3.0 * i});
    const Data d = unit_weighted(z);
    EvalCounter counter;
    const FitOutcome out =
        build_outcome(circuit, c.values, true, 0, d.omegas, d.impedances, d.weights, counter);
    EXPECT_EQ(out.stderr_.has_value(), c.present) << c.circuit << " N=" << c.points;
    if (out.stderr_) {
      EXPECT_EQ(out.stderr_->size(), c.values.size());
      for (double s : *out.stderr_) EXPECT_TRUE(std::isfinite(s)) << c.circuit;
    }
  }
}

TEST(BuildOutcome, DivisorIsOneWhenResidualsExceedParametersByOne) {
  // R0 with one point: 2N - P = 1, J^T J = 1, so stderr = sqrt(chi2).
  const Data d = unit_weighted({{1.0, 0.5}});
  EvalCounter counter;
  const FitOutcome out =
      build_outcome(circuit_of("R0"), {4.0}, true, 0, d.omegas, d.impedances, d.weights, counter);
  EXPECT_EQ(out.chi_square, 9.0 + 0.25);
  EXPECT_NEAR((*out.stderr_)[0], std::sqrt(9.25), 1e-9);
}

}  // namespace
}  // namespace korvex
