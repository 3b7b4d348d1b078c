#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "elements/element.hpp"

namespace korvex {
namespace {

Complex z_of(Kind kind, std::initializer_list<double> fields, double omega) {
  Element e{kind, {}};
  std::size_t i = 0;
  for (double f : fields) e.fields[i++] = f;
  return impedance_of(e, omega);
}

TEST(Catalogue, ParserSpellings) {
  EXPECT_EQ(default_for_code("CPE")->kind, Kind::Cpe);
  EXPECT_EQ(default_for_code("Cpe")->kind, Kind::Cpe);
  EXPECT_EQ(default_for_code("TLMQ")->kind, Kind::Tlmq);
  for (const char* bad : {"cpe", "ZARC", "LA", "X", "", "p"}) {
    EXPECT_FALSE(default_for_code(bad).has_value()) << bad;
  }
  const auto t = default_for_code("T");
  EXPECT_EQ(t->values().size(), 4u);
}

TEST(Catalogue, Bounds) {
  EXPECT_EQ(bounds("alpha"), std::make_pair(0.0, 1.0));
  EXPECT_EQ(bounds("gamma"), std::make_pair(0.0, 1.0));
  EXPECT_EQ(bounds("phi").first, 1e-12);
  EXPECT_TRUE(std::isinf(bounds("k_tau").second));
}

TEST(Formulas, SimpleKinds) {
  const double w = 100.0;
  const Complex c = z_of(Kind::C, {1e-3}, w);
  EXPECT_DOUBLE_EQ(c.re, 0.0);
  EXPECT_DOUBLE_EQ(c.im, -10.0);
  const Complex l = z_of(Kind::L, {1e-3}, w);
  EXPECT_DOUBLE_EQ(l.im, 0.1);
  const Complex k = z_of(Kind::K, {2.0, 0.01}, w);  // 2 / (1 + j)
  EXPECT_DOUBLE_EQ(k.re, 1.0);
  EXPECT_DOUBLE_EQ(k.im, -1.0);
}

TEST(Formulas, ExponentShortcuts) {
  for (double w : {0.1, 3.0, 1e4}) {
    const Complex cpe1 = z_of(Kind::Cpe, {2e-3, 1.0}, w);
    const Complex cap = z_of(Kind::C, {2e-3}, w);
    EXPECT_EQ(cpe1.re, cap.re);
    EXPECT_EQ(cpe1.im, cap.im);
    const Complex cpe0 = z_of(Kind::Cpe, {4.0, 0.0}, w);
    EXPECT_EQ(cpe0.re, 0.25);
    EXPECT_EQ(cpe0.im, 0.0);
    const Complex la1 = z_of(Kind::La, {1e-3, 1.0}, w);
    const Complex ind = z_of(Kind::L, {1e-3}, w);
    EXPECT_EQ(la1.re, ind.re);
    EXPECT_EQ(la1.im, ind.im);
    const Complex la0 = z_of(Kind::La, {1e-3, 0.0}, w);
    EXPECT_EQ(la0.re, 1.0);
    EXPECT_EQ(la0.im, 0.0);
    const Complex zarc = z_of(Kind::Zarc, {5.0, 1e-3, 1.0}, w);
    const Complex kk = z_of(Kind::K, {5.0, 1e-3}, w);
    EXPECT_EQ(zarc.re, kk.re);
    EXPECT_EQ(zarc.im, kk.im);
  }
}

TEST(Formulas, Saturation) {
  // Re u = sqrt(tau * omega / 2) > 20 -> tanh = 1 exactly, Z = z0 / u.
  const double w = 1e3, tau = 10.0, z0 = 2.0;
  const Complex u = csqrt({0.0, tau * w});
  const Complex expected = cdiv({z0, 0.0}, u);
  const Complex wo = z_of(Kind::Wo, {z0, tau}, w);
  const Complex ws = z_of(Kind::Ws, {z0, tau}, w);
  EXPECT_EQ(wo.re, expected.re);
  EXPECT_EQ(wo.im, expected.im);
  EXPECT_EQ(ws.re, expected.re);
  EXPECT_EQ(ws.im, expected.im);
  // T with |Re beta| > 20: a * sign / beta.
  const Complex beta = csqrt({1.0, 1.0 * w});
  const Complex t = z_of(Kind::T, {3.0, 7.0, 1.0, 1.0}, w);
  const Complex t_expected = cdiv({3.0, 0.0}, beta);
  EXPECT_EQ(t.re, t_expected.re);
  EXPECT_EQ(t.im, t_expected.im);
}

TEST(Formulas, WarburgAtZeroIsNan) {
  const Complex w = z_of(Kind::W, {1.0}, 0.0);
  EXPECT_TRUE(std::isnan(w.re));
  EXPECT_TRUE(std::isnan(w.im));
}

// Golden values against the closed forms, evaluated independently.
TEST(Formulas, Golden) {
  const double w = 2.0;
  const Complex warburg = z_of(Kind::W, {3.0}, w);
  EXPECT_NEAR(warburg.re, 3.0 / std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(warburg.im, -3.0 / std::sqrt(2.0), 1e-15);
  const Complex g = z_of(Kind::G, {1.0, 0.5}, w);  // 1 / sqrt(1 + j)
  const double mod = std::pow(2.0, -0.25), arg = -M_PI / 8;
  EXPECT_NEAR(g.re, mod * std::cos(arg), 1e-15);
  EXPECT_NEAR(g.im, mod * std::sin(arg), 1e-15);
  const Complex cpe = z_of(Kind::Cpe, {0.5, 0.5}, w);  // 1 / (0.5 * sqrt(2j)) = 1/(0.5(1+j))
  EXPECT_NEAR(cpe.re, 1.0, 1e-15);
  EXPECT_NEAR(cpe.im, -1.0, 1e-15);
}

// The direct admittances of R, C and CPE are the reciprocals of their
// impedances to the last bits, out to the values and frequencies where the
// reciprocal under- or overflows (and takes over).
TEST(Formulas, DirectAdmittanceIsTheReciprocal) {
  const double values[] = {1e-300, 1e-160, 1e-12, 2e-5, 0.7, 40.0, 1e12, 1e160, 0.0, -3.0};
  for (const Kind kind : {Kind::R, Kind::C, Kind::Cpe}) {
    for (const double v : values) {
      for (const double alpha : {0.5, 0.85, 1.0}) {
        for (const double w : {0.0, 1e-3, 3.0, 1e6, 1e200}) {
          const double p[] = {v, alpha};
          const FrequencyTerms t(w);
          const Complex y = kind_admittance(kind, p, t);
          const Complex r = creciprocal(kind_impedance(kind, p, t));
          const double scale = std::hypot(r.re, r.im);
          if (!std::isfinite(scale) || scale == 0.0) {
            EXPECT_TRUE(std::memcmp(&y, &r, sizeof y) == 0) << code(kind) << v << " " << w;
            continue;
          }
          EXPECT_LE(std::hypot(y.re - r.re, y.im - r.im), 1e-14 * scale) << code(kind) << v;
        }
      }
    }
  }
}

// The purely imaginary shortcut of cpow must equal the polar formula bit for bit.
TEST(ComplexMath, ImaginaryPowerShortcutIsExact) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> exponent(-12.0, 12.0), power(-1.5, 1.5);
  for (int i = 0; i < 20000; ++i) {
    const double y = (i % 2 ? -1.0 : 1.0) * std::pow(10.0, exponent(rng));
    const double p = i % 7 == 0 ? 0.25 * (i % 5) : power(rng);
    for (double re : {0.0, -0.0}) {
      const Complex got = cpow({re, y}, p);
      if (p == 1.0 || p == 0.5 || p == 0.0) continue;
      const double m = std::pow(std::hypot(re, y), p);
      const double t = p * std::atan2(y, re);
      EXPECT_EQ(got.re, m * std::cos(t)) << y << " ^ " << p;
      EXPECT_EQ(got.im, m * std::sin(t)) << y << " ^ " << p;
    }
  }
  // An infinite imaginary part agrees too; zero and NaN take the general path.
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(cpow({0.0, inf}, 0.8).re, std::pow(inf, 0.8) * std::cos(0.8 * std::atan2(inf, 0.0)));
  EXPECT_TRUE(std::isnan(cpow({0.0, std::nan("")}, 0.8).re));
  const Complex origin = cpow({0.0, 0.0}, 0.8);
  EXPECT_EQ(origin.re, 0.0);
  EXPECT_EQ(origin.im, 0.0);
}

}  // namespace
}  // namespace korvex
