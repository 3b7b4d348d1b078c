#pragma once
// The single entry of the fitting engine: selects a method by name.
#include "fit/outcome.hpp"
#include "fit/settings.hpp"

namespace korvex {

FitResultOr run_fit(const FitSettings& settings);

}  // namespace korvex
