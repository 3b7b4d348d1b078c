#include "nn/guesser.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <random>

#include "common/units.hpp"
#include "eisnn_builder.hpp"
#include "nn/convolution.hpp"

namespace korvex::nn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

Complex polar(double modulus, double phase) {
  return {modulus * std::cos(phase), modulus * std::sin(phase)};
}

TEST(Scales, OneCapacitivePointIsTheCentroid) {
  const std::vector<double> f = {1, 10, 100};
  const std::vector<Complex> z = {{5, 0}, {3, -4}, {2, 1}};
  const Scales s = reactive_centroid(f, z);
  EXPECT_NEAR(s.w_scale, kTwoPi * 10, 1e-12);
  EXPECT_NEAR(s.z_scale, 5.0, 1e-13);
}

TEST(Scales, ResistiveSpectrumFallsBack) {
  const std::vector<double> f = {1, 10, 100, 1000};
  const std::vector<Complex> z = {{5, 0}, {3, 1}, {8, 0}, {1, 0.5}};
  const Scales s = reactive_centroid(f, z);
  EXPECT_NEAR(s.w_scale, kTwoPi * std::pow(10.0, 1.5), 1e-9);
  EXPECT_EQ(s.z_scale, 5.0);  // upper median of 1.118, 3.162, 5, 8
}

TEST(Scales, PointsWithoutPositiveFrequencyOrModulusAreIgnored) {
  // The capacitive points have f <= 0 or |Z| = 0, so none counts.
  const std::vector<double> f = {-1, 0, 10, 100};
  const std::vector<Complex> z = {{1, -5}, {1, -5}, {0, 0}, {4, 0}};
  const Scales s = reactive_centroid(f, z);
  EXPECT_TRUE(std::isnan(s.w_scale));  // ln of the negative frequency
  EXPECT_EQ(s.z_scale, std::hypot(1.0, 5.0));
}

TEST(Interpolate, EndsTiesAndInterior) {
  const std::vector<double> xs = {0, 1, 1, 2}, ys = {0, 10, 20, 30};
  EXPECT_EQ(interpolate(xs, ys, -1), 0);
  EXPECT_EQ(interpolate(xs, ys, 0), 0);
  EXPECT_EQ(interpolate(xs, ys, 0.5), 5);
  EXPECT_EQ(interpolate(xs, ys, 1), 20);  // the later of the equal xs
  EXPECT_EQ(interpolate(xs, ys, 1.5), 25);
  EXPECT_EQ(interpolate(xs, ys, 2), 30);
  EXPECT_EQ(interpolate(xs, ys, 7), 30);
  EXPECT_TRUE(std::isnan(interpolate(xs, ys, kNaN)));
  EXPECT_EQ(interpolate(std::vector<double>{3}, std::vector<double>{4}, kNaN), 4);
  EXPECT_TRUE(std::isnan(interpolate({}, {}, 1.0)));
  // NaN entries break the ordering but never lead outside the lists.
  const std::vector<double> broken = {0, kNaN, 1, kNaN, 3};
  for (double x : {0.5, 1.0, 2.0, 2.5}) (void)interpolate(broken, ys, x);
}

TEST(Features, SortingTiesAndScales) {
  const std::vector<double> f = {1, 10, 10, 100};
  const std::vector<Complex> z = {{1, 0}, {10, 0}, {1000, 0}, {100, 0}};
  const Features a = compute_features(f, z, 3);
  // Fallback scales: Z_s = 100 (upper median), w_s = 2 pi 10 (geometric mean).
  EXPECT_EQ(a.z_scale, 100.0);
  ASSERT_EQ(a.inputs.size(), 9u);
  EXPECT_EQ(a.inputs[0], -2.0);
  EXPECT_EQ(a.inputs[1], 1.0);  // log10 1000: the later point at f = 10
  EXPECT_EQ(a.inputs[2], 0.0);
  EXPECT_EQ(a.extras[0], 0.25);
  EXPECT_DOUBLE_EQ(a.extras[1], std::log10(4.0) * 0.5);
  EXPECT_NEAR(a.inputs[6], -0.25, 1e-15);
  EXPECT_NEAR(a.inputs[8], 0.25, 1e-15);

  // Ties keep the caller's order: swapping the tied points changes the value.
  const std::vector<Complex> swapped = {{1, 0}, {1000, 0}, {10, 0}, {100, 0}};
  EXPECT_EQ(compute_features(f, swapped, 3).inputs[1], -1.0);

  // Any other order of the points gives the same features.
  const std::vector<double> rf = {100, 1, 10, 10};
  const std::vector<Complex> rz = {{100, 0}, {1, 0}, {10, 0}, {1000, 0}};
  EXPECT_EQ(compute_features(rf, rz, 3).inputs, a.inputs);
}

TEST(Features, PhaseIsUnwrapped) {
  const double pi = std::numbers::pi;
  const std::vector<double> f = {1, 10, 100};
  const std::vector<Complex> z = {polar(1, pi - 0.1), polar(1, -pi + 0.1), polar(1, pi - 0.3)};
  const Features out = compute_features(f, z, 3);
  EXPECT_NEAR(out.inputs[3] * pi / 2, pi - 0.1, 1e-12);
  EXPECT_NEAR(out.inputs[4] * pi / 2, pi + 0.1, 1e-12);
  EXPECT_NEAR(out.inputs[5] * pi / 2, pi - 0.3, 1e-12);
}

TEST(Features, SinglePointGrid) {
  const std::vector<double> f = {100, 10, 1000};
  const std::vector<Complex> z = {{2, -1}, {4, -3}, {1, 0}};
  const Features out = compute_features(f, z, 1);
  ASSERT_EQ(out.inputs.size(), 3u);
  EXPECT_DOUBLE_EQ(out.inputs[0], std::log10(5.0) - std::log10(out.z_scale));
  EXPECT_DOUBLE_EQ(out.inputs[2], (1.0 - std::log10(out.w_scale / kTwoPi)) * 0.25);
}

TEST(Features, NonFiniteInputsPropagateWithoutFailing) {
  const std::vector<std::vector<double>> frequency_sets = {
      {0, 1, 10}, {-5, 1, 10}, {kNaN, 1, 10}, {kNaN, kNaN, kNaN}, {INFINITY, 1, 0}};
  const std::vector<Complex> z = {{1, -1}, {kNaN, 0}, {0, 0}};
  for (const auto& f : frequency_sets) {
    for (std::size_t n : {1, 2, 64}) EXPECT_EQ(compute_features(f, z, n).inputs.size(), 3 * n);
  }
  EXPECT_EQ(compute_features({}, {}, 4).inputs.size(), 12u);
}

TEST(Gelu, TanhForm) {
  EXPECT_EQ(gelu(0.0), 0.0);
  EXPECT_NEAR(gelu(1.0), 0.8411919906082768, 1e-15);
  EXPECT_NEAR(gelu(-1.0), -0.15880800939172324, 1e-15);
  EXPECT_EQ(gelu(40.0), 40.0);
  EXPECT_NEAR(gelu(-40.0), 0.0, 1e-300);
}

// The array form gives the scalar bits (both clones), and both stay within a
// few units in the last place of the tanh form where that is not cancelling.
TEST(Gelu, ArrayFormIsTheScalarAndTheTanhForm) {
  std::mt19937_64 rng(5);
  std::normal_distribution<double> value(0.0, 4.0);
  std::vector<double> x(1003);
  for (double& v : x) v = value(rng);
  x[0] = -INFINITY, x[1] = INFINITY, x[2] = kNaN, x[3] = -1e300, x[4] = 1e-310;
  std::vector<double> y = x;
  gelu_in_place(y);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double scalar = gelu(x[i]);
    EXPECT_TRUE(std::memcmp(&scalar, &y[i], sizeof scalar) == 0) << x[i];
    const double tanh_form =
        x[i] * 0.5 * (1.0 + std::tanh(0.7978845608028654 * (x[i] + 0.044715 * std::pow(x[i], 3))));
    if (x[i] > -2.0 && std::isfinite(x[i])) EXPECT_NEAR(y[i], tanh_form, 1e-15 * std::fabs(x[i]));
  }
  EXPECT_TRUE(std::isnan(y[0]) && std::isnan(y[2]));
  EXPECT_EQ(y[1], INFINITY);
  EXPECT_EQ(y[3], 0.0);
}

// The convolution exactly as defined, one output at a time.
std::vector<double> reference_convolution(const ConvShape& s, const std::vector<double>& x,
                                          const std::vector<double>& w,
                                          const std::vector<double>& b) {
  const auto L = static_cast<long>(s.length);
  const long pad = static_cast<long>(s.dilation * (s.kernel - 1) / 2);
  std::vector<double> y(s.out_channels * s.length);
  for (std::size_t o = 0; o < s.out_channels; ++o) {
    for (long t = 0; t < L; ++t) {
      double acc = b[o];
      for (std::size_t c = 0; c < s.in_channels; ++c) {
        for (std::size_t j = 0; j < s.kernel; ++j) {
          const double tap = w[(o * s.in_channels + c) * s.kernel + j];
          const long src = t + static_cast<long>(s.dilation * j) - pad;
          if (tap == 0.0 || src < 0 || src >= L) continue;
          acc += tap * x[c * s.length + static_cast<std::size_t>(src)];
        }
      }
      y[o * s.length + static_cast<std::size_t>(t)] = acc;
    }
  }
  return y;
}

using ConvolutionForm = void (*)(const ConvShape&, const double*, const double*, const double*,
                                 double*);

// The dispatching entry and each form it may choose, whatever this processor has.
std::vector<ConvolutionForm> forms() {
  std::vector<ConvolutionForm> out = {&convolve, &convolve_by_runs};
#if KORVEX_HAVE_BLOCKED_CONVOLUTION
  if (__builtin_cpu_supports("avx2")) out.push_back(&convolve_blocked);
#endif
  return out;
}

// Layers with zero taps, and layers without (those the AVX2 form blocks).
TEST(Convolution, MatchesTheDefinitionBitForBit) {
  std::mt19937 rng(7);
  std::normal_distribution<double> normal;
  for (double zero_below : {-0.8, -HUGE_VAL}) {
    for (std::size_t length : {1, 3, 16, 17, 64, 70}) {
      for (std::size_t kernel : {1, 2, 3, 5}) {
        for (std::size_t dilation : {0, 1, 2, 8, 40}) {
          for (std::size_t out : {1, 3, 4, 6}) {
            const ConvShape s{3, out, length, kernel, dilation};
            std::vector<double> x(3 * length), w(out * 3 * kernel), b(out);
            for (double& v : x) v = normal(rng);
            for (double& v : w) v = normal(rng) < zero_below ? 0.0 : normal(rng);
            for (double& v : b) v = normal(rng);
            const auto expected = reference_convolution(s, x, w, b);
            for (auto form : forms()) {
              std::vector<double> y(out * length);
              form(s, x.data(), w.data(), b.data(), y.data());
              ASSERT_EQ(y, expected) << length << " " << kernel << " " << dilation << " " << out;
            }
          }
        }
      }
    }
  }
}

TEST(Convolution, ZeroTapsNeverTouchTheirSource) {
  // Channel 1 is NaN but reached only through zero taps.
  const ConvShape s{2, 2, 20, 5, 1};
  std::vector<double> x(40, 1.0);
  for (std::size_t t = 20; t < 40; ++t) x[t] = kNaN;
  std::vector<double> w(2 * 2 * 5, 0.5);
  for (std::size_t j = 0; j < 5; ++j) w[5 + j] = w[15 + j] = 0.0;
  const std::vector<double> b = {0.0, 1.0};
  for (auto form : forms()) {
    std::vector<double> y(40);
    form(s, x.data(), w.data(), b.data(), y.data());
    EXPECT_EQ(y[0], 1.5);   // three taps reach the input at t = 0
    EXPECT_EQ(y[10], 2.5);  // all five inside
    EXPECT_EQ(y[39], 2.5);
  }
}

Tensor zeros(std::vector<std::uint32_t> dims) {
  std::size_t n = 1;
  for (auto d : dims) n *= d;
  return {dims, std::vector<double>(n, 0.0)};
}

// A network whose weights are all zero: its standardised outputs are the
// bias of the last layer, which the tests choose.
Guesser controlled(const std::vector<double>& outputs, std::vector<bool> log_params,
                   std::vector<Scaling> scaling) {
  Guesser g;
  g.n_grid = 8;
  g.channels = 8;
  g.kernel = 5;
  g.groups = 4;
  g.dilations = {1, 3};
  g.alpha_min = 0.05;
  g.alpha_max = 1.0;
  const std::uint32_t c = 8;
  const auto p = static_cast<std::uint32_t>(log_params.size());
  g.tensors["w.stem.weight"] = zeros({c, 3, 5});
  g.tensors["w.stem.bias"] = zeros({c});
  for (int i = 0; i < 2; ++i) {
    const std::string prefix = "w.blocks." + std::to_string(i) + ".";
    for (const char* conv : {"conv1", "conv2"}) {
      g.tensors[prefix + conv + ".weight"] = zeros({c, c, 5});
      g.tensors[prefix + conv + ".bias"] = zeros({c});
    }
    for (const char* norm : {"norm1", "norm2"}) {
      g.tensors[prefix + norm + ".weight"] = {{c}, std::vector<double>(c, 1.0)};
      g.tensors[prefix + norm + ".bias"] = zeros({c});
    }
  }
  g.tensors["w.head.0.weight"] = zeros({4 * c, 2 * c + 2});
  g.tensors["w.head.0.bias"] = zeros({4 * c});
  g.tensors["w.head.2.weight"] = zeros({4 * c, 4 * c});
  g.tensors["w.head.2.bias"] = zeros({4 * c});
  g.tensors["w.head.4.weight"] = zeros({static_cast<std::uint32_t>(outputs.size()), 4 * c});
  g.tensors["w.head.4.bias"] = {{static_cast<std::uint32_t>(outputs.size())}, outputs};
  g.target_mean.assign(p, 0.0);
  g.target_std.assign(p, 1.0);
  g.log_params = std::move(log_params);
  g.scaling = std::move(scaling);
  return g;
}

// R0.r, R1.r, CPE1.q, CPE1.alpha
Guesser controlled_rq(const std::vector<double>& outputs) {
  return controlled(outputs, {true, true, true, false},
                    {{1, 0, 0, -1}, {1, 0, 0, -1}, {-1, 0, -1, 3}, {0, 0, 0, -1}});
}

struct Spectrum {
  std::vector<double> f;
  std::vector<Complex> z;
};

Spectrum rc_spectrum() {
  Spectrum s;
  for (int i = 0; i < 30; ++i) {
    const double f = std::pow(10.0, -1 + 6.0 * i / 29);
    const double w = kTwoPi * f, tau = 1e-3;
    const double den = 1 + w * tau * w * tau;
    s.f.push_back(f);
    s.z.push_back({10 + 100 / den, -100 * w * tau / den});
  }
  return s;
}

TEST(Predict, ClampsAndRescales) {
  const Spectrum sp = rc_spectrum();
  const Features in = compute_features(sp.f, sp.z, 8);
  const Guesser g = controlled_rq({0.0, 1.0, 0.0, 1.3, 9, 9, 9, 9});
  const auto out = g.predict(sp.f, sp.z);
  ASSERT_TRUE(out) << out.error().message();
  ASSERT_EQ(out->size(), 4u);
  EXPECT_DOUBLE_EQ((*out)[0], in.z_scale);
  EXPECT_DOUBLE_EQ((*out)[1], 10 * in.z_scale);
  // alpha 1.3 is clamped to 1.0, and q scales with w_s^-1.0.
  EXPECT_EQ((*out)[3], 1.0);
  EXPECT_DOUBLE_EQ((*out)[2], 1.0 / (in.w_scale * in.z_scale));

  const auto low = controlled_rq({0, 0, 0, -2.0, 0, 0, 0, 0}).predict(sp.f, sp.z);
  EXPECT_EQ((*low)[3], 0.05);
  EXPECT_DOUBLE_EQ((*low)[2], std::pow(in.w_scale, -0.05) / in.z_scale);

  const auto nan = controlled_rq({0, 0, 0, kNaN, 0, 0, 0, 0}).predict(sp.f, sp.z);
  EXPECT_TRUE(std::isnan((*nan)[3]));
  EXPECT_TRUE(std::isnan((*nan)[2]));
}

TEST(Predict, ShapeAndContentProblemsAreErrors) {
  const Spectrum sp = rc_spectrum();
  const std::vector<double> outputs(8, 0.0);
  const std::vector<std::pair<std::function<void(Guesser&)>, std::string>> cases = {
      {[](Guesser& g) { g.tensors.erase("w.stem.weight"); },
       "weight file is missing \"w.stem.weight\""},
      {[](Guesser& g) { g.tensors.erase("w.blocks.1.norm2.bias"); },
       "weight file is missing \"w.blocks.1.norm2.bias\""},
      {[](Guesser& g) { g.tensors["w.head.0.weight"] = zeros({32, 17}); },
       "tensor \"head.0\" has 18 elements, expected 17"},
      {[](Guesser& g) { g.tensors["w.head.2.bias"] = zeros({31}); },
       "tensor \"w.head.2.bias\" has 31 elements, expected 32"},
      {[](Guesser& g) {
         g.tensors["w.head.4.weight"] = zeros({3, 32});
         g.tensors["w.head.4.bias"] = zeros({3});
       },
       "tensor \"w.head.4.bias\" has 3 elements, expected 8"},
      {[](Guesser& g) { g.tensors["w.stem.weight"] = zeros({8, 3, 4}); },
       "tensor \"w.stem.weight\" has 96 elements, expected 120"},
      {[](Guesser& g) {
         g.tensors["w.stem.weight"] = zeros({6, 3, 5});
         g.tensors["w.stem.bias"] = zeros({6});
       },
       "tensor \"w.stem.weight\" has 90 elements, expected 120"},
      {[](Guesser& g) { g.tensors["w.blocks.0.norm1.weight"] = zeros({7}); },
       "tensor \"w.blocks.0.norm1.weight\" has 7 elements, expected 8"},
      {[](Guesser& g) { g.target_std.pop_back(); },
       "tensor \"target_std\" has 3 elements, expected 4"},
      {[](Guesser& g) { g.log_params.clear(); },
       "tensor \"log_params\" has 0 elements, expected 4"},
      {[](Guesser& g) { g.scaling.pop_back(); }, "tensor \"scaling\" has 12 elements, expected 16"},
      {[](Guesser& g) { g.scaling[2].alpha_index = 4; },
       "weight file has an unparsable value for \"scaling\""},
      {[](Guesser& g) { g.groups = 0; }, "weight file has an unparsable value for \"groups\""},
      {[](Guesser& g) { g.n_grid = 0; }, "weight file has an unparsable value for \"n_grid\""},
      {[](Guesser& g) { g.n_grid = std::size_t{1} << 40; },
       "weight file has an unparsable value for \"n_grid\""},
      {[](Guesser& g) { g.alpha_min = 2.0; },
       "weight file has an unparsable value for \"alpha_min\""},
      {[](Guesser& g) { g.alpha_max = kNaN; },
       "weight file has an unparsable value for \"alpha_max\""},
  };
  for (const auto& [mutate, message] : cases) {
    Guesser g = controlled_rq(outputs);
    mutate(g);
    const auto out = g.predict(sp.f, sp.z);
    ASSERT_FALSE(out) << message;
    EXPECT_EQ(out.error().message(), message);
  }
}

TEST(Predict, OddSettingsStillRunSafely) {
  const Spectrum sp = rc_spectrum();
  for (const auto& mutate : std::vector<std::function<void(Guesser&)>>{
           [](Guesser& g) { g.dilations = {std::numeric_limits<std::size_t>::max(), 0}; },
           [](Guesser& g) { g.groups = 1000; },
           [](Guesser& g) { g.groups = 3; },
           [](Guesser& g) { g.n_grid = 1; },
           [](Guesser& g) { g.scaling[2].alpha_index = std::numeric_limits<std::int32_t>::min(); },
       }) {
    Guesser g = controlled_rq(std::vector<double>(8, 0.5));
    mutate(g);
    const auto out = g.predict(sp.f, sp.z);
    ASSERT_TRUE(out) << out.error().message();
    EXPECT_EQ(out->size(), 4u);
  }
}

TEST(GroupNorm, NormalisesEachGroupAndLeavesTrailingChannels) {
  Guesser g;
  g.n_grid = 2;
  g.channels = 3;
  g.groups = 2;  // one channel per group; channel 2 is left over
  g.tensors["w.n.weight"] = {{3}, {1, 2, 5}};
  g.tensors["w.n.bias"] = {{3}, {0, 1, 5}};
  std::vector<double> x = {1, 3, 10, 14, 7, 8};
  ASSERT_FALSE(g.group_norm("n", x));
  const double r0 = 1 / std::sqrt(1.0 + 1e-5), r1 = 1 / std::sqrt(4.0 + 1e-5);
  EXPECT_DOUBLE_EQ(x[0], -r0);
  EXPECT_DOUBLE_EQ(x[1], r0);
  EXPECT_DOUBLE_EQ(x[2], 1 - 2 * 2 * r1);
  EXPECT_DOUBLE_EQ(x[3], 1 + 2 * 2 * r1);
  EXPECT_EQ(x[4], 7);
  EXPECT_EQ(x[5], 8);
}

TEST(Predict, RandomModelFromFileRuns) {
  const auto g = Guesser::from_bytes(test::rc_model(16));
  ASSERT_TRUE(g);
  const Spectrum sp = rc_spectrum();
  const auto out = g->predict(sp.f, sp.z);
  ASSERT_TRUE(out) << out.error().message();
  for (double v : *out) EXPECT_TRUE(std::isfinite(v) && v > 0);
  // The same pass twice gives the same numbers.
  EXPECT_EQ(*out, *g->predict(sp.f, sp.z));
}

}  // namespace
}  // namespace korvex::nn
