#pragma once
// Where a fit starts: the circuit's own values or a trained model's guess.
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "circuit/node.hpp"
#include "elements/complex_math.hpp"

namespace korvex::models {

struct FitStart {
  SeriesList circuit;     // the circuit with its starting values stored in it
  bool no_model = false;  // own values because no built-in model exists: warn the user
};

// The guess-then-fit policy. `guess` true or false decides; unset, a guess is
// made when `weights_path` is given or when the circuit's values are not the
// user's own (`explicit_values` false), and the circuit keeps its own values,
// with `no_model` set, when its topology has no usable built-in model. A
// guess that cannot be made is an error (the guess's message).
std::variant<FitStart, std::string> fit_start(const SeriesList& circuit, bool explicit_values,
                                              std::optional<bool> guess,
                                              const std::optional<std::string>& weights_path,
                                              std::span<const double> frequencies,
                                              std::span<const Complex> impedances);

}  // namespace korvex::models
