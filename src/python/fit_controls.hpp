#pragma once
// The fit controls by parameter name, constants (held values) and bounds:
// the conversion of their mappings, and the core's checks
// (starts/fit_controls.hpp) raised as ValueError.
#include "fit/options.hpp"
#include "python/bindings.hpp"
#include "starts/fit_controls.hpp"

namespace korvex::py {

// None or a mapping of parameter names to floats. Raises TypeError naming
// `arg`.
NamedValues to_named_values(nb::handle constants, const char* arg);
// None or a mapping of parameter names to (lo, hi) pairs, either side None.
// Raises TypeError naming `arg` and the parameter.
NamedBounds to_named_bounds(nb::handle bounds, const char* arg);

// The options' constants and bounds checked against the circuit, before any
// work; ValueError names the keyword and the parameter.
FitControls read_fit_controls(const SeriesList& circuit, const FitOptions& options);

// The value of a core result that may be a message: the message as
// ValueError.
template <class T>
T value_or_raise(std::variant<T, std::string> result) {
  if (auto* message = std::get_if<std::string>(&result)) throw nb::value_error(message->c_str());
  return std::move(std::get<T>(result));
}

// Registers Circuit.with_bounds.
void register_circuit_bounds(nb::module_& m);

}  // namespace korvex::py
