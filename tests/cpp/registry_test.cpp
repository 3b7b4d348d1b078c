#include "models/registry.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "circuit/parser.hpp"
#include "eisnn_builder.hpp"
#include "models/builtin_topologies.hpp"

namespace korvex::models {
namespace {

SeriesList circuit(std::string_view text) {
  auto parsed = parse(text);
  EXPECT_TRUE(std::holds_alternative<SeriesList>(parsed)) << text;
  return std::get<SeriesList>(std::move(parsed));
}

TEST(Topology, KeysOfTheBuiltInModels) {
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"rc", "[([C],[R]),R]"},
      {"rc_l", "[([C],[R]),L,R]"},
      {"rq", "[([Cpe],[R]),R]"},
      {"rq_l", "[([Cpe],[R]),L,R]"},
      {"two_rc", "[([C],[R]),([C],[R]),R]"},
      {"two_rc_l", "[([C],[R]),([C],[R]),L,R]"},
      {"two_rq", "[([Cpe],[R]),([Cpe],[R]),R]"},
      {"two_rq_l", "[([Cpe],[R]),([Cpe],[R]),L,R]"},
      {"randles", "[([Cpe],[R,W]),R]"},
      {"sei_randles", "[([Cpe],[R,W]),([Cpe],[R]),R]"},
      {"sei_randles_wo", "[([Cpe],[R,Wo]),([Cpe],[R]),R]"},
  };
  ASSERT_EQ(kBuiltinTopologies.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(kBuiltinTopologies[i].name, expected[i].first);
    EXPECT_EQ(canonical(circuit(kBuiltinTopologies[i].circuit)).key, expected[i].second);
  }
}

TEST(Topology, KeysIgnoreLabelsAndOrder) {
  const std::vector<std::pair<const char*, const char*>> same = {
      {"R0-(R1,C1)", "(C7,R3)-R9"},
      {"R0-p(R1-W1,CPE1)", "(CPE4,W2-R8)-R5"},
      {"((R1,C1),L2)-Zarc3", "Zarc0-(L5,(C6,R6))"},
      {"R0-Gs1-T2-La3", "La1-T9-Gs5-R2"},
  };
  for (const auto& [a, b] : same) EXPECT_EQ(canonical(circuit(a)).key, canonical(circuit(b)).key);
  EXPECT_NE(canonical(circuit("R0-(R1,C1)")).key, canonical(circuit("R0-(R1-C1)")).key);
  EXPECT_NE(canonical(circuit("R0-(R1,C1)")).key, canonical(circuit("(R0-R1,C1)")).key);
  EXPECT_EQ(canonical(circuit("(R1)")).key, "[([R])]");
  EXPECT_EQ(canonical(circuit("Tlmq1-Cpe2-CPE3")).key, "[Cpe,Cpe,Tlmq]");
}

TEST(Topology, ParameterMaps) {
  struct Case {
    const char* model;
    const char* user;
    ParamMap map;
  };
  const std::vector<Case> cases = {
      // R1 takes the model's R1.r, C2 its C1.c, R3 its R0.r.
      {"R0-(R1,C1)", "(R1,C2)-R3", {1, 2, 0}},
      // The first-written group takes R1 and C1, the second R2 and C2.
      {"R0-(R1,C1)-(R2,C2)", "(R2,C2)-R0-(R1,C1)", {1, 2, 0, 3, 4}},
      {"R0-(R1,C1)-(R2,C2)", "(C5,R5)-(R6,C6)-R7", {2, 1, 3, 4, 0}},
      {"R0-(R1,CPE1)", "(CPE3,R3)-R4", {2, 3, 1, 0}},
      {"L0-R0-(R1,CPE1)-(R2,CPE2)", "(R5,Cpe5)-R0-(R6,Cpe6)-L1", {2, 3, 4, 1, 5, 6, 7, 0}},
      {"R0-(R1,CPE1)-(R2-Wo2,CPE2)", "(Wo1-R1,CPE1)-R0-(R2,CPE2)", {5, 6, 4, 7, 8, 0, 1, 2, 3}},
  };
  for (const Case& c : cases) {
    const auto map = match_topology(circuit(c.model), circuit(c.user));
    ASSERT_TRUE(map) << c.user;
    EXPECT_EQ(*map, c.map) << c.user;
  }
  EXPECT_FALSE(match_topology(circuit("R0-(R1,C1)"), circuit("R0-C1")));
}

TEST(Topology, AbbreviationsMatchTheirSpelledOutPairs) {
  const auto k = match_or_expand(circuit("R0-(R1,C1)"), circuit("R0-K1"));
  ASSERT_TRUE(k);
  EXPECT_TRUE(k->expanded);
  EXPECT_EQ(k->map, (ParamMap{0, 1, 2}));
  const auto zarc = match_or_expand(circuit("R0-(R1,CPE1)"), circuit("Zarc1-R0"));
  ASSERT_TRUE(zarc);
  EXPECT_TRUE(zarc->expanded);
  EXPECT_EQ(zarc->map, (ParamMap{1, 2, 3, 0}));
  const auto plain = match_or_expand(circuit("R0-(R1,C1)"), circuit("R0-(R1,C1)"));
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->expanded);
  EXPECT_FALSE(match_or_expand(circuit("R0-(R1,C1)"), circuit("R0-C1")));
  EXPECT_FALSE(match_or_expand(circuit("R0-(R1,C1)"), circuit("R0-Zarc1")));
}

TEST(Registry, FindsModelsByTopology) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"(R1,C2)-R3", "rc"},
      {"R0-K1", "rc"},
      {"R0-Zarc1", "rq"},
      {"K1-R0-L4", "rc_l"},
      {"Zarc1-Zarc2-R0", "two_rq"},
      {"R0-K1-(R2,C2)", "two_rc"},
      {"R0-(W1-R1,Cpe1)", "randles"},
  };
  for (const auto& [text, name] : cases) {
    const auto match = find_for_topology(circuit(text));
    ASSERT_TRUE(match) << text;
    EXPECT_EQ(match->model->name(), name) << text;
  }
  for (const BuiltinTopology& t : kBuiltinTopologies) {
    const auto match = find_for_topology(circuit(t.circuit));
    ASSERT_TRUE(match);
    EXPECT_EQ(match->model->name(), t.name);
    EXPECT_FALSE(match->expanded);
    for (std::size_t i = 0; i < match->map.size(); ++i) EXPECT_EQ(match->map[i], i);
  }
  EXPECT_FALSE(find_for_topology(circuit("R0-C1")));
  EXPECT_FALSE(find_for_topology({}));
}

TEST(Registry, Names) {
  const auto all = names();
  ASSERT_EQ(all.size(), 11u);
  EXPECT_EQ(all.front(), "rc");
  EXPECT_EQ(all.back(), "sei_randles_wo");
  EXPECT_EQ(quoted_names(),
            "'rc', 'rc_l', 'rq', 'rq_l', 'two_rc', 'two_rc_l', 'two_rq', 'two_rq_l', 'randles', "
            "'sei_randles', 'sei_randles_wo'");
  ASSERT_EQ(builtin_models().size(), 11u);
  for (const Model* m : builtin_models()) EXPECT_TRUE(m->topology());
}

TEST(Registry, BuiltInModelsLoadOrReportMissingWeights) {
  for (const Model* m : builtin_models()) {
    const GuesserOrError& loaded = m->guesser();
    if (m->has_weights()) {
      ASSERT_TRUE(std::holds_alternative<nn::Guesser>(loaded))
          << m->name() << ": " << std::get<std::string>(loaded);
      EXPECT_EQ(std::get<nn::Guesser>(loaded).circuit, m->circuit());
    } else {
      EXPECT_EQ(std::get<std::string>(loaded), missing_weights_message(m->name()));
    }
  }
}

std::string load_failure(const std::string& name, const std::string& circuit_text,
                         const std::vector<std::uint8_t>& bytes) {
  const Model model(name, circuit_text, std::span<const std::uint8_t>(bytes));
  const auto& loaded = model.guesser();
  return std::holds_alternative<std::string>(loaded) ? std::get<std::string>(loaded) : "ok";
}

TEST(Registry, ModelChecksAgainstItsRegisteredCircuit) {
  const auto rc = test::rc_model(8);
  EXPECT_EQ(load_failure("rc", "R0-(R1,C1)", rc), "ok");
  EXPECT_EQ(load_failure("rc", "R5-(R1,C1)", rc),
            "weight file has an unparsable value for \"model \\\"rc\\\" is registered as "
            "\\\"R5-(R1,C1)\\\" but its weights were trained for \\\"R0-(R1,C1)\\\"\"");
  test::EisnnBuilder bad_text = test::with_metadata("R0-", "R0.r", 8);
  test::add_normalisation(bad_text, {{1, 0, 0, -1, true}});
  EXPECT_EQ(load_failure("odd", "R0-", bad_text.bytes()),
            "weight file has an unparsable value for \"registry circuit \\\"R0-\\\"\"");
  test::EisnnBuilder renamed = test::with_metadata("R0-(R1,C1)", "R0.r,R1.r,C9.c", 8);
  test::add_normalisation(renamed, test::rc_scaling());
  EXPECT_EQ(load_failure("rc", "R0-(R1,C1)", renamed.bytes()),
            "weight file has an unparsable value for \"model \\\"rc\\\" has parameters "
            "[\\\"R0.r\\\", \\\"R1.r\\\", \\\"C9.c\\\"], expected [\\\"R0.r\\\", \\\"R1.r\\\", "
            "\\\"C1.c\\\"]\"");
  EXPECT_EQ(load_failure("rc", "R0-(R1,C1)", {'E', 'I', 'S'}), "weight file is truncated");
  const Model absent("rc", "R0-(R1,C1)", std::nullopt);
  EXPECT_EQ(std::get<std::string>(absent.guesser()), missing_weights_message("rc"));
}

TEST(Registry, ConcurrentFirstUsersShareOneDecode) {
  const auto bytes = test::rc_model(16);
  const Model model("rc", "R0-(R1,C1)", std::span<const std::uint8_t>(bytes));
  std::vector<const GuesserOrError*> seen(8);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] { seen[i] = &model.guesser(); });
  }
  for (auto& t : threads) t.join();
  for (const auto* p : seen) EXPECT_EQ(p, seen[0]);
  EXPECT_TRUE(std::holds_alternative<nn::Guesser>(*seen[0]));
}

class ExternalCacheTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("korvex_registry_" + std::to_string(::getpid()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    const auto path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }
  std::size_t cache_size() { return external_cache_size(); }
  std::filesystem::path dir_;
};

TEST_F(ExternalCacheTest, ReadsEachVersionOfAFileOnce) {
  const std::string path = write("rc.eisnn", test::rc_model(8));
  const auto first = load_external(path);
  ASSERT_TRUE(first) << first.error().message();
  const auto again = load_external(path);
  ASSERT_TRUE(again);
  EXPECT_EQ(*again, *first);

  // A replaced file is read again; a removed one is gone.
  write("rc.eisnn", test::rc_model(12));
  const auto replaced = load_external(path);
  ASSERT_TRUE(replaced);
  EXPECT_NE(*replaced, *first);
  EXPECT_EQ((*replaced)->channels, 12u);
  std::filesystem::remove(path);
  EXPECT_FALSE(load_external(path));

  // Another text for the same file is another entry, read again.
  const std::string other = write("rc2.eisnn", test::rc_model(8));
  const std::string spelled = (dir_ / "." / "rc2.eisnn").string();
  const auto a = load_external(other);
  const auto b = load_external(spelled);
  ASSERT_TRUE(a && b);
  EXPECT_NE(*a, *b);
}

TEST_F(ExternalCacheTest, KeepsTheMostRecentlyUsedModels) {
  const std::string first = write("first.eisnn", test::rc_model(8));
  const auto kept = load_external(first);
  ASSERT_TRUE(kept);
  for (std::size_t i = 0; i < kExternalCacheCapacity + 3; ++i) {
    ASSERT_TRUE(load_external(write("m" + std::to_string(i) + ".eisnn", test::rc_model(8))));
    EXPECT_LE(cache_size(), kExternalCacheCapacity);
  }
  // Evicted, yet still usable by whoever holds it, and read again on demand.
  EXPECT_EQ((*kept)->channels, 8u);
  const auto reread = load_external(first);
  ASSERT_TRUE(reread);
  EXPECT_NE(*reread, *kept);
}

TEST_F(ExternalCacheTest, RefusesWhatIsNotASmallRegularFile) {
  EXPECT_EQ(load_external("/dev/zero").error().message(),
            "reading weights: /dev/zero is not a regular file");
  const std::string fifo = (dir_ / "fifo").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(load_external(fifo).error().message(),
            "reading weights: " + fifo + " is not a regular file");
  const std::string big = (dir_ / "big.eisnn").string();
  std::filesystem::resize_file(write("big.eisnn", {}), kMaxWeightFileBytes + 1);
  EXPECT_NE(load_external(big).error().message().find("larger than the limit"), std::string::npos);
  // None of these spoils later loads.
  EXPECT_TRUE(load_external(write("fine.eisnn", test::rc_model(8))));
}

TEST_F(ExternalCacheTest, FailedLoadsCacheNothing) {
  const std::size_t before = cache_size();
  const std::string path = (dir_ / "later.eisnn").string();
  const auto missing = load_external(path);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().message(), "reading weights: No such file or directory");
  EXPECT_EQ(load_external(dir_.string()).error().kind, nn::NnError::Kind::Io);
  write("later.eisnn", {'n', 'o', 'p', 'e', '!', '!', '!', '!'});
  EXPECT_EQ(load_external(path).error().message(), "not an eisnn weight file (bad magic bytes)");
  EXPECT_EQ(cache_size(), before);
  write("later.eisnn", test::rc_model(8));
  EXPECT_TRUE(load_external(path));
  EXPECT_EQ(cache_size(), std::min(before + 1, kExternalCacheCapacity));
  EXPECT_FALSE(load_external(std::string("a\0b", 3)));
}

}  // namespace
}  // namespace korvex::models
