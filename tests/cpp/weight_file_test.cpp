#include "nn/weight_file.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <tuple>

#include "eisnn_builder.hpp"
#include "nn/guesser.hpp"

namespace korvex::nn {
namespace {

using test::EisnnBuilder;

// Metadata and normalisation of a three-parameter file without a network.
EisnnBuilder complete() {
  EisnnBuilder b = test::with_metadata("R0-(R1,C1)", "R0.r,R1.r,C1.c", 16);
  test::add_normalisation(b, test::rc_scaling());
  return b;
}

std::string error_of(const std::vector<std::uint8_t>& bytes) {
  const auto g = Guesser::from_bytes(bytes);
  return g ? std::string("ok") : g.error().message();
}

TEST(WeightFile, ShortInputsAndMagic) {
  const auto bytes = complete().bytes();
  for (std::size_t n = 0; n < 8; ++n) {
    EXPECT_EQ(error_of(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + n)),
              "weight file is truncated")
        << n;
  }
  EXPECT_EQ(error_of({'E', 'I', 'S', 'N', 'N', '0', '0', '2', 0, 0, 0, 0}),
            "not an eisnn weight file (bad magic bytes)");
  EXPECT_EQ(error_of({'E', 'I', 'S', 'N', 'N', '0', '0', '1'}), "weight file is truncated");
  EXPECT_EQ(error_of({'X', 'I', 'S', 'N', 'N', '0', '0', '1'}),
            "not an eisnn weight file (bad magic bytes)");
}

TEST(WeightFile, DecodesMetadataAndNormalisation) {
  EisnnBuilder b = complete();
  b.erase_meta("dilations").meta("dilations", " 1 ,\t2,4 , 8\u3000");
  b.erase_meta("param_names").meta("param_names", "R0.r, R1.r,C1.c");
  b.meta("unknown_key", "kept and ignored");
  const auto g = Guesser::from_bytes(b.bytes());
  ASSERT_TRUE(g) << g.error().message();
  EXPECT_EQ(g->circuit, "R0-(R1,C1)");
  EXPECT_EQ(g->param_names, (std::vector<std::string>{"R0.r", " R1.r", "C1.c"}));
  EXPECT_EQ(g->dilations, (std::vector<std::size_t>{1, 2, 4, 8}));
  EXPECT_EQ(g->n_grid, 64u);
  EXPECT_EQ(g->channels, 16u);
  EXPECT_EQ(g->kernel, 5u);
  EXPECT_EQ(g->groups, 8u);
  EXPECT_EQ(g->alpha_min, static_cast<double>(0.05));
  EXPECT_EQ(g->alpha_max, 1.0);
  EXPECT_EQ(g->target_mean, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(g->target_std, (std::vector<double>{0.5, 0.5, 0.5}));
  EXPECT_EQ(g->log_params, (std::vector<bool>{true, true, true}));
  ASSERT_EQ(g->scaling.size(), 3u);
  EXPECT_EQ(g->scaling[2].z_power, -1.0);
  EXPECT_EQ(g->scaling[2].w_power, -1.0);
  EXPECT_EQ(g->scaling[2].alpha_index, -1);
  ASSERT_TRUE(g->tensor("scaling"));
  EXPECT_EQ(g->tensor("w.stem.weight").error().message(),
            "weight file is missing \"w.stem.weight\"");
}

TEST(WeightFile, AlphaIndexRoundsHalfAwayAndSaturates) {
  const std::vector<std::pair<double, std::int32_t>> cases = {
      {2.5, 3},          {-1.5, -2},         {0.49, 0},         {-0.5, -1},
      {1e12, INT32_MAX}, {-1e12, INT32_MIN}, {std::nan(""), 0}, {INFINITY, INT32_MAX}};
  for (const auto& [stored, expected] : cases) {
    EisnnBuilder b = test::with_metadata("R0", "R0.r", 16);
    b.f32("target_mean", {1}, {0}).f32("target_std", {1}, {1}).f32("log_params", {1}, {0});
    b.f32("scaling", {1, 4}, {1, 0, 0, stored});
    const auto g = Guesser::from_bytes(b.bytes());
    ASSERT_TRUE(g);
    EXPECT_EQ(g->scaling[0].alpha_index, expected) << stored;
  }
}

TEST(WeightFile, Encodings) {
  EisnnBuilder b = complete();
  b.raw("zero_dim", 0, {3, 0}, {0x00, 0x00, 0x80, 0x3F});
  b.raw("quantised", 2, {2}, {0x00, 0x00, 0x00, 0x3F, 0x02, 0xFE});
  b.raw("halves", 1, {2, 2}, {0x00, 0x3C, 0x01, 0x00, 0x00, 0x7C, 0x00, 0x7E});
  b.raw("scalar", 0, {}, {0x00, 0x00, 0x20, 0xC1});
  const auto g = Guesser::from_bytes(b.bytes());
  ASSERT_TRUE(g) << g.error().message();
  const Tensor& zero_dim = **g->tensor("zero_dim");
  EXPECT_EQ(zero_dim.dims, (std::vector<std::uint32_t>{3, 0}));
  EXPECT_EQ(zero_dim.data, (std::vector<double>{1.0}));
  EXPECT_EQ((*g->tensor("quantised"))->data, (std::vector<double>{1.0, -1.0}));
  const auto& halves = (*g->tensor("halves"))->data;
  EXPECT_EQ(halves[0], 1.0);
  EXPECT_EQ(halves[1], std::ldexp(1.0, -24));
  EXPECT_EQ(halves[2], std::numeric_limits<double>::infinity());
  EXPECT_TRUE(std::isnan(halves[3]));
  EXPECT_EQ((*g->tensor("scalar"))->data, (std::vector<double>{-10.0}));
}

TEST(WeightFile, EveryHalfWordDecodesExactly) {
  for (std::uint32_t h = 0; h <= 0xFFFF; ++h) {
    const double expected =
        static_cast<double>(std::bit_cast<_Float16>(static_cast<std::uint16_t>(h)));
    const double got = half_to_double(static_cast<std::uint16_t>(h));
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(got)) << h;
    } else {
      EXPECT_EQ(got, expected) << h;
      EXPECT_EQ(std::signbit(got), std::signbit(expected)) << h;
    }
  }
}

TEST(WeightFile, UnknownEncoding) {
  EisnnBuilder b = complete();
  b.raw("odd", 3, {1}, {0, 0, 0, 0});
  EXPECT_EQ(error_of(b.bytes()),
            "weight file uses tensor encoding 3, which this build does not know");
  EisnnBuilder c = complete();
  c.raw("odd", 255, {}, {});
  EXPECT_EQ(error_of(c.bytes()),
            "weight file uses tensor encoding 255, which this build does not know");
}

TEST(WeightFile, MissingKeysAndTensors) {
  for (const char* key : {"circuit", "param_names", "estimator", "n_grid", "channels", "kernel",
                          "groups", "dilations", "alpha_min", "alpha_max"}) {
    EisnnBuilder b = complete();
    b.erase_meta(key);
    EXPECT_EQ(error_of(b.bytes()), "weight file is missing \"" + std::string(key) + "\"");
  }
  for (const char* name : {"target_mean", "target_std", "log_params", "scaling"}) {
    EisnnBuilder b = complete();
    b.erase_tensor(name);
    EXPECT_EQ(error_of(b.bytes()), "weight file is missing \"" + std::string(name) + "\"");
  }
  // Tensors are checked before metadata.
  EisnnBuilder b = complete();
  b.erase_meta("circuit").erase_tensor("log_params");
  EXPECT_EQ(error_of(b.bytes()), "weight file is missing \"log_params\"");
}

// Sizes that would make a small file demand gigabytes at its first guess are
// refused when it is decoded. (Built-in settings: n_grid 64, 16 channels,
// kernel 5, 8 groups, dilations 1,2,4,8.)
TEST(WeightFile, SizeFieldsPastTheirLimitsAreRefused) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"n_grid", "4097", "n_grid"},  {"channels", "1025", "channels"},
      {"channels", "0", "channels"}, {"kernel", "65", "kernel"},
      {"groups", "17", "groups"},    {"dilations", "1,65", "dilations"},  // wider than the grid
  };
  std::string blocks = "1";
  for (std::size_t i = 0; i < kMaxBlocks; ++i) blocks += ",1";
  for (const auto& [key, value, refused] : cases) {
    EisnnBuilder b = complete();
    b.erase_meta(key).meta(key, value);
    EXPECT_EQ(error_of(b.bytes()), "weight file has an unparsable value for \"" + refused + "\"")
        << key << "=" << value;
  }
  EisnnBuilder deep = complete();
  deep.erase_meta("dilations").meta("dilations", blocks);
  EXPECT_EQ(error_of(deep.bytes()), "weight file has an unparsable value for \"dilations\"");
  // Each limit alone is fine, but together they would need a huge buffer.
  EisnnBuilder wide = complete();
  wide.erase_meta("n_grid").meta("n_grid", "4096").erase_meta("channels").meta("channels", "1024");
  EXPECT_EQ(error_of(wide.bytes()), "weight file has an unparsable value for \"channels\"");
  EisnnBuilder padded = complete();
  padded.erase_meta("kernel").meta("kernel", "64").erase_meta("dilations").meta("dilations", "64");
  padded.erase_meta("channels").meta("channels", "1000");
  EXPECT_EQ(error_of(padded.bytes()), "weight file has an unparsable value for \"dilations\"");
  EisnnBuilder edge = complete();
  edge.erase_meta("n_grid").meta("n_grid", "4096");
  edge.erase_meta("dilations").meta("dilations", "0,4096");
  EXPECT_EQ(error_of(edge.bytes()), "ok");
}

TEST(WeightFile, UnsignedSyntax) {
  const std::vector<std::pair<std::string, bool>> cases = {
      // "0" and 2^64 - 1 parse, but are refused by the size limits.
      {"64", true},
      {"+64", true},
      {"0", false},
      {"18446744073709551615", false},
      {" 64", false},
      {"64 ", false},
      {"+", false},
      {"-", false},
      {"-1", false},
      {"", false},
      {"6 4", false},
      {"0x40", false},
      {"18446744073709551616", false},
      {"++1", false}};
  for (const auto& [text, ok] : cases) {
    EisnnBuilder b = complete();
    b.erase_meta("n_grid").meta("n_grid", text);
    EXPECT_EQ(error_of(b.bytes()), ok ? "ok" : "weight file has an unparsable value for \"n_grid\"")
        << text;
  }
}

TEST(WeightFile, FloatSyntax) {
  const std::vector<std::pair<std::string, double>> good = {
      {"0.05", 0.05},      {"-1", -1.0},      {"+2.5", 2.5},
      {"1.", 1.0},         {".5", 0.5},       {"1e-3", 1e-3},
      {"2E+2", 200.0},     {"inf", INFINITY}, {"-Infinity", -INFINITY},
      {"1e400", INFINITY}, {"1e-400", 0.0}};
  for (const auto& [text, expected] : good) {
    double v;
    ASSERT_TRUE(parse_float_text(text, v)) << text;
    EXPECT_EQ(v, expected) << text;
  }
  double v;
  EXPECT_TRUE(parse_float_text("NaN", v) && std::isnan(v));
  EXPECT_TRUE(parse_float_text("-nan", v) && std::isnan(v));
  for (const char* bad : {"", " 0.05", "0.05 ", ".", "e3", "1e", "1e+", "0x1p3", "infin", "nann",
                          "1,5", "--1", "1..2"}) {
    EXPECT_FALSE(parse_float_text(bad, v)) << bad;
    EisnnBuilder b = complete();
    b.erase_meta("alpha_max").meta("alpha_max", bad);
    EXPECT_EQ(error_of(b.bytes()), "weight file has an unparsable value for \"alpha_max\"");
  }
}

TEST(WeightFile, Dilations) {
  for (const char* bad : {"", "1,,2", "1,2,", "1;2", "a"}) {
    EisnnBuilder b = complete();
    b.erase_meta("dilations").meta("dilations", bad);
    EXPECT_EQ(error_of(b.bytes()), "weight file has an unparsable value for \"dilations\"") << bad;
  }
}

TEST(WeightFile, EstimatorAndScalingSize) {
  EisnnBuilder b = complete();
  b.erase_meta("estimator").meta("estimator", "median");
  EXPECT_EQ(error_of(b.bytes()),
            "weight file was normalised with the \"median\" scale estimator, which this build "
            "does not implement (supported: reactive_centroid)");
  EisnnBuilder c = complete();
  c.erase_tensor("scaling").f32("scaling", {11}, std::vector<double>(11, 0.0));
  EXPECT_EQ(error_of(c.bytes()), "tensor \"scaling\" has 11 elements, expected 12");
}

TEST(WeightFile, LaterRecordsReplaceEarlierOnesAndTrailingBytesAreIgnored) {
  EisnnBuilder b = complete();
  b.meta("circuit", "R9").f32("target_std", {3}, {1, 2, 3});
  auto bytes = b.bytes();
  bytes.insert(bytes.end(), {0xDE, 0xAD, 0xBE, 0xEF});
  const auto g = Guesser::from_bytes(bytes);
  ASSERT_TRUE(g) << g.error().message();
  EXPECT_EQ(g->circuit, "R9");
  EXPECT_EQ(g->target_std, (std::vector<double>{1, 2, 3}));
}

TEST(WeightFile, InvalidUtf8IsTruncation) {
  // Overlong, surrogate, lone continuation, beyond U+10FFFF, cut sequence.
  for (const std::string bad :
       {"\xC0\x80", "\xED\xA0\x80", "\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    EisnnBuilder b = complete();
    b.meta("note", bad);
    EXPECT_EQ(error_of(b.bytes()), "weight file is truncated");
  }
  EisnnBuilder ok = complete();
  ok.meta("note", "\xE2\x82\xAC \xF0\x9F\x98\x80");
  EXPECT_EQ(error_of(ok.bytes()), "ok");
}

TEST(WeightFile, HugeDimensionsAreRefusedWithoutAllocating) {
  for (std::uint8_t encoding : {0, 1, 2}) {
    EisnnBuilder b = complete();
    b.raw("huge", encoding, {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}, {1, 2, 3, 4});
    EXPECT_EQ(error_of(b.bytes()), "weight file is truncated");
  }
  EisnnBuilder b = complete();
  b.raw("big", 0, {0x40000000u}, {1, 2, 3, 4});
  EXPECT_EQ(error_of(b.bytes()), "weight file is truncated");
}

// A small complete model, with a network, used for corruption sweeps.
std::vector<std::uint8_t> small_model() {
  EisnnBuilder b = test::with_metadata("R0-(R1,C1)", "R0.r,R1.r,C1.c", 8, 16);
  b.erase_meta("dilations").meta("dilations", "1,2");
  test::add_network(b, 3, 8, 3, 2);
  b.raw("q8", 2, {3}, {0, 0, 0x80, 0x3F, 1, 0x7F, 0x80});
  test::add_normalisation(b, test::rc_scaling());
  return b.bytes();
}

TEST(WeightFile, EveryPrefixIsTruncated) {
  const auto bytes = small_model();
  ASSERT_EQ(error_of(bytes), "ok");
  for (std::size_t n = 0; n < bytes.size(); ++n) {
    const std::vector<std::uint8_t> prefix(bytes.begin(), bytes.begin() + n);
    const auto g = Guesser::from_bytes(prefix);
    ASSERT_FALSE(g) << n;
    ASSERT_EQ(g.error().kind, NnError::Kind::Truncated) << n;
  }
}

TEST(WeightFile, CorruptedBytesNeverCrashDecodeOrPredict) {
  const auto bytes = small_model();
  std::vector<double> f;
  std::vector<Complex> z;
  for (int i = 0; i < 12; ++i) {
    f.push_back(std::pow(10.0, i * 0.5 - 1));
    z.push_back({10.0 + i, -5.0 * i});
  }
  std::size_t decoded = 0;
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    for (std::uint8_t flip : {0xFF, 0x01, 0x80}) {
      auto corrupted = bytes;
      corrupted[at] ^= flip;
      const auto g = Guesser::from_bytes(corrupted);
      if (!g) continue;
      ++decoded;
      const auto out = g->predict(f, z);
      if (out) EXPECT_EQ(out->size(), g->target_mean.size());
    }
  }
  EXPECT_GT(decoded, 0u);
}

}  // namespace
}  // namespace korvex::nn
