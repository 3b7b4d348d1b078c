// The block evaluation (whole frequency lists, element by element) must give
// every value bit for bit as the single-frequency evaluation does, for every
// element kind, nested trees, awkward values and awkward frequencies.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "fit/residuals.hpp"

namespace korvex {
namespace {

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Identical bits, except that any NaN matches any NaN (the payload of a NaN
// is not part of the result).
bool same_bits(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof(double)) == 0;
}
bool same(Complex a, Complex b) { return same_bits(a.re, b.re) && same_bits(a.im, b.im); }

std::string show(Complex z) {
  std::ostringstream s;
  s.precision(17);
  s << "(" << z.re << ", " << z.im << ")";
  return s.str();
}

// Angular frequencies: signed zeros, negatives, non-finite, subnormal, huge,
// tiny, and a log-spaced sweep of both signs. More than two blocks long, with
// the awkward ones spread over the block boundaries.
std::vector<double> awkward_omegas() {
  std::vector<double> w = {
      0.0,   -0.0,   1.0,  -1.0, kNan,    kInf, -kInf,   5e-324, -5e-324, 1e-300,
      1e300, -1e300, 1e-6, 62.8, 2.5e-16, 3e7,  1.7e308, -2e-12, 0.5,     6.283185307179586};
  for (int i = 0; i < 260; ++i) {
    const double x = std::pow(10.0, -9.0 + 20.0 * i / 259.0);
    w.push_back(i % 7 == 3 ? -x : x);
  }
  const std::vector<double> sprinkle = {0.0, kNan, -kInf, -0.0, kInf};
  for (std::size_t k = 0; k < sprinkle.size(); ++k) w[127 + 2 * k] = sprinkle[k];
  return w;
}

// Parameter values: zero of both signs, the exact exponent shortcuts, the
// saturation region of the tanh forms, non-finite and extreme magnitudes.
const double kSpecialValues[] = {0.0,    -0.0,  1.0, 0.5,  -1.0, kNan, kInf, -kInf,
                                 1e-300, 1e300, 2.5, -3.7, 0.8,  1e-5, 1e5,  0.25};

double random_value(std::mt19937_64& rng) {
  std::uniform_int_distribution<int> pick(0, 3);
  std::uniform_int_distribution<std::size_t> special(0, std::size(kSpecialValues) - 1);
  std::uniform_real_distribution<double> unit(0.0, 1.0), exponent(-8.0, 8.0);
  switch (pick(rng)) {
    case 0: return kSpecialValues[special(rng)];
    case 1: return unit(rng);
    case 2: return std::pow(10.0, exponent(rng));
    default: return -std::pow(10.0, exponent(rng));
  }
}

Element random_element(std::mt19937_64& rng, Kind kind) {
  Element e;
  e.kind = kind;
  for (std::size_t f = 0; f < field_count(kind); ++f) e.fields[f] = random_value(rng);
  return e;
}

SeriesList random_series(std::mt19937_64& rng, int depth) {
  std::uniform_int_distribution<int> length(depth == 0 ? 1 : 0, 4), kind(0, kKindCount - 1),
      branches(0, 3), coin(0, 2);
  SeriesList list;
  const int n = length(rng);
  for (int i = 0; i < n; ++i) {
    if (depth < 4 && coin(rng) == 0) {
      std::vector<SeriesList> b;
      const int nb = branches(rng);
      for (int k = 0; k < nb; ++k) b.push_back(random_series(rng, depth + 1));
      list.push_back(Node::make_parallel(std::move(b)));
    } else {
      list.push_back(Node::make_element(random_element(rng, static_cast<Kind>(kind(rng)))));
    }
  }
  return list;
}

// Checks both block forms against the single-frequency forms at `omegas`,
// with the tree's own values and with `params` laid over the tree.
void expect_block_matches(const SeriesList& t, const std::vector<double>& params,
                          const std::vector<double>& omegas, const std::string& what) {
  const std::size_t n = omegas.size();
  std::vector<Complex> block(n, Complex{-7.0, -7.0});
  impedance_block(t, omegas, block);
  for (std::size_t i = 0; i < n; ++i) {
    const Complex single = impedance(t, omegas[i]);
    ASSERT_TRUE(same(block[i], single)) << what << " tree values, w = " << omegas[i] << " (" << i
                                        << "): " << show(block[i]) << " vs " << show(single);
  }
  std::vector<Complex> with(n, Complex{-7.0, -7.0});
  ASSERT_TRUE(series_impedance_with_params_block(t, params, omegas, with)) << what;
  for (std::size_t i = 0; i < n; ++i) {
    const auto single = series_impedance_with_params(t, params, omegas[i]);
    ASSERT_TRUE(single.has_value()) << what;
    ASSERT_TRUE(same(with[i], *single)) << what << " params, w = " << omegas[i] << " (" << i
                                        << "): " << show(with[i]) << " vs " << show(*single);
  }
}

class BlockByKind : public ::testing::TestWithParam<int> {};

TEST_P(BlockByKind, EveryValueMatchesSingleFrequency) {
  const Kind kind = static_cast<Kind>(GetParam());
  const std::vector<double> omegas = awkward_omegas();
  std::mt19937_64 rng(1000 + GetParam());
  const std::size_t fields = field_count(kind);
  std::vector<Element> cases;
  // Each special value in each field, the others at ordinary values.
  for (std::size_t f = 0; f < fields; ++f) {
    for (double v : kSpecialValues) {
      Element e = random_element(rng, kind);
      for (std::size_t g = 0; g < fields; ++g) e.fields[g] = 0.3 + 0.7 * g;
      e.fields[f] = v;
      cases.push_back(e);
    }
  }
  for (int k = 0; k < 40; ++k) cases.push_back(random_element(rng, kind));

  for (const Element& e : cases) {
    std::ostringstream what;
    what.precision(17);
    what << code(kind) << "(";
    for (double v : e.values()) what << v << " ";
    what << ")";

    // The element alone, through the kernel itself.
    std::vector<FrequencyTerms> terms;
    for (double w : omegas) terms.emplace_back(w);
    std::vector<double> re(omegas.size(), -7.0), im(omegas.size(), -7.0);
    kind_impedance_block(kind, e.fields.data(), terms.data(), terms.size(), re.data(), im.data());
    for (std::size_t i = 0; i < omegas.size(); ++i) {
      const Complex single = kind_impedance(kind, e.fields.data(), terms[i]);
      ASSERT_TRUE(same({re[i], im[i]}, single)) << what.str() << " at w = " << omegas[i] << ": "
                                                << show({re[i], im[i]}) << " vs " << show(single);
    }

    // Alone (the series sum starts from 0 + 0j, which turns -0 into +0).
    expect_block_matches(SeriesList{Node::make_element(e)},
                         std::vector<double>(e.values().begin(), e.values().end()), omegas,
                         what.str() + " alone");

    // In series with a resistor and inside a parallel group, both forms.
    const Element r{Kind::R, {2.0}};
    const SeriesList t{Node::make_element(r),
                       Node::make_parallel(
                           {SeriesList{Node::make_element(e)}, SeriesList{Node::make_element(r)}})};
    std::vector<double> v{2.0};
    for (double x : e.values()) v.push_back(x);
    v.push_back(2.0);
    expect_block_matches(t, v, omegas, what.str());
  }
}

INSTANTIATE_TEST_SUITE_P(AllKinds, BlockByKind, ::testing::Range(0, static_cast<int>(kKindCount)),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return std::string(code(static_cast<Kind>(info.param)));
                         });

class BlockRandomTrees : public ::testing::TestWithParam<std::size_t> {};

TEST_P(BlockRandomTrees, MatchesSingleFrequency) {
  const std::size_t n = GetParam();
  std::vector<double> omegas = awkward_omegas();
  omegas.resize(n, 1.0);
  std::mt19937_64 rng(77 + n);
  for (int trial = 0; trial < 60; ++trial) {
    const SeriesList t = random_series(rng, 0);
    // Parameter vectors unrelated to the tree's own values.
    std::vector<double> v(param_count(t));
    for (double& x : v) x = random_value(rng);
    expect_block_matches(t, v, omegas, "trial " + std::to_string(trial));
  }
}

// No frequencies, one, a block less one, exactly one block, one more, and
// several blocks with a ragged end.
INSTANTIATE_TEST_SUITE_P(Lengths, BlockRandomTrees,
                         ::testing::Values(0u, 1u, 2u, 127u, 128u, 129u, 280u));

TEST(ImpedanceBlock, ValueCount) {
  const Element r{Kind::R, {1.0}};
  const Element cpe{Kind::Cpe, {1e-3, 0.8}};
  // R0-(R1,CPE1)-(R2,(R3,CPE3)): 8 parameters, the last ones deep inside.
  const SeriesList t{
      Node::make_element(r),
      Node::make_parallel({SeriesList{Node::make_element(r)}, SeriesList{Node::make_element(cpe)}}),
      Node::make_parallel(
          {SeriesList{Node::make_element(r)},
           SeriesList{Node::make_parallel(
               {SeriesList{Node::make_element(r)}, SeriesList{Node::make_element(cpe)}})}})};
  ASSERT_EQ(param_count(t), 8u);
  const std::vector<double> v{1.0, 2.0, 1e-3, 0.8, 3.0, 4.0, 2e-3, 0.6, 99.0};
  const std::vector<double> omegas = awkward_omegas();
  for (std::size_t count = 0; count < 8; ++count) {
    std::vector<Complex> out(omegas.size(), Complex{-7.0, -7.0});
    EXPECT_FALSE(series_impedance_with_params_block(t, std::span(v).first(count), omegas, out))
        << count;
    for (const Complex& z : out) ASSERT_TRUE(same(z, {-7.0, -7.0})) << "written on failure";
    // Without frequencies nothing is drawn.
    EXPECT_TRUE(series_impedance_with_params_block(t, std::span(v).first(count), {}, {}));
  }
  std::vector<Complex> exact(omegas.size()), extra(omegas.size());
  ASSERT_TRUE(series_impedance_with_params_block(t, std::span(v).first(8), omegas, exact));
  ASSERT_TRUE(series_impedance_with_params_block(t, v, omegas, extra));
  for (std::size_t i = 0; i < omegas.size(); ++i) ASSERT_TRUE(same(exact[i], extra[i]));
  std::vector<Complex> empty(3);
  ASSERT_TRUE(series_impedance_with_params_block(SeriesList{}, {}, {{1.0, 2.0, 3.0}}, empty));
  for (const Complex& z : empty) EXPECT_TRUE(same(z, {0.0, 0.0}));
}

class BlockSpectrum : public ::testing::TestWithParam<std::size_t> {};

// impedance_spectrum, on the caller or on the pool, against one frequency at a time.
TEST_P(BlockSpectrum, MatchesSingleFrequency) {
  const std::size_t n = GetParam();
  std::mt19937_64 rng(5 + n);
  std::vector<double> f(n);
  for (std::size_t i = 0; i < n; ++i) f[i] = std::pow(10.0, -3.0 + 9.0 * i / (n + 1.0));
  const double odd[] = {0.0, -1.0, kNan, kInf, -0.0};
  for (std::size_t k = 0; k < std::size(odd) && n > 0; ++k) f[(k * 389) % n] = odd[k];
  for (int trial = 0; trial < 4; ++trial) {
    const SeriesList t = random_series(rng, 0);
    std::vector<Complex> out(n, Complex{-7.0, -7.0});
    impedance_spectrum(t, f, out);
    for (std::size_t i = 0; i < n; ++i) {
      ASSERT_TRUE(same(out[i], impedance(t, f[i] * kTwoPi))) << n << " " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, BlockSpectrum, ::testing::Values(5u, 999u, 1000u, 3001u));

// The residual vector is the per-frequency model minus the measurement over
// the weight, to the bit.
TEST(ImpedanceBlock, ResidualsMatchSingleFrequency) {
  std::mt19937_64 rng(99);
  const std::vector<double> omegas = awkward_omegas();
  const std::size_t n = omegas.size();
  std::vector<Complex> measured(n);
  for (Complex& z : measured) z = {random_value(rng), random_value(rng)};
  const std::vector<double> weights = compute_weights(measured, Weighting::Modulus);
  for (int trial = 0; trial < 20; ++trial) {
    const SeriesList t = random_series(rng, 0);
    std::vector<double> v(param_count(t));
    for (double& x : v) x = random_value(rng);
    EvalCounter counter;
    const Spectrum s{t, omegas, measured, weights};
    std::vector<double> r(2 * n);
    ASSERT_TRUE(residuals_into(s, v, counter, r));
    for (std::size_t i = 0; i < n; ++i) {
      const Complex z = *series_impedance_with_params(t, v, omegas[i]);
      ASSERT_TRUE(same_bits(r[2 * i], (z.re - measured[i].re) / weights[i])) << trial << " " << i;
      ASSERT_TRUE(same_bits(r[2 * i + 1], (z.im - measured[i].im) / weights[i]))
          << trial << " " << i;
    }
  }
}

}  // namespace
}  // namespace korvex
