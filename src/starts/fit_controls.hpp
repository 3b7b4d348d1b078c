#pragma once
// The fit controls by parameter name (constants held at a value, bounds)
// checked against a circuit, and the start values they allow.
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "circuit/params.hpp"
#include "starts/start_options.hpp"

namespace korvex {

// `bounds` applied over `current` (one entry per parameter). An error names
// the keyword `arg` and the parameter: an unknown name (with the closest
// one), a NaN side, a lower bound that is not finite, lo >= hi.
std::variant<std::vector<Bounds>, std::string> merge_bounds(const SeriesList& circuit,
                                                            const NamedBounds& bounds,
                                                            std::vector<Bounds> current,
                                                            const char* arg);

struct FitControls {
  std::vector<Bounds> bounds;                    // the circuit's, overridden
  std::vector<std::optional<double>> constants;  // per parameter

  // Per parameter: held by a constant.
  std::vector<bool> held() const {
    std::vector<bool> out;
    for (const auto& constant : constants) out.push_back(constant.has_value());
    return out;
  }
};

// Both controls against the circuit, before any work: the bounds as
// merge_bounds checks them, then the constants (known names, finite values).
std::variant<FitControls, std::string> resolve_fit_controls(const SeriesList& circuit,
                                                            const NamedValues& constants,
                                                            const NamedBounds& bounds);

struct ControlledStart {
  SeriesList circuit;      // start values with constants applied, bounds attached
  std::vector<bool> held;  // per parameter
};

// The fit's start from `start` (own values or a guess, `guessed` saying
// which) under the controls. A guessed value outside a narrowed bound is
// moved onto it; an own value there, or a constant outside its bounds, is
// an error. Catalogue bounds keep their treatment: the fit clamps.
std::variant<ControlledStart, std::string> apply_fit_controls(const SeriesList& start, bool guessed,
                                                              const FitControls& controls);

}  // namespace korvex
