#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "common/pool.hpp"
#include "fit/residuals.hpp"

namespace korvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

SeriesList tree(const std::string& text) { return std::get<SeriesList>(parse(text)); }

// A measured spectrum owned by the test, with the Spectrum view over it.
struct Data {
  SeriesList circuit;
  std::vector<double> omegas;
  std::vector<Complex> z;
  std::vector<double> w;
  Spectrum view() const { return {circuit, omegas, z, w}; }
};

// The circuit's own impedance at `n` log-spaced frequencies, perturbed a little.
Data synthetic(const std::string& text, std::size_t n, Weighting weighting = Weighting::Modulus) {
  Data d{tree(text), {}, {}, {}};
  for (std::size_t i = 0; i < n; ++i) {
    d.omegas.push_back(kTwoPi * std::pow(10.0, -1.0 + 5.0 * i / n));
    const Complex z = impedance(d.circuit, d.omegas.back());
    d.z.push_back({z.re * 1.01, z.im * 0.98 + 0.1});
  }
  d.w = compute_weights(d.z, weighting);
  return d;
}

TEST(Weights, ModulusAndUnit) {
  const std::vector<Complex> z{{3.0, 4.0}, {0.0, 0.0}, {kNaN, 1.0}, {1e-40, 0.0}, {-5.0, 12.0}};
  EXPECT_EQ(compute_weights(z, Weighting::Modulus),
            (std::vector<double>{5.0, 1e-30, 1e-30, 1e-30, 13.0}));
  EXPECT_EQ(compute_weights(z, Weighting::Unit), std::vector<double>(5, 1.0));
  EXPECT_TRUE(compute_weights({}, Weighting::Modulus).empty());
  EXPECT_TRUE(compute_weights({}, Weighting::Unit).empty());
}

TEST(Residuals, ExactModelGivesZeros) {
  Data d = synthetic("R0-(R1,CPE1)-W2", 30);
  for (std::size_t i = 0; i < d.omegas.size(); ++i) d.z[i] = impedance(d.circuit, d.omegas[i]);
  d.w = compute_weights(d.z, Weighting::Modulus);
  EvalCounter counter;
  const auto r = residuals(d.view(), param_values(d.circuit), counter);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, std::vector<double>(60, 0.0));
  EXPECT_EQ(cost(*r), 0.0);
}

TEST(Residuals, SignAndWeight) {
  // "R0-C1" at omega 1 with r0 = 10 and c1 = 0.5 is exactly 10 - 2j.
  const SeriesList t = tree("R0-C1");
  const std::vector<double> omegas{1.0};
  const std::vector<Complex> z{{9.0, -3.0}};
  const std::vector<double> params{10.0, 0.5};
  EvalCounter counter;
  const auto unit_w = compute_weights(z, Weighting::Unit);
  EXPECT_EQ(*residuals({t, omegas, z, unit_w}, params, counter), (std::vector<double>{1.0, 1.0}));
  const auto mod_w = compute_weights(z, Weighting::Modulus);
  const double m = std::sqrt(90.0);
  const auto r = *residuals({t, omegas, z, mod_w}, params, counter);
  EXPECT_DOUBLE_EQ(r[0], 1.0 / m);
  EXPECT_DOUBLE_EQ(r[1], 1.0 / m);
  EXPECT_DOUBLE_EQ(cost(r), 1.0 / 90.0);
  EXPECT_EQ(counter.value(), 2u);

  // No points: an empty vector, still one evaluation; the cost sums from -0.0.
  const auto none = *residuals({t, {}, {}, {}}, params, counter);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(counter.value(), 3u);
  EXPECT_TRUE(std::signbit(cost(none)));
  EXPECT_FALSE(residuals({t, omegas, z, unit_w}, std::vector<double>{10.0}, counter).has_value());
}

TEST(Jacobian, Step) {
  EXPECT_EQ(std::cbrt(DBL_EPSILON), kCbrtEpsilon);
  EXPECT_DOUBLE_EQ(jacobian_step(0.0), 6.0554544523933395e-14);
  EXPECT_DOUBLE_EQ(jacobian_step(1000.0), 6.0554544523933395e-03);
  EXPECT_DOUBLE_EQ(jacobian_step(-1000.0), 6.0554544523933395e-03);
  EXPECT_EQ(jacobian_step(kNaN), jacobian_step(0.0));
  EXPECT_EQ(jacobian_step(5e-9), jacobian_step(0.0));
}

// Column j recomputed from two residual calls, as the definition reads.
std::vector<double> reference_column(const Data& d, std::vector<double> p, std::size_t j) {
  EvalCounter scratch;
  const double h = jacobian_step(p[j]);
  const double x = p[j];
  p[j] = x + h;
  const auto plus = *residuals(d.view(), p, scratch);
  p[j] = x - h;
  const auto minus = *residuals(d.view(), p, scratch);
  std::vector<double> col(plus.size());
  for (std::size_t k = 0; k < col.size(); ++k) col[k] = (plus[k] - minus[k]) / (h + h);
  return col;
}

TEST(Jacobian, ColumnsCountsAndOrder) {
  // Small work runs inline, large work on the pool: both must match the
  // definition exactly and count 2P evaluations.
  for (std::size_t n : {0u, 3u, 60u, 2000u}) {
    const Data d = synthetic("L0-R0-(R1-W1,CPE1)-(R2-Wo2,CPE2)", n);
    const std::vector<double> p = param_values(d.circuit);
    EvalCounter counter;
    const auto cols = jacobian_columns(d.view(), p, counter);
    ASSERT_TRUE(cols.has_value());
    EXPECT_EQ(counter.value(), 2 * p.size()) << n;
    ASSERT_EQ(cols->size(), p.size());
    std::vector<double> packed(p.size() * 2 * n, -1.0);
    EvalCounter counter2;
    ASSERT_TRUE(jacobian_into(d.view(), p, counter2, packed));
    for (std::size_t j = 0; j < p.size(); ++j) {
      const auto expected = reference_column(d, p, j);
      EXPECT_EQ((*cols)[j], expected) << n << " column " << j;
      EXPECT_EQ(std::vector<double>(packed.begin() + j * 2 * n, packed.begin() + (j + 1) * 2 * n),
                expected);
    }
  }
}

TEST(Jacobian, UnclampedAndUnusedParameters) {
  Data d = synthetic("R0-C1", 4, Weighting::Unit);
  for (Complex& z : d.z) z.re = 0.0;  // keeps the tiny differences free of cancellation
  // r0 = 1e-20: the minus step is a negative resistance and is still used.
  // A fourth value beyond the circuit's count gets a zero column.
  const std::vector<double> p{1e-20, 1e-3, 5.0};
  EvalCounter counter;
  const auto cols = *jacobian_columns(d.view(), p, counter);
  ASSERT_EQ(cols.size(), 3u);
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_NEAR(cols[0][2 * i], 1.0, 1e-6);
    EXPECT_EQ(cols[0][2 * i + 1], 0.0);
  }
  EXPECT_EQ(cols[2], std::vector<double>(8, 0.0));
  EXPECT_EQ(counter.value(), 6u);
  EvalCounter none;
  EXPECT_TRUE(jacobian_columns(d.view(), {}, none)->empty());
  EXPECT_EQ(none.value(), 0u);
}

TEST(Jacobian, FromInsideAWorkerTask) {
  // A fit running as a pool task computes its Jacobian there (nested use).
  const Data d = synthetic("R0-(R1,CPE1)-(R2-W2,CPE2)", 300);
  const std::vector<double> p = param_values(d.circuit);
  EvalCounter reference_counter;
  const auto reference = *jacobian_columns(d.view(), p, reference_counter);
  EvalCounter shared;
  std::vector<int> ok(8, 0);
  parallel_for(8, 1, [&](std::size_t i) {
    const auto cols = jacobian_columns(d.view(), p, shared);
    ok[i] = cols && *cols == reference;
  });
  EXPECT_EQ(ok, std::vector<int>(8, 1));
  EXPECT_EQ(shared.value(), 8 * 2 * p.size());
}

}  // namespace
}  // namespace korvex
