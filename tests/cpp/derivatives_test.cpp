#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "circuit/gradient.hpp"
#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "elements/derivatives.hpp"

namespace korvex {
namespace {

double modulus(Complex z) { return std::hypot(z.re, z.im); }

// Random field values: exponents in (0.3, 0.95), others log-uniform over
// five decades.
std::vector<double> random_fields(Kind kind, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> exponent(0.3, 0.95), decade(-3.0, 2.0);
  const KindInfo& info = kind_info(kind);
  std::vector<double> p(info.field_count);
  for (std::size_t k = 0; k < p.size(); ++k) {
    const bool bounded = bounds(info.field_names[k]).second == 1.0;
    p[k] = bounded ? exponent(rng) : std::pow(10.0, decade(rng));
  }
  return p;
}

// Central difference of f at p[k], with a step that balances truncation and
// rounding for smooth functions.
template <class F>
Complex central_difference(F f, std::vector<double> p, std::size_t k) {
  const double h = 1e-5 * std::fabs(p[k]);
  const double p0 = p[k];
  p[k] = p0 + h;
  const Complex plus = f(p);
  p[k] = p0 - h;
  const Complex minus = f(p);
  return {(plus.re - minus.re) / (2 * h), (plus.im - minus.im) / (2 * h)};
}

// |analytic - numeric| within 1e-7 of the derivative's size; a derivative
// that is tiny next to the impedance's own scale (|Z| / |p|) is measured
// against that scale instead.
void expect_close(Complex analytic, Complex numeric, Complex z, double p, const std::string& what) {
  const double scale = std::max(modulus(numeric), 1e-3 * modulus(z) / std::fabs(p));
  EXPECT_LE(modulus(analytic - numeric), 1e-7 * scale)
      << what << ": analytic " << analytic.re << "," << analytic.im << " numeric " << numeric.re
      << "," << numeric.im;
}

TEST(ElementDerivatives, EveryKindMatchesCentralDifferences) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> decade(-2.0, 5.0);
  for (std::size_t kind_index = 0; kind_index < kKindCount; ++kind_index) {
    const Kind kind = static_cast<Kind>(kind_index);
    for (int trial = 0; trial < 40; ++trial) {
      const std::vector<double> p = random_fields(kind, rng);
      const FrequencyTerms w(std::pow(10.0, decade(rng)));
      Complex dz[kMaxFields];
      const Complex z = kind_impedance_gradient(kind, p.data(), w, dz);
      const Complex reference = kind_impedance(kind, p.data(), w);
      EXPECT_LE(modulus(z - reference), 1e-12 * modulus(reference)) << code(kind);
      auto f = [&](const std::vector<double>& q) { return kind_impedance(kind, q.data(), w); };
      for (std::size_t k = 0; k < p.size(); ++k) {
        expect_close(dz[k], central_difference(f, p, k), z, p[k],
                     std::string(code(kind)) + " field " + std::to_string(k));
      }
    }
  }
}

// The exact shortcuts of the powers (exponent 1, 0.5, 0) and the edge values
// (zero, negative, infinite and NaN fields; omega 0) take cpow as the formulas
// do: the gradient's Z is finite where theirs is, and equal to it; at a
// shortcut the derivatives still match central differences.
TEST(ElementDerivatives, PowerShortcutsAndEdgeValuesFollowTheFormulas) {
  const double inf = std::numeric_limits<double>::infinity();
  for (const Kind kind : {Kind::La, Kind::Cpe, Kind::Zarc, Kind::Tlmq}) {
    const KindInfo& info = kind_info(kind);
    const std::size_t exponent = info.field_count - 1;
    for (const double e : {1.0, 0.5, 0.0}) {
      for (std::size_t k = 0; k < exponent; ++k) {
        for (const double value : {0.3, 0.0, -2.0, inf, std::nan("")}) {
          for (const double omega : {3.0, 0.0}) {
            std::vector<double> p(info.defaults.begin(), info.defaults.begin() + info.field_count);
            p[exponent] = e;
            p[k] = value;
            const FrequencyTerms w(omega);
            Complex dz[kMaxFields];
            const Complex z = kind_impedance_gradient(kind, p.data(), w, dz);
            const Complex reference = kind_impedance(kind, p.data(), w);
            const std::string what = std::string(code(kind)) + " e=" + std::to_string(e) + " p" +
                                     std::to_string(k) + "=" + std::to_string(value) +
                                     " omega=" + std::to_string(omega);
            for (const auto& [got, want] : {std::pair{z.re, reference.re}, {z.im, reference.im}}) {
              EXPECT_EQ(std::isfinite(got), std::isfinite(want)) << what;
              if (std::isfinite(want)) EXPECT_NEAR(got, want, 1e-12 * modulus(reference)) << what;
            }
            if (value != 0.3 || omega == 0.0 || e == 0.0) continue;
            auto f = [&](const std::vector<double>& q) {
              return kind_impedance(kind, q.data(), w);
            };
            for (std::size_t j = 0; j < p.size(); ++j) {
              expect_close(dz[j], central_difference(f, p, j), z, p[j],
                           what + " field " + std::to_string(j));
            }
          }
        }
      }
    }
  }
}

TEST(CircuitGradient, NestedSeriesAndParallelMatchCentralDifferences) {
  const SeriesList circuit =
      std::get<SeriesList>(parse("R0-p(R1,CPE1)-p(R2-W2,CPE2)-p(R3-p(Zarc3,C3),L3)-T4-Gs5-TLMQ6"));
  const std::vector<double> p = param_values(circuit);
  // One block of frequencies: every parameter's derivative at each of them.
  const std::vector<double> omegas{0.05, 3.0, 700.0, 2e5};
  const std::vector<FrequencyTerms> terms(omegas.begin(), omegas.end());
  const std::size_t n = omegas.size();
  std::vector<Complex> z(n), dz(p.size() * n);
  ASSERT_TRUE(impedance_gradient(circuit, p, terms, z, dz));
  for (std::size_t i = 0; i < n; ++i) {
    auto f = [&](const std::vector<double>& q) {
      return *series_impedance_with_params(circuit, q, omegas[i]);
    };
    EXPECT_LE(modulus(z[i] - f(p)), 1e-12 * modulus(z[i]));
    for (std::size_t k = 0; k < p.size(); ++k) {
      expect_close(dz[k * n + i], central_difference(f, p, k), z[i], p[k],
                   "parameter " + std::to_string(k));
    }
  }
  std::vector<Complex> short_dz(p.size() * n - 1);
  EXPECT_FALSE(impedance_gradient(circuit, p, terms, z, short_dz));
}

}  // namespace
}  // namespace korvex
