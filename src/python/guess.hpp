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

// The UserWarning of a fit that would guess but finds no built-in model for
// the circuit; `stacklevel` as in warnings.warn. Raises if the filters turn
// the warning into an error.
void warn_no_model(int stacklevel);

}  // namespace korvex::py
