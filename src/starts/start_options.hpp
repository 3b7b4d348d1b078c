#pragma once
// What the user asks of a fit's start: a guess or not, the weight file of the
// model that guesses, extra starts, and the parameters held or bounded by
// name. fit_start.hpp decides the start from them; the fit's options
// (fit/options.hpp) carry them.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace korvex {

// Extra Levenberg-Marquardt starts of a multi-start search (start_points.hpp).
struct StartCount {
  std::uint64_t count = 0;         // starts besides the given one
  bool automatic = false;          // count from the parameter count, early stop
  bool placeholder_start = false;  // the given values are catalogue placeholders: one run from them
};

// (parameter name, value) pairs, in the order given.
using NamedValues = std::vector<std::pair<std::string, double>>;
// One bound as given: an unset side keeps the circuit's.
struct BoundSides {
  std::optional<double> lo;
  std::optional<double> hi;
};
using NamedBounds = std::vector<std::pair<std::string, BoundSides>>;

struct StartOptions {
  std::optional<bool> guess_init;      // unset: guess unless the values are the user's own
  std::optional<std::string> weights;  // weight file of the model that guesses
  std::optional<StartCount> starts;    // absent: one fit from the chosen start
  NamedValues constants;               // held at these values
  NamedBounds bounds;                  // narrowed (or widened) bounds
};

}  // namespace korvex
