#pragma once
// Topology keys and parameter maps: two circuits have the same topology when
// they differ only in element labels, the order of the nodes of a series and
// the order of the branches of a parallel group.
//
//   R0-(R1,C1)  and  (C2,R2)-R5  both have the key  [([C],[R]),R]
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "circuit/node.hpp"

namespace korvex::models {

// A leaf's parameters: the first index in param_names() order, and how many.
struct Span {
  std::size_t first = 0;
  std::size_t count = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

// One node of a series, described by its topology.
struct Shape {
  std::string key;  // "R", "Cpe", ... or "(" branch keys ")"
  bool group = false;
  Span span;                                 // leaves only
  std::vector<std::vector<Shape>> branches;  // groups only: each sorted, in sorted order
};

// The sorted shapes of a series. Group keys sort before element keys
// ("(" precedes capital letters); equal keys keep their written order.
std::vector<Shape> shapes(const SeriesList& series);
// "[" + keys joined by "," + "]".
std::string series_key(const std::vector<Shape>& sorted);

struct Canonical {
  std::string key;
  std::vector<Span> spans;  // every leaf's span, in canonical order
};
Canonical canonical(const SeriesList& series);

// For each parameter of the user's circuit, the index of the model
// parameter whose value it takes.
using ParamMap = std::vector<std::size_t>;

std::optional<ParamMap> match_topology(const SeriesList& model, const SeriesList& user);

struct TopologyMatch {
  ParamMap map;
  // The user's K and Zarc elements were spelled out as (R,C) and (R,Cpe)
  // pairs; the map then refers to the spelled-out circuit's parameters.
  bool expanded = false;
};
std::optional<TopologyMatch> match_or_expand(const SeriesList& model, const SeriesList& user);

}  // namespace korvex::models
