#include "models/circuit_guess.hpp"

#include <gtest/gtest.h>

#include <unistd.h>
#include <cmath>
#include <filesystem>
#include <fstream>

#include "circuit/parser.hpp"
#include "eisnn_builder.hpp"
#include "models/registry.hpp"

namespace korvex::models {
namespace {

SeriesList circuit(std::string_view text) { return std::get<SeriesList>(parse(text)); }

class CircuitGuess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = std::filesystem::temp_directory_path() / ("korvex_guess_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    rc_ = write("rc.eisnn", test::rc_model(16));
    rq_ = write("rq.eisnn", test::rq_model(16));
    for (int i = 0; i < 40; ++i) {
      const double f = std::pow(10.0, -1 + 6.0 * i / 39);
      const double w = 6.283185307179586 * f, tau = 1e-3;
      const double den = 1 + w * tau * w * tau;
      f_.push_back(f);
      z_.push_back({10 + 100 / den, -100 * w * tau / den});
    }
  }
  static void TearDownTestSuite() { std::filesystem::remove_all(dir_); }

  static std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  static std::vector<double> values(std::string_view text, const std::optional<std::string>& path,
                                    std::size_t points = 40) {
    auto out =
        guess_params(circuit(text), std::span(f_).first(points), std::span(z_).first(points), path);
    EXPECT_TRUE(std::holds_alternative<std::vector<double>>(out))
        << text << ": " << std::get<std::string>(out);
    return std::holds_alternative<std::vector<double>>(out) ? std::get<std::vector<double>>(out)
                                                            : std::vector<double>{};
  }
  static std::string failure(std::string_view text, const std::optional<std::string>& path,
                             std::size_t points = 40) {
    auto out =
        guess_params(circuit(text), std::span(f_).first(points), std::span(z_).first(points), path);
    return std::holds_alternative<std::string>(out) ? std::get<std::string>(out) : "ok";
  }

  static inline std::filesystem::path dir_;
  static inline std::string rc_, rq_;
  static inline std::vector<double> f_;
  static inline std::vector<Complex> z_;
};

TEST_F(CircuitGuess, ValuesFollowTheUsersParameterOrder) {
  const auto model = values("R0-(R1,C1)", rc_);
  ASSERT_EQ(model.size(), 3u);
  EXPECT_EQ(values("(R1,C2)-R3", rc_), (std::vector<double>{model[1], model[2], model[0]}));
  EXPECT_EQ(values("(C9,R9)-R0", rc_), (std::vector<double>{model[2], model[1], model[0]}));
}

TEST_F(CircuitGuess, AbbreviationsGetTheirOwnParameters) {
  const auto rc = values("R0-(R1,C1)", rc_);
  EXPECT_EQ(values("K1-R0", rc_), (std::vector<double>{rc[1], rc[1] * rc[2], rc[0]}));

  const auto rq = values("R0-(R1,CPE1)", rq_);
  ASSERT_EQ(rq.size(), 4u);
  const auto zarc = values("R0-Zarc1", rq_);
  ASSERT_EQ(zarc.size(), 4u);
  EXPECT_EQ(zarc[0], rq[0]);
  EXPECT_EQ(zarc[1], rq[1]);
  EXPECT_DOUBLE_EQ(zarc[2], std::pow(rq[1] * rq[2], 1.0 / rq[3]));
  EXPECT_EQ(zarc[3], rq[3]);
  EXPECT_GE(zarc[3], 0.05);
  EXPECT_LE(zarc[3], 1.0);
}

TEST_F(CircuitGuess, Failures) {
  EXPECT_EQ(failure("R0-(R1,C1)", rc_, 1), "need at least 2 frequency points to guess, got 1");
  EXPECT_EQ(failure("R0-(R1,C1)", rc_, 0), "need at least 2 frequency points to guess, got 0");
  // Without a model the missing-model message comes first.
  const std::string no_model =
      "No training data on this circuit. Machine-learning based initial parameters available "
      "for 'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', "
      "'sei_randles', 'sei_randles_wo'";
  EXPECT_EQ(failure("R0-C1", std::nullopt, 1), no_model);
  EXPECT_EQ(failure("R0-C1", rc_),
            "weight file has an unparsable value for \"" + rc_ +
                " was trained for \\\"R0-(R1,C1)\\\", which is a different circuit\"");
  EXPECT_EQ(failure("R0-(R1,C1)", (dir_ / "absent.eisnn").string()).rfind("reading weights: ", 0),
            0u);

  test::EisnnBuilder unparsable = test::with_metadata("R0-(R1,", "R0.r", 8);
  test::add_normalisation(unparsable, {{1, 0, 0, -1, true}});
  const std::string bad = write("bad_circuit.eisnn", unparsable.bytes());
  EXPECT_EQ(failure("R0-(R1,C1)", bad),
            "weight file has an unparsable value for \"circuit \\\"R0-(R1,\\\" in " + bad + "\"");

  // A file that predicts fewer values than its circuit has parameters.
  test::EisnnBuilder short_file = test::with_metadata("R0-(R1,C1)", "R0.r,R1.r", 8);
  test::add_network(short_file, 2, 8);
  test::add_normalisation(short_file, {{1, 0, 0, -1, true}, {1, 0, 0, -1, true}});
  EXPECT_EQ(failure("R0-(R1,C1)", write("short.eisnn", short_file.bytes())),
            "tensor \"target_mean\" has 2 elements, expected 3");

  // A network tensor missing from a file that decodes.
  test::EisnnBuilder headless = test::with_metadata("R0-(R1,C1)", "R0.r,R1.r,C1.c", 8);
  test::add_network(headless, 3, 8);
  headless.erase_tensor("w.head.4.weight");
  test::add_normalisation(headless, test::rc_scaling());
  EXPECT_EQ(failure("R0-(R1,C1)", write("headless.eisnn", headless.bytes())),
            "weight file is missing \"w.head.4.weight\"");
}

TEST_F(CircuitGuess, BuiltInModelsGuessOrSayTheirWeightsAreMissing) {
  for (const Model* m : builtin_models()) {
    const std::string text = m->circuit();
    if (m->has_weights()) {
      const auto v = values(text, std::nullopt);
      EXPECT_EQ(v.size(), std::get<nn::Guesser>(m->guesser()).param_names.size());
    } else {
      EXPECT_EQ(failure(text, std::nullopt), missing_weights_message(m->name()));
    }
  }
}

}  // namespace
}  // namespace korvex::models
