#pragma once
// FitResult: the Python face of a FitOutcome.
#include "fit/outcome.hpp"
#include "python/bindings.hpp"

namespace korvex::py {

// A new FitResult holding copies of the outcome's values.
nb::object wrap_fit_result(const FitOutcome& outcome);

// Registers the FitResult class on the module.
void register_fit_result(nb::module_& m);

}  // namespace korvex::py
