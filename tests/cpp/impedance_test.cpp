#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"

namespace korvex {
namespace {

SeriesList tree(const std::string& text, std::vector<double> values = {}) {
  SeriesList t = std::get<SeriesList>(parse(text));
  return values.empty() ? t : rebuild(t, values);
}

// Bitwise equality, so that NaN results compare equal to themselves.
// Bit for bit, except that any NaN equals any NaN: which operand's NaN (and
// sign) an operation passes on depends on the compiler's choices, not on us.
bool same_double(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof(double)) == 0;
}

bool same(Complex a, Complex b) { return same_double(a.re, b.re) && same_double(a.im, b.im); }

TEST(Impedance, DirectCurrentAndHighFrequency) {
  const SeriesList rc = tree("R0-(R1,C1)", {10.0, 100.0, 1e-6});
  const Complex dc = impedance(rc, 0.0);  // 1 / (0 + 0j) in the capacitor branch
  EXPECT_TRUE(std::isnan(dc.re));
  EXPECT_TRUE(std::isnan(dc.im));
  const Complex high = impedance(rc, 1e12);
  EXPECT_NEAR(high.re, 10.0, 1e-9);
  EXPECT_NEAR(high.im, 0.0, 1e-6);
}

TEST(Impedance, ParallelGroups) {
  const Complex halves = impedance(tree("(R1,R2)", {2.0, 2.0}), 5.0);
  EXPECT_EQ(halves.re, 1.0);
  EXPECT_EQ(halves.im, 0.0);
  const Complex single = impedance(tree("(R1)", {7.0}), 5.0);
  EXPECT_DOUBLE_EQ(single.re, 7.0);
  EXPECT_EQ(single.im, 0.0);

  EXPECT_TRUE(same(impedance(SeriesList{}, 3.0), {0.0, 0.0}));
  // No branches: admittance 0. An empty branch: impedance 0. Both give NaN.
  const SeriesList no_branches{Node::make_parallel({})};
  const SeriesList empty_branch{Node::make_parallel({SeriesList{}})};
  for (const SeriesList* t : {&no_branches, &empty_branch}) {
    const Complex z = impedance(*t, 3.0);
    EXPECT_TRUE(std::isnan(z.re) && std::isnan(z.im));
  }
}

const char* const kCircuits[] = {
    "R0-(R1,C1)",
    "L0-R0-(R1-W1,CPE1)-(R2-Wo2,CPE2)",
    "La0-(Ws1,G2)-Gs3-K4-Zarc5-TLMQ6-T7",
    "R0-((R1,C1)-(R2,(R3,C3)),L4)-Cpe5",
};

TEST(Impedance, WithParamsEqualsRebuildExactly) {
  std::mt19937_64 rng(12345);
  std::uniform_real_distribution<double> positive(1e-3, 10.0), exponent(0.0, 1.0);
  const double omegas[] = {0.0, -3.0, 1e-6, 0.5, 1.0, 62.8, 1e4, 1e9};
  for (const char* text : kCircuits) {
    const SeriesList t = tree(text);
    const auto bounds = param_bounds(t);
    for (int trial = 0; trial < 20; ++trial) {
      std::vector<double> v;
      for (const auto& b : bounds) {
        double x = b.second == 1.0 ? exponent(rng) : positive(rng);
        if (trial == 0) x = b.second == 1.0 ? (v.size() % 2 ? 0.5 : 1.0) : x;  // shortcuts
        if (trial == 1) x = -x;                                                // unphysical
        v.push_back(x);
      }
      const SeriesList rebuilt = rebuild(t, v);
      for (double w : omegas) {
        const auto z = series_impedance_with_params(t, v, w);
        ASSERT_TRUE(z.has_value());
        EXPECT_TRUE(same(*z, impedance(rebuilt, w))) << text << " at " << w;
      }
    }
  }
}

TEST(Impedance, WithParamsValueCount) {
  const SeriesList t = tree("R0-(R1,CPE1)");  // 4 parameters
  const std::vector<double> v{1.0, 2.0, 1e-3, 0.8, 99.0};
  const auto exact = series_impedance_with_params(t, std::span(v).first(4), 3.0);
  const auto extra = series_impedance_with_params(t, v, 3.0);
  ASSERT_TRUE(exact && extra);
  EXPECT_TRUE(same(*exact, *extra));
  for (std::size_t n = 0; n < 4; ++n) {
    EXPECT_FALSE(series_impedance_with_params(t, std::span(v).first(n), 3.0).has_value()) << n;
  }
  EXPECT_TRUE(series_impedance_with_params(SeriesList{}, {}, 3.0).has_value());
}

TEST(Impedance, SpectrumMatchesSingleEvaluation) {
  const SeriesList t = tree(kCircuits[1]);
  // Around the switch to the worker pool, and a size with a ragged last chunk.
  for (std::size_t n : {0u, 1u, 999u, 1000u, 4099u}) {
    std::vector<double> f(n);
    for (std::size_t i = 0; i < n; ++i) f[i] = std::pow(10.0, -2.0 + 7.0 * i / (n + 1.0));
    if (n > 1) f[n / 2] = 0.0;
    std::vector<Complex> out(n, Complex{-1.0, -1.0});
    impedance_spectrum(t, f, out);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(same(out[i], impedance(t, f[i] * kTwoPi))) << n << " " << i;
    }
  }
}

TEST(Impedance, DeepestAcceptedNesting) {
  std::string text;
  for (std::size_t i = 0; i < kMaxNestingDepth; ++i) text += "(R" + std::to_string(i) + ",";
  text += "C0" + std::string(kMaxNestingDepth, ')');
  const SeriesList t = tree(text);
  const std::vector<double> v = param_values(t);
  const auto z = series_impedance_with_params(t, v, 10.0);
  ASSERT_TRUE(z.has_value());
  EXPECT_TRUE(same(*z, impedance(t, 10.0)));
  EXPECT_TRUE(std::isfinite(z->re));
}

}  // namespace
}  // namespace korvex
