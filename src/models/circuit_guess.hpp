#pragma once
// Starting values for every parameter of a user's circuit, predicted from a
// measured spectrum by the trained model for its topology.
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/node.hpp"
#include "elements/complex_math.hpp"

namespace korvex::models {

// The values in the circuit's param_names() order, or the failure's message.
using GuessOutcome = std::variant<std::vector<double>, std::string>;

// Uses the built-in model for the circuit's topology, or the model in the
// ".eisnn" file `weights_path` (read once per path text per process). K and
// Zarc elements are guessed through the (R,C) / (R,Cpe) models and their
// values converted back to r, tau_k (and gamma).
GuessOutcome guess_params(const SeriesList& circuit, std::span<const double> frequencies,
                          std::span<const Complex> impedances,
                          const std::optional<std::string>& weights_path);

// "No training data on this circuit. ..." with the built-in model names.
std::string no_model_message();

}  // namespace korvex::models
