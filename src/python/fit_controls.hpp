#pragma once
// The fit controls by parameter name: constants (held values) and bounds,
// for Circuit.fit(constants=..., bounds=...) and Circuit.with_bounds().
#include <optional>
#include <vector>

#include "circuit/params.hpp"
#include "python/bindings.hpp"

namespace korvex::py {

// `bounds` (None or a mapping of parameter names to (lo, hi) pairs, either
// side None to keep the current one) applied over `current`. Raises
// TypeError/ValueError naming `arg` and the parameter.
std::vector<Bounds> read_bounds(nb::handle bounds, const char* arg, const SeriesList& circuit,
                                std::vector<Bounds> current);

// `constants` (None or a mapping of parameter names to finite values), one
// entry per parameter. Raises TypeError/ValueError naming the parameter.
std::vector<std::optional<double>> read_constants(nb::handle constants, const SeriesList& circuit);

// The two keywords read and checked against the circuit, before any work.
struct FitControls {
  std::vector<Bounds> bounds;                    // the circuit's, overridden
  std::vector<std::optional<double>> constants;  // per parameter
};
FitControls read_fit_controls(const SeriesList& circuit, nb::handle constants, nb::handle bounds);

struct ControlledStart {
  SeriesList circuit;      // start values with constants applied, bounds attached
  std::vector<bool> held;  // per parameter
};

// The fit's start from `start` (own values or a guess, `guessed` saying
// which) under the controls. A guessed value outside a narrowed bound is
// moved onto it; an own value there, or a constant outside its bounds, is
// refused.
ControlledStart apply_fit_controls(const SeriesList& start, bool guessed,
                                   const FitControls& controls);

// Registers Circuit.with_bounds.
void register_circuit_bounds(nb::module_& m);

}  // namespace korvex::py
