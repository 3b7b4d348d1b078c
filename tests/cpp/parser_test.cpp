#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <variant>

#include "circuit/parser.hpp"

namespace korvex {
namespace {

SeriesList parse_ok(const std::string& text) {
  auto result = parse(text);
  if (auto* error = std::get_if<ParseError>(&result)) {
    ADD_FAILURE() << text << ": " << error->message();
    return {};
  }
  return std::get<SeriesList>(std::move(result));
}

ParseError parse_error(const std::string& text) {
  auto result = parse(text);
  if (auto* error = std::get_if<ParseError>(&result)) return *error;
  ADD_FAILURE() << text << " parsed";
  return {};
}

TEST(Parser, Structure) {
  const SeriesList t = parse_ok("R0-(R1,C1)");
  ASSERT_EQ(t.size(), 2u);
  EXPECT_FALSE(t[0].parallel);
  EXPECT_EQ(t[0].element.kind, Kind::R);
  EXPECT_EQ(t[0].label, "R0");
  ASSERT_TRUE(t[1].parallel);
  ASSERT_EQ(t[1].branches.size(), 2u);
  EXPECT_EQ(t[1].branches[0].at(0).label, "R1");
  EXPECT_EQ(t[1].branches[1].at(0).element.kind, Kind::C);
  EXPECT_EQ(t[1].branches[1].at(0).element.fields[0], 0.001);
  EXPECT_EQ(t, parse_ok("R0-p(R1,C1)"));

  const SeriesList one = parse_ok("(R1)");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_TRUE(one[0].parallel);
  EXPECT_EQ(one[0].branches.size(), 1u);

  const SeriesList nested = parse_ok("((R1,C1),L2)");
  ASSERT_TRUE(nested[0].branches[0][0].parallel);
  EXPECT_EQ(nested[0].branches[1][0].label, "L2");
}

TEST(Parser, LabelsAndSpellings) {
  EXPECT_EQ(parse_ok("CPE1")[0].element.kind, Kind::Cpe);
  EXPECT_EQ(parse_ok("CPE1")[0].label, "CPE1");
  EXPECT_EQ(parse_ok("Cpe1")[0].label, "Cpe1");
  EXPECT_EQ(parse_ok("TLMQ12")[0].element.kind, Kind::Tlmq);
  EXPECT_EQ(parse_ok("R007")[0].label, "R007");
  EXPECT_EQ(parse_ok("R1-R01").size(), 2u);
  EXPECT_EQ(parse_ok("Cpe1-CPE1").size(), 2u);  // labels compare as exact texts
  // "p" is an ordinary letter where no group opens.
  EXPECT_EQ(parse_ok("R0-(p(R1),C2)")[1].branches[0][0].branches[0][0].label, "R1");
}

TEST(Parser, LeafOrder) {
  const SeriesList t = parse_ok("((R1,C2)-L3,W4)-R5");
  std::string order;
  for (const Leaf& leaf : collect_leaves(t)) order += **leaf.label + " ";
  EXPECT_EQ(order, "R1 C2 L3 W4 R5 ");
}

struct ErrorCase {
  const char* text;
  ParseError::Kind kind;
  std::size_t position;  // when the kind carries one
  const char* payload;   // unknown code or duplicate label
};

class ParserErrors : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParserErrors, KindPositionAndPayload) {
  const ErrorCase& c = GetParam();
  const ParseError e = parse_error(c.text);
  EXPECT_EQ(e.kind, c.kind) << c.text;
  if (e.has_position()) EXPECT_EQ(e.position, c.position) << c.text;
  EXPECT_EQ(e.text, c.payload) << c.text;
}

using K = ParseError::Kind;
INSTANTIATE_TEST_SUITE_P(
    Table, ParserErrors,
    testing::Values(
        ErrorCase{"", K::UnexpectedEnd, 0, ""}, ErrorCase{"R0-", K::UnexpectedEnd, 0, ""},
        ErrorCase{"(R1,", K::UnexpectedEnd, 0, ""}, ErrorCase{"(R1,C1", K::UnexpectedEnd, 0, ""},
        ErrorCase{"(R1 C1)", K::UnexpectedEnd, 0, ""}, ErrorCase{"R0)", K::TrailingInput, 2, ""},
        ErrorCase{"R", K::UnexpectedCharacter, 1, ""},
        ErrorCase{"R-C1", K::UnexpectedCharacter, 1, ""},
        ErrorCase{"R0-p", K::UnexpectedCharacter, 4, ""},
        ErrorCase{"()", K::UnexpectedCharacter, 1, ""}, ErrorCase{"X1", K::UnknownCode, 0, "X"},
        ErrorCase{"R0-RC1", K::UnknownCode, 3, "RC"}, ErrorCase{"cpe1", K::UnknownCode, 0, "cpe"},
        ErrorCase{"p1", K::UnknownCode, 0, "p"}, ErrorCase{"R1-C1-R1", K::DuplicateLabel, 0, "R1"},
        // Positions count characters: é is two bytes, 😀 four.
        ErrorCase{"R0-\xc3\xa9"
                  "1",
                  K::UnexpectedCharacter, 3, ""},
        ErrorCase{"R0-C1\xf0\x9f\x98\x80", K::TrailingInput, 5, ""},
        ErrorCase{"\xff\xfe", K::UnexpectedCharacter, 0, ""},
        ErrorCase{"R0-\xc3", K::UnexpectedCharacter, 3, ""}));

TEST(Parser, NestingLimit) {
  std::string mixed;
  for (std::size_t i = 0; i < kMaxNestingDepth; ++i) mixed += i % 2 ? "p(" : "(";
  mixed += "R1" + std::string(kMaxNestingDepth, ')');
  EXPECT_EQ(nesting_depth(parse_ok(mixed)), kMaxNestingDepth);

  // The opener of one group too many is reported.
  const std::string one_more =
      std::string(kMaxNestingDepth + 1, '(') + "R1" + std::string(kMaxNestingDepth + 1, ')');
  const ParseError e = parse_error(one_more);
  EXPECT_EQ(e.kind, K::TooDeep);
  EXPECT_EQ(e.position, kMaxNestingDepth);
  EXPECT_EQ(e.message(), "groups nested more than 200 deep at position 200");

  // Far beyond the limit: a clear error, never a stack overflow.
  for (const char* opener : {"(", "p("}) {
    std::string huge;
    for (int i = 0; i < 100000; ++i) huge += opener;
    EXPECT_EQ(parse_error(huge).kind, K::TooDeep);
  }
  // A long flat series is not nesting.
  std::string flat = "R0";
  for (int i = 1; i < 20000; ++i) flat += "-R" + std::to_string(i);
  EXPECT_EQ(parse_ok(flat).size(), 20000u);
}

TEST(ExpandSeries, KAndZarc) {
  SeriesList t = parse_ok("R0-K1-(Zarc2,C3)");
  t[1].element.fields = {4.0, 2e-3};
  t[2].branches[0][0].element.fields = {5.0, 1e-3, 0.7};
  bool changed = false;
  const SeriesList x = expand_series(t, changed);
  EXPECT_TRUE(changed);
  ASSERT_EQ(x.size(), 3u);
  EXPECT_EQ(x[0], t[0]);
  ASSERT_TRUE(x[1].parallel);
  const SeriesList r_branch{Node::make_element({Kind::R, {4.0}})};
  const SeriesList c_branch{Node::make_element({Kind::C, {2e-3 / 4.0}})};
  EXPECT_EQ(x[1].branches, (std::vector<SeriesList>{r_branch, c_branch}));
  const Node& zarc = x[2].branches[0][0];
  ASSERT_TRUE(zarc.parallel);
  EXPECT_EQ(zarc.branches[0][0].element, (Element{Kind::R, {5.0}}));
  EXPECT_EQ(zarc.branches[1][0].element, (Element{Kind::Cpe, {std::pow(1e-3, 0.7) / 5.0, 0.7}}));
  EXPECT_FALSE(zarc.branches[1][0].label.has_value());
  EXPECT_EQ(x[2].branches[1][0], t[2].branches[1][0]);

  // Nothing to expand: an equal copy, and the flag is left as it was.
  const SeriesList plain = parse_ok("R0-(R1,C1)");
  for (bool initial : {false, true}) {
    bool flag = initial;
    EXPECT_EQ(expand_series(plain, flag), plain);
    EXPECT_EQ(flag, initial);
  }
}

}  // namespace
}  // namespace korvex
