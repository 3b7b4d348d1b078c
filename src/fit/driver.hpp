#pragma once
// The single entry of the fitting engine: selects a method by name.
#include "fit/outcome.hpp"
#include "fit/settings.hpp"

namespace korvex {

// Throws Cancelled when `settings.cancel` (or the calling thread's flag, see
// common/cancel.hpp) is set while the fit runs.
FitResultOr run_fit(const FitSettings& settings);

}  // namespace korvex
