#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "circuit/params.hpp"
#include "circuit/parser.hpp"

namespace korvex {
namespace {

using Names = std::vector<std::string>;
constexpr double kInf = std::numeric_limits<double>::infinity();

SeriesList tree(const std::string& text) { return std::get<SeriesList>(parse(text)); }

TEST(Params, ListsForParsedCircuits) {
  const SeriesList rc = tree("R0-(R1,C1)");
  EXPECT_EQ(param_count(rc), 3u);
  EXPECT_EQ(param_names(rc), (Names{"R0.r", "R1.r", "C1.c"}));
  EXPECT_EQ(param_units(rc), (std::vector<std::string_view>{"ohm", "ohm", "F"}));
  EXPECT_EQ(param_bounds(rc), (std::vector<Bounds>(3, {1e-12, kInf})));
  EXPECT_EQ(param_values(rc), (std::vector<double>{1.0, 1.0, 0.001}));

  const SeriesList zarc = tree("R0-Zarc1");
  EXPECT_EQ(param_names(zarc), (Names{"R0.r", "Zarc1.r", "Zarc1.tau_k", "Zarc1.gamma"}));
  EXPECT_EQ(param_bounds(zarc),
            (std::vector<Bounds>{{1e-12, kInf}, {1e-12, kInf}, {1e-12, kInf}, {0.0, 1.0}}));

  EXPECT_EQ(param_names(tree("T1")), (Names{"T1.a", "T1.b", "T1.k_tau", "T1.tau"}));
  EXPECT_EQ(param_names(tree("CPE3")), (Names{"CPE3.q", "CPE3.alpha"}));
  EXPECT_EQ(param_units(tree("TLMQ1"))[1], "F*s^(gamma-1)");

  const SeriesList empty;
  EXPECT_EQ(param_count(empty), 0u);
  EXPECT_TRUE(param_names(empty).empty());
  EXPECT_TRUE(param_values(empty).empty());
}

TEST(Params, AutomaticLabels) {
  const auto el = [](Kind k) { return Node::make_element(*default_for_code(code(k))); };
  const SeriesList mixed{el(Kind::R), el(Kind::C), el(Kind::R)};
  EXPECT_EQ(param_names(mixed), (Names{"R0.r", "C0.c", "R1.r"}));

  // One counter per code, in leaf order through groups; canonical code spelling.
  const SeriesList cpes{Node::make_parallel({{el(Kind::Cpe)}, {el(Kind::Tlmq)}}), el(Kind::Cpe)};
  EXPECT_EQ(param_names(cpes), (Names{"Cpe0.q", "Cpe0.alpha", "Tlmq0.r_ion", "Tlmq0.qs",
                                      "Tlmq0.gamma", "Cpe1.q", "Cpe1.alpha"}));

  // Labelled leaves do not advance the counters, and names are not made unique.
  SeriesList labelled = tree("R0");
  labelled.push_back(el(Kind::R));
  EXPECT_EQ(param_names(labelled), (Names{"R0.r", "R0.r"}));
}

TEST(Params, RebuildRoundTripsAndAssignsInOrder) {
  for (const char* text : {"R0-(R1,C1)", "L0-R0-(R1-W1,CPE1)-((K2,Zarc3),T4)", "Gs1-(La2)"}) {
    const SeriesList t = tree(text);
    EXPECT_EQ(rebuild(t, param_values(t)), t) << text;

    std::vector<double> v(param_count(t) + 3);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = 10.0 + static_cast<double>(i);
    const SeriesList r = rebuild(t, v);  // extra values are ignored
    EXPECT_EQ(param_values(r), std::vector<double>(v.begin(), v.end() - 3)) << text;
    EXPECT_EQ(param_names(r), param_names(t)) << text;
    EXPECT_EQ(nesting_depth(r), nesting_depth(t)) << text;
  }
}

struct SuggestCase {
  const char* name;
  Names candidates;
  const char* expected;  // nullptr: no suggestion
};

class Suggestions : public testing::TestWithParam<SuggestCase> {};

TEST_P(Suggestions, ClosestName) {
  const SuggestCase& c = GetParam();
  const auto got = closest_param_name(c.name, c.candidates);
  if (c.expected) {
    ASSERT_TRUE(got.has_value()) << c.name;
    EXPECT_EQ(*got, c.expected);
  } else {
    EXPECT_FALSE(got.has_value()) << c.name << " -> " << *got;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Suggestions,
    testing::Values(SuggestCase{"R0.x", {"R0.r", "C1.c"}, "R0.r"},
                    SuggestCase{"foo", {"R0.r"}, nullptr},
                    SuggestCase{"R3.r", {"R1.r", "R2.r"}, "R1.r"},  // first on ties
                    SuggestCase{"R0.r", {}, nullptr},
                    SuggestCase{"capacitance", {"R0.r", "R1.r", "C1.c"}, nullptr},
                    SuggestCase{"R0.xy", {"R0.r"}, "R0.r"},       // 5 chars: limit 2
                    SuggestCase{"R0xyz", {"R0.r"}, nullptr},      // distance 3
                    SuggestCase{"C1.capa", {"C1.c"}, "C1.c"},     // 7 chars: limit 3
                    SuggestCase{"C1.capac", {"C1.c"}, "C1.c"},    // 8 chars: limit 4
                    SuggestCase{"C1.capaci", {"C1.c"}, nullptr},  // 9 chars: distance 5
                    SuggestCase{"xy", {"R0.r"}, nullptr},         // distance 4 > 2
                    SuggestCase{"R.r", {"R0.r"}, "R0.r"},
                    SuggestCase{"r0.R", {"R0.r"}, "R0.r"},  // case-sensitive: 2
                    // characters, not bytes: "é" is one substitution
                    SuggestCase{"R0.\xc3\xa9", {"R0.r"}, "R0.r"},
                    SuggestCase{"\xc3\xa9\xc3\xa9\xc3\xa9", {"ab\xc3\xa9"}, "ab\xc3\xa9"}));

}  // namespace
}  // namespace korvex
