#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"

namespace korvex {
namespace {

SeriesList tree(const std::string& text) { return std::get<SeriesList>(parse(text)); }
Node leaf(Kind kind) { return Node::make_element(Element{kind, {1.0, 0.5}}); }

TEST(CircuitText, ParsedTextsComeBackCanonical) {
  for (const auto& [in, out] : std::vector<std::pair<std::string, std::string>>{
           {"R0", "R0"},
           {"R0-(R1,C1)", "R0-p(R1,C1)"},
           {"R0-p(R1-W1,CPE1)-Wo12", "R0-p(R1-W1,CPE1)-Wo12"},
           {"((R1,C1),L2)", "p(p(R1,C1),L2)"},
           {"Cpe3-TLMQ1", "Cpe3-TLMQ1"},
       }) {
    const std::string text = circuit_text(tree(in));
    EXPECT_EQ(text, out);
    EXPECT_TRUE(has_text_form(tree(in)));
    EXPECT_EQ(tree(text), tree(in)) << in;
  }
}

TEST(CircuitText, UnlabelledLeavesTakeTheirAutomaticLabels) {
  // Series([R, Parallel([R, Cpe]), R]) joined with a parsed "R0": the parsed
  // label stays, the others count per code over the unlabelled leaves only.
  SeriesList c{leaf(Kind::R), Node::make_parallel({{leaf(Kind::R)}, {leaf(Kind::Cpe)}}),
               Node::make_element(Element{Kind::C, {1.0}}, "C7")};
  EXPECT_EQ(circuit_text(c), "R0-p(R1,Cpe0)-C7");
  EXPECT_EQ(param_names(tree(circuit_text(c))), param_names(c));
}

TEST(CircuitText, EmptyGroupsAndRepeatedLabelsHaveNoTextForm) {
  EXPECT_EQ(circuit_text(SeriesList{}), "");
  EXPECT_TRUE(has_text_form(SeriesList{}));
  // A parsed "R0" joined with an unlabelled resistor, which is also called R0.
  const SeriesList repeated{Node::make_element(Element{Kind::R, {1.0}}, "R0"), leaf(Kind::R)};
  const SeriesList no_branch{Node::make_parallel({})};
  const SeriesList empty_branch{Node::make_parallel({{}, {leaf(Kind::R)}})};
  for (const SeriesList* c : {&repeated, &no_branch, &empty_branch}) {
    EXPECT_FALSE(has_text_form(*c));
  }
  // Still distinct texts, as equality needs.
  EXPECT_EQ(circuit_text(repeated), "R0-R0");
  EXPECT_EQ(circuit_text(no_branch), "p()");
  EXPECT_EQ(circuit_text(empty_branch), "p(,R0)");
}

TEST(CircuitText, WithoutLabelsRestoresAutomaticLabels) {
  const SeriesList parsed = tree("R0-p(R1,Cpe0)-C7");
  const std::vector<std::size_t> automatic{0, 1, 2, 99};
  const SeriesList c = without_labels(parsed, automatic);
  EXPECT_FALSE(c[0].label);
  EXPECT_FALSE(c[1].branches[1][0].label);
  EXPECT_EQ(c[2].label, "C7");
  EXPECT_EQ(param_names(c), param_names(parsed));
  EXPECT_EQ(param_values(c), param_values(parsed));
}

}  // namespace
}  // namespace korvex
