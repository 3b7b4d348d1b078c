#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/identify_starts.hpp"
#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"

namespace korvex::analysis {
namespace {

SeriesList circuit(const std::string& text) { return std::get<SeriesList>(parse(text)); }

// A two-arc spectrum (RC at 1e-4 s, RQ at 1e-1 s) over seven decades.
struct TwoArcs : ::testing::Test {
  std::vector<double> f;
  std::vector<Complex> z;
  void SetUp() override {
    const SeriesList truth = rebuild(circuit("R0-p(R1,C1)-p(R2,CPE2)"),
                                     std::vector<double>{5.0, 20.0, 5e-6, 80.0, 1.5e-3, 0.85});
    for (int i = 0; i < 60; ++i) f.push_back(std::pow(10.0, -2.0 + 7.0 * i / 59.0));
    z.resize(f.size());
    impedance_spectrum(truth, f, z);
  }
};

// One start per distinct order of the arc slots' shapes.
TEST_F(TwoArcs, SlotOrdersCountDistinctShapesOnly) {
  EXPECT_EQ(slot_order_starts(circuit("R0-p(R1,C1)-p(R2,CPE2)"), f, z).size(), 2u);
  EXPECT_EQ(slot_order_starts(circuit("R0-p(R1,CPE1)-p(R2,CPE2)"), f, z).size(), 1u);
  EXPECT_EQ(slot_order_starts(circuit("p(R1,C1)-G1-G2"), f, z).size(), 3u);
}

// The larger circuit keeps the smaller one's values on the shared nodes.
TEST_F(TwoArcs, NestedStartKeepsTheSmallerFit) {
  const SeriesList smaller = rebuild(circuit("R0-p(R1,C1)"), std::vector<double>{5.0, 20.0, 5e-6});
  const auto start = nested_start(circuit("R0-p(R1,C1)-p(R2,CPE2)"), smaller, f, z);
  ASSERT_TRUE(start.has_value());
  ASSERT_EQ(start->size(), 6u);
  EXPECT_EQ(std::vector<double>(start->begin(), start->begin() + 3), param_values(smaller));
  EXPECT_FALSE(nested_start(circuit("R0-Ws1"), smaller, f, z).has_value());
  // A CPE takes a capacitor's value, with an exponent just below 1.
  const auto general = nested_start(circuit("R0-p(R1,CPE1)"), smaller, f, z);
  ASSERT_TRUE(general.has_value());
  EXPECT_EQ((*general)[2], 5e-6);
  EXPECT_LT((*general)[3], 1.0);
}

TEST(ReducedStarts, OneStartPerChoiceOfTheLargerFitsNodes) {
  // Distinct fitted values, so that each choice gives its own start.
  const SeriesList three =
      rebuild(circuit("p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)"),
              std::vector<double>{1.0, 1e-3, 0.9, 2.0, 1e-2, 0.8, 3.0, 1e-1, 0.7});
  const SeriesList capacitors = circuit("p(R1,C1)-p(R2,CPE2)-p(R3,CPE3)");
  const std::tuple<std::string, const SeriesList*, std::size_t> cases[] = {
      {"p(R1,CPE1)-p(R2,CPE2)", &three, 3},  // each arc left out once
      {"p(R1,CPE1)", &three, 3},
      {"p(R1,C1)-p(R2,CPE2)-p(R3,CPE3)", &three, 3},         // which CPE becomes the capacitor
      {"p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)", &capacitors, 0},  // not held: a capacitor is no CPE
      {"p(R1,CPE1)-p(R2,CPE2)-p(R3,CPE3)", &three, 0},       // the same circuit
  };
  for (const auto& [smaller, larger, count] : cases) {
    EXPECT_EQ(reduced_starts(circuit(smaller), *larger).size(), count) << smaller;
  }
}

}  // namespace
}  // namespace korvex::analysis
