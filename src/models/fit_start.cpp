#include "models/fit_start.hpp"

#include "circuit/params.hpp"
#include "models/circuit_guess.hpp"
#include "models/registry.hpp"

namespace korvex::models {
namespace {

// A model without weights in this build cannot guess either.
bool has_builtin_model(const SeriesList& circuit) {
  const auto match = find_for_topology(circuit);
  return match && match->model->has_weights();
}

}  // namespace

std::variant<FitStart, std::string> fit_start(const SeriesList& circuit, bool explicit_values,
                                              std::optional<bool> guess,
                                              const std::optional<std::string>& weights_path,
                                              std::span<const double> frequencies,
                                              std::span<const Complex> impedances) {
  if (!guess.value_or(weights_path.has_value() || !explicit_values)) return FitStart{circuit};
  if (!guess && !weights_path && !has_builtin_model(circuit)) return FitStart{circuit, true};
  GuessOutcome guessed = guess_params(circuit, frequencies, impedances, weights_path);
  if (auto* message = std::get_if<std::string>(&guessed)) return std::move(*message);
  const auto& values = std::get<std::vector<double>>(guessed);
  if (values.size() < param_count(circuit)) {
    return std::string("the guess returned fewer values than the circuit has parameters");
  }
  return FitStart{rebuild(circuit, values)};
}

}  // namespace korvex::models
