#pragma once
// The circuit guess, shared by Circuit.guess() and Circuit.fit().
#include <optional>
#include <string>
#include <vector>

#include "python/bindings.hpp"
#include "python/convert.hpp"

namespace korvex::py {

// Starting values for the circuit's own parameters, in parameter order,
// predicted from the spectrum by the built-in model for its topology or by
// the model in the ".eisnn" file `weights_path`. Raises ValueError with the
// guessing subsystem's message when no guess can be made.
std::vector<double> guess_params(const PyCircuit& circuit, const SpectrumData& spectrum,
                                 const std::optional<std::string>& weights_path);

// Names of the built-in models, each in single quotes, joined by ", ".
std::string builtin_model_list();

}  // namespace korvex::py
