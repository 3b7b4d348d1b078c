#include "starts/fit_controls.hpp"

#include <algorithm>
#include <cmath>

#include "common/format.hpp"

namespace korvex {
namespace {

std::string interval(const Bounds& b) {
  // Appended piece by piece: GCC 12 warns (-Wrestrict, a false positive) on
  // "(" + std::string inlined into its memcpy.
  std::string text = "(";
  text += compact_float(b.first);
  text += ", ";
  text += compact_float(b.second);
  text += ")";
  return text;
}

// Index of the parameter `name` names, or the message naming the closest one.
std::variant<std::size_t, std::string> parameter_index(const std::string& name, const char* arg,
                                                       const std::vector<std::string>& names) {
  const auto at = std::find(names.begin(), names.end(), name);
  if (at != names.end()) return static_cast<std::size_t>(at - names.begin());
  const auto suggestion = closest_param_name(name, names);
  return std::string("argument '") + arg + "': unknown parameter " + debug_string(name) +
         (suggestion ? " (did you mean " + debug_string(*suggestion) + "?)" : "") +
         "; valid parameters are " + debug_list(names);
}

}  // namespace

std::variant<std::vector<Bounds>, std::string> merge_bounds(const SeriesList& circuit,
                                                            const NamedBounds& bounds,
                                                            std::vector<Bounds> current,
                                                            const char* arg) {
  const auto names = param_names(circuit);
  for (const auto& [key, sides] : bounds) {
    auto index = parameter_index(key, arg, names);
    if (auto* message = std::get_if<std::string>(&index)) return std::move(*message);
    const std::size_t j = std::get<std::size_t>(index);
    const std::string& name = names[j];
    const double lo = sides.lo.value_or(current[j].first);
    const double hi = sides.hi.value_or(current[j].second);
    if (std::isnan(lo) || std::isnan(hi)) {
      return std::string("argument '") + arg + "': the bounds of " + name + " must not be NaN";
    }
    if (!std::isfinite(lo)) {
      return std::string("argument '") + arg + "': the lower bound of " + name +
             " must be finite, got " + compact_float(lo);
    }
    if (!(lo < hi)) {
      return std::string("argument '") + arg + "': the bounds of " + name +
             " are empty or inverted: " + interval({lo, hi}) + " needs lo < hi";
    }
    current[j] = {lo, hi};
  }
  return current;
}

std::variant<FitControls, std::string> resolve_fit_controls(const SeriesList& circuit,
                                                            const NamedValues& constants,
                                                            const NamedBounds& bounds) {
  FitControls out;
  auto merged = merge_bounds(circuit, bounds, param_bounds(circuit), "bounds");
  if (auto* message = std::get_if<std::string>(&merged)) return std::move(*message);
  out.bounds = std::move(std::get<std::vector<Bounds>>(merged));
  const auto names = param_names(circuit);
  out.constants.resize(names.size());
  for (const auto& [key, value] : constants) {
    auto index = parameter_index(key, "constants", names);
    if (auto* message = std::get_if<std::string>(&index)) return std::move(*message);
    const std::size_t j = std::get<std::size_t>(index);
    if (!std::isfinite(value)) {
      return "argument 'constants': the value of " + names[j] + " must be finite, got " +
             compact_float(value);
    }
    out.constants[j] = value;
  }
  return out;
}

std::variant<ControlledStart, std::string> apply_fit_controls(const SeriesList& start, bool guessed,
                                                              const FitControls& controls) {
  const auto names = param_names(start);
  const auto catalogue = catalogue_bounds(start);
  const auto& merged = controls.bounds;
  std::vector<double> values = param_values(start);
  std::vector<bool> held(values.size(), false);
  for (std::size_t j = 0; j < values.size(); ++j) {
    const auto [lo, hi] = merged[j];
    if (controls.constants[j]) {
      values[j] = *controls.constants[j];
      held[j] = true;
      if (values[j] < lo || values[j] > hi) {
        return "argument 'constants': " + names[j] + " = " + compact_float(values[j]) +
               " is outside its bounds " + interval(merged[j]);
      }
      continue;
    }
    if (merged[j] == catalogue[j] || (values[j] >= lo && values[j] <= hi)) continue;
    if (guessed) {
      values[j] = std::clamp(values[j], lo, hi);
      continue;
    }
    return "argument 'bounds': the start value of " + names[j] + " (" + compact_float(values[j]) +
           ") is outside its bounds " + interval(merged[j]) + "; give a start value inside them";
  }
  return ControlledStart{with_param_bounds(rebuild(start, values), merged), std::move(held)};
}

}  // namespace korvex
