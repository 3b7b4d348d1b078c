#pragma once
// Where a fit starts, for one fit and for every spectrum of a batch: the
// circuit's own values, a trained model's guess, or the catalogue
// placeholders (searched from several starts, with the data-driven estimate
// among them, when there is no model to guess).
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "circuit/node.hpp"
#include "elements/complex_math.hpp"
#include "starts/fit_controls.hpp"
#include "starts/start_options.hpp"

namespace korvex {

struct StartDecision {
  bool guess = false;                // every spectrum starts from the trained guess
  bool warn_no_model = false;        // placeholder values and nothing better: warn the user
  std::optional<StartCount> starts;  // the multi-start search, as decided
};

// Why the start options contradict each other, or nothing: a weight file
// feeds only the guess, so with the guess turned off it would be ignored.
std::optional<std::string> check_start_options(const StartOptions& options);

// The guess-then-fit policy. `options.guess_init` true or false decides;
// unset, a guess is made when a weight file is given or when the circuit's
// values are not the user's own (`explicit_values` false). A circuit whose
// topology has no usable built-in model keeps its placeholder values then:
// a search adds the estimate to them (nothing to warn about); without one,
// `search_without_model` (a batch with a local method) turns on
// starts="auto", and otherwise the user is warned.
StartDecision decide_start(const SeriesList& circuit, bool explicit_values,
                           const StartOptions& options, bool search_without_model);

// One spectrum's start under `decision`: the guess (from `weights`, or the
// built-in model) or the circuit's values, under the controls
// (apply_fit_controls). A guess that cannot be made is an error (the
// guess's message).
std::variant<ControlledStart, std::string> fit_start(const SeriesList& circuit,
                                                     const StartDecision& decision,
                                                     const std::optional<std::string>& weights,
                                                     const FitControls& controls,
                                                     std::span<const double> frequencies,
                                                     std::span<const Complex> impedances);

}  // namespace korvex
