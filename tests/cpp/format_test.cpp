#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "common/format.hpp"

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Cases = std::vector<std::pair<double, const char*>>;

TEST(Format, DebugFloat) {
  const Cases cases{{1.0, "1.0"},
                    {0.001, "0.001"},
                    {10.0, "10.0"},
                    {1e-6, "1e-6"},
                    {1.5e-5, "1.5e-5"},
                    {1e-4, "0.0001"},
                    {9.99e-5, "9.99e-5"},
                    {1e16, "1e16"},
                    {1e15, "1000000000000000.0"},
                    {-2.5e20, "-2.5e20"},
                    {0.1, "0.1"},
                    {0.0, "0.0"},
                    {-0.0, "-0.0"},
                    {kNaN, "NaN"},
                    {kInf, "inf"},
                    {-kInf, "-inf"},
                    {1.0 / 3.0, "0.3333333333333333"}};
  for (const auto& [x, text] : cases) EXPECT_EQ(debug_float(x), text) << text;
}

// The representation tests of the Python module cover the common values.
TEST(Format, CompactFloat) {
  const Cases cases{
      {0.0, "0"},       {-0.0, "-0"},       {-kInf, "-inf"},  {kNaN, "NaN"},
      {-1e-5, "-1e-5"}, {5e-324, "5e-324"}, {1e300, "1e300"}, {-999999.5, "-999999.5"}};
  for (const auto& [x, text] : cases) EXPECT_EQ(compact_float(x), text) << text;
}

TEST(Format, Scientific6) {
  const Cases cases{{1.2345678e-3, "1.234568e-3"},
                    {0.0, "0.000000e0"},
                    {-2.5e10, "-2.500000e10"},
                    {kInf, "inf"},
                    {kNaN, "NaN"},
                    {1e100, "1.000000e100"}};
  for (const auto& [x, text] : cases) EXPECT_EQ(scientific6(x), text) << text;
}

TEST(Format, DebugString) {
  EXPECT_EQ(debug_string("R0.r"), "\"R0.r\"");
  EXPECT_EQ(debug_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(debug_string("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(debug_string(std::string("x\0y", 3)), "\"x\\0y\"");
  EXPECT_EQ(debug_string("\x1b\x7f"), "\"\\u{1b}\\u{7f}\"");
  // C1 controls are escaped; other non-ASCII text is kept as it is.
  EXPECT_EQ(debug_string("\xc2\x85\xc2\x9f\xc2\xa0\xc3\xa9"), "\"\\u{85}\\u{9f}\xc2\xa0\xc3\xa9\"");
  EXPECT_EQ(debug_string(""), "\"\"");
  EXPECT_EQ(debug_list({"R0.r", "C1.c"}), "[\"R0.r\", \"C1.c\"]");
  EXPECT_EQ(debug_list({}), "[]");
}

}  // namespace
}  // namespace korvex
