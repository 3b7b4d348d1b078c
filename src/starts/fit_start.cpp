#include "starts/fit_start.hpp"

#include "circuit/params.hpp"
#include "models/circuit_guess.hpp"
#include "models/registry.hpp"

namespace korvex {
namespace {

// A model without weights in this build cannot guess either.
bool has_builtin_model(const SeriesList& circuit) {
  const auto match = models::find_for_topology(circuit);
  return match && match->model->has_weights();
}

}  // namespace

std::optional<std::string> check_start_options(const StartOptions& options) {
  if (options.weights && options.guess_init == false) {
    return "weights= selects the model for the initial guess, but guess_init=False turns the "
           "guess off: pass one or the other";
  }
  return std::nullopt;
}

StartDecision decide_start(const SeriesList& circuit, bool explicit_values,
                           const StartOptions& options, bool search_without_model) {
  StartDecision d{.starts = options.starts};
  const bool asked = options.guess_init.has_value() || options.weights.has_value();
  d.guess = options.guess_init.value_or(options.weights.has_value() || !explicit_values);
  if (!d.guess || asked || has_builtin_model(circuit)) return d;
  // Placeholder values miss the minimum on most real spectra.
  d.guess = false;
  if (!d.starts && search_without_model) d.starts = StartCount{.automatic = true};
  if (d.starts) {
    d.starts->placeholder_start = true;
  } else {
    d.warn_no_model = true;
  }
  return d;
}

std::variant<ControlledStart, std::string> fit_start(const SeriesList& circuit,
                                                     const StartDecision& decision,
                                                     const std::optional<std::string>& weights,
                                                     const FitControls& controls,
                                                     std::span<const double> frequencies,
                                                     std::span<const Complex> impedances) {
  if (!decision.guess) return apply_fit_controls(circuit, false, controls);
  models::GuessOutcome guessed = models::guess_params(circuit, frequencies, impedances, weights);
  if (auto* message = std::get_if<std::string>(&guessed)) return std::move(*message);
  const auto& values = std::get<std::vector<double>>(guessed);
  if (values.size() < param_count(circuit)) {
    return std::string("the guess returned fewer values than the circuit has parameters");
  }
  return apply_fit_controls(rebuild(circuit, values), true, controls);
}

}  // namespace korvex
