#pragma once
// The circuit tree: a series list of nodes, each an element (with an optional
// label) or a parallel group of branches, each branch again a series list.
#include <optional>
#include <string>
#include <vector>

#include "elements/element.hpp"

namespace korvex {

struct Node;
using SeriesList = std::vector<Node>;

// (lo, hi) of each field of one element, in field order.
using FieldBounds = std::array<std::pair<double, double>, kMaxFields>;

struct Node {
  // Element node when `parallel` is false; parallel node otherwise.
  bool parallel = false;
  Element element;
  std::optional<std::string> label;  // absent for elements made from Python objects
  std::vector<SeriesList> branches;
  // The element's bounds when they were narrowed for this circuit; absent
  // means the catalogue's bounds of its fields.
  std::optional<FieldBounds> field_bounds;

  static Node make_element(const Element& e, std::optional<std::string> label = std::nullopt) {
    Node n;
    n.element = e;
    n.label = std::move(label);
    return n;
  }
  static Node make_parallel(std::vector<SeriesList> branches) {
    Node n;
    n.parallel = true;
    n.branches = std::move(branches);
    return n;
  }
  friend bool operator==(const Node&, const Node&) = default;
};

// Deepest nesting of parallel groups accepted anywhere. Every tree walk
// recurses once per group, so this bounds the stack they use.
inline constexpr std::size_t kMaxNestingDepth = 200;

// Nesting depth of parallel groups (0 for a flat series).
std::size_t nesting_depth(const SeriesList& list);

struct Leaf {
  const Element* element;
  const std::optional<std::string>* label;
  const std::optional<FieldBounds>* field_bounds;
};

// All element nodes in leaf order: depth-first, left to right.
std::vector<Leaf> collect_leaves(const SeriesList& list);

// Copy with K and Zarc rewritten as their (R, C) / (R, Cpe) parallel pairs;
// sets `changed` to true if anything was rewritten (never resets it).
SeriesList expand_series(const SeriesList& list, bool& changed);

}  // namespace korvex
