#pragma once
// The flat parameter view of a circuit: every element field in leaf order.
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "circuit/node.hpp"

namespace korvex {

using Bounds = std::pair<double, double>;  // (lo, hi); hi = +inf for open-bound parameters

std::size_t param_count(const SeriesList& circuit);
// "{label}.{field}"; unlabelled leaves get "{code}{n}" with a counter per code.
std::vector<std::string> param_names(const SeriesList& circuit);
std::vector<std::string_view> param_units(const SeriesList& circuit);
// The catalogue's bounds, or the circuit's own where they were narrowed.
std::vector<Bounds> param_bounds(const SeriesList& circuit);
// The catalogue's bounds alone.
std::vector<Bounds> catalogue_bounds(const SeriesList& circuit);
std::vector<double> param_values(const SeriesList& circuit);

// Same shape, fields taken from `values` in parameter order. `values` must
// hold at least param_count(circuit) entries; further entries are ignored.
SeriesList rebuild(const SeriesList& circuit, std::span<const double> values);

// Same circuit with `bounds` (at least param_count(circuit) entries, each
// lo < hi) as its parameters' bounds. The caller checks them.
SeriesList with_param_bounds(const SeriesList& circuit, std::span<const Bounds> bounds);

// The candidate to suggest for a misspelt name: smallest Levenshtein distance
// (earliest on ties), if within n/2 for names longer than 5 characters, else 2.
std::optional<std::string> closest_param_name(std::string_view name,
                                              const std::vector<std::string>& candidates);

}  // namespace korvex
