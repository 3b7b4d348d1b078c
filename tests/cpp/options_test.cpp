// The option table: names found and suggested, and the checks of validate().
#include "fit/options.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

namespace korvex {
namespace {

TEST(FitOptions, TableNamesAreUniqueAndFound) {
  std::set<std::string> names;
  for (const OptionField& field : fit_option_table()) {
    EXPECT_TRUE(names.insert(field.name).second) << field.name;
    EXPECT_EQ(find_fit_option(field.name), &field);
  }
  EXPECT_EQ(find_fit_option("ftoll"), nullptr);
  EXPECT_EQ(closest_fit_option("ftoll"), "ftol");
  EXPECT_EQ(closest_fit_option("frequencies"), std::nullopt);
}

TEST(FitOptions, ValidateNamesTheFirstProblem) {
  FitOptions options;
  EXPECT_EQ(options.validate(), std::nullopt);
  options.xtol = NAN;
  EXPECT_EQ(options.validate(), "xtol must be a non-negative number, got NaN");
  options.xtol = 0.0;
  options.starts = StartCount{2};
  options.method = "nelder_mead";
  EXPECT_EQ(options.validate(),
            "starts works with the method \"levenberg_marquardt\" only, got \"nelder_mead\"");
}

}  // namespace
}  // namespace korvex
