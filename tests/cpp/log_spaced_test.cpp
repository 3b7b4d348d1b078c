#include "common/log_spaced.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace korvex {
namespace {

TEST(LogSpacedPoints, AnEvenSpreadAscendingOrEveryPointAsGiven) {
  std::vector<double> f;
  for (int i = 0; i < 2000; ++i) f.push_back(std::pow(10.0, 5.0 - 8.0 * i / 1999.0));
  const auto kept = log_spaced_points(f, 120);
  EXPECT_EQ(kept.size(), 120u);
  EXPECT_EQ(kept.front(), 1999u);  // the lowest frequency first
  EXPECT_EQ(kept.back(), 0u);
  EXPECT_EQ(log_spaced_points(std::vector<double>{3.0, 1.0, 2.0}, 120),
            (std::vector<std::size_t>{0, 1, 2}));
  EXPECT_EQ(log_spaced_points(std::vector<double>{3.0, 0.0, 2.0, 1.0}, 2).size(), 4u);
}

}  // namespace
}  // namespace korvex
