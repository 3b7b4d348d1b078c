#include "circuit/node.hpp"

#include <algorithm>
#include <cmath>

namespace korvex {
namespace {

void collect(const SeriesList& list, std::vector<Leaf>& out) {
  for (const Node& node : list) {
    if (node.parallel) {
      for (const SeriesList& branch : node.branches) collect(branch, out);
    } else {
      out.push_back({&node.element, &node.label, &node.field_bounds});
    }
  }
}

SeriesList single(const Element& e) { return SeriesList{Node::make_element(e)}; }

}  // namespace

std::size_t nesting_depth(const SeriesList& list) {
  std::size_t deepest = 0;
  for (const Node& node : list) {
    if (!node.parallel) continue;
    std::size_t inner = 0;
    for (const SeriesList& branch : node.branches) inner = std::max(inner, nesting_depth(branch));
    deepest = std::max(deepest, inner + 1);
  }
  return deepest;
}

std::vector<Leaf> collect_leaves(const SeriesList& list) {
  std::vector<Leaf> out;
  collect(list, out);
  return out;
}

SeriesList expand_series(const SeriesList& list, bool& changed) {
  SeriesList out;
  out.reserve(list.size());
  for (const Node& node : list) {
    if (node.parallel) {
      std::vector<SeriesList> branches;
      branches.reserve(node.branches.size());
      for (const SeriesList& b : node.branches) branches.push_back(expand_series(b, changed));
      out.push_back(Node::make_parallel(std::move(branches)));
      continue;
    }
    const Element& e = node.element;
    if (e.kind == Kind::K) {
      const double r = e.fields[0];
      Element resistor{Kind::R, {r}};
      Element capacitor{Kind::C, {e.fields[1] / r}};
      out.push_back(Node::make_parallel({single(resistor), single(capacitor)}));
      changed = true;
    } else if (e.kind == Kind::Zarc) {
      const double r = e.fields[0], tau = e.fields[1], gamma = e.fields[2];
      Element resistor{Kind::R, {r}};
      Element cpe{Kind::Cpe, {std::pow(tau, gamma) / r, gamma}};
      out.push_back(Node::make_parallel({single(resistor), single(cpe)}));
      changed = true;
    } else {
      out.push_back(node);
    }
  }
  return out;
}

}  // namespace korvex
