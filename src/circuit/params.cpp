#include "circuit/params.hpp"

#include <algorithm>
#include <map>

#include "common/utf8.hpp"

namespace korvex {
namespace {

std::size_t levenshtein(const std::u32string& a, const std::u32string& b) {
  std::vector<std::size_t> prev(b.size() + 1), cur(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) prev[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    cur[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t sub = prev[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
      cur[j] = std::min({prev[j] + 1, cur[j - 1] + 1, sub});
    }
    std::swap(prev, cur);
  }
  return prev[b.size()];
}

void rebuild_into(const SeriesList& in, const double*& next, SeriesList& out) {
  out.reserve(in.size());
  for (const Node& node : in) {
    if (node.parallel) {
      std::vector<SeriesList> branches(node.branches.size());
      for (std::size_t b = 0; b < node.branches.size(); ++b) {
        rebuild_into(node.branches[b], next, branches[b]);
      }
      out.push_back(Node::make_parallel(std::move(branches)));
    } else {
      Element e{node.element.kind, {}};
      const std::size_t n = field_count(e.kind);
      for (std::size_t i = 0; i < n; ++i) e.fields[i] = *next++;
      out.push_back(Node::make_element(e, node.label));
      out.back().field_bounds = node.field_bounds;
    }
  }
}

void bounds_into(const SeriesList& in, const Bounds*& next, SeriesList& out) {
  out.reserve(in.size());
  for (const Node& node : in) {
    if (node.parallel) {
      std::vector<SeriesList> branches(node.branches.size());
      for (std::size_t b = 0; b < node.branches.size(); ++b) {
        bounds_into(node.branches[b], next, branches[b]);
      }
      out.push_back(Node::make_parallel(std::move(branches)));
      continue;
    }
    Node element = node;
    const KindInfo& info = kind_info(node.element.kind);
    FieldBounds given{};
    bool catalogue = true;
    for (std::size_t i = 0; i < info.field_count; ++i) {
      given[i] = *next++;
      catalogue = catalogue && given[i] == bounds(info.field_names[i]);
    }
    // Catalogue bounds are stored as no override, so that a circuit given its
    // own bounds back equals the circuit it came from.
    element.field_bounds = catalogue ? std::nullopt : std::optional<FieldBounds>(given);
    out.push_back(std::move(element));
  }
}

}  // namespace

std::size_t param_count(const SeriesList& circuit) {
  std::size_t n = 0;
  for (const Leaf& leaf : collect_leaves(circuit)) n += field_count(leaf.element->kind);
  return n;
}

std::vector<std::string> leaf_labels(const SeriesList& circuit) {
  std::vector<std::string> labels;
  std::map<std::string_view, std::size_t> counters;
  for (const Leaf& leaf : collect_leaves(circuit)) {
    if (*leaf.label) {
      labels.push_back(**leaf.label);
    } else {
      const std::string_view code = kind_info(leaf.element->kind).code;
      labels.push_back(std::string(code) + std::to_string(counters[code]++));
    }
  }
  return labels;
}

std::vector<std::string> param_names(const SeriesList& circuit) {
  std::vector<std::string> names;
  const auto leaves = collect_leaves(circuit);
  const auto labels = leaf_labels(circuit);
  for (std::size_t k = 0; k < leaves.size(); ++k) {
    const KindInfo& info = kind_info(leaves[k].element->kind);
    for (std::size_t i = 0; i < info.field_count; ++i) {
      names.push_back(labels[k] + "." + std::string(info.field_names[i]));
    }
  }
  return names;
}

std::vector<std::string_view> param_units(const SeriesList& circuit) {
  std::vector<std::string_view> units;
  for (const Leaf& leaf : collect_leaves(circuit)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    for (std::size_t i = 0; i < info.field_count; ++i) units.push_back(info.units[i]);
  }
  return units;
}

std::vector<Bounds> param_bounds(const SeriesList& circuit) {
  std::vector<Bounds> out;
  for (const Leaf& leaf : collect_leaves(circuit)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    for (std::size_t i = 0; i < info.field_count; ++i) {
      out.push_back(*leaf.field_bounds ? (**leaf.field_bounds)[i] : bounds(info.field_names[i]));
    }
  }
  return out;
}

std::vector<Bounds> catalogue_bounds(const SeriesList& circuit) {
  std::vector<Bounds> out;
  for (const Leaf& leaf : collect_leaves(circuit)) {
    const KindInfo& info = kind_info(leaf.element->kind);
    for (std::size_t i = 0; i < info.field_count; ++i) out.push_back(bounds(info.field_names[i]));
  }
  return out;
}

std::vector<double> param_values(const SeriesList& circuit) {
  std::vector<double> out;
  for (const Leaf& leaf : collect_leaves(circuit)) {
    const auto v = leaf.element->values();
    out.insert(out.end(), v.begin(), v.end());
  }
  return out;
}

SeriesList rebuild(const SeriesList& circuit, std::span<const double> values) {
  const double* next = values.data();
  SeriesList out;
  rebuild_into(circuit, next, out);
  return out;
}

SeriesList with_param_bounds(const SeriesList& circuit, std::span<const Bounds> bounds) {
  const Bounds* next = bounds.data();
  SeriesList out;
  bounds_into(circuit, next, out);
  return out;
}

std::optional<std::string> closest_param_name(std::string_view name,
                                              const std::vector<std::string>& candidates) {
  const std::u32string target = decode_utf8(name);
  const std::size_t n = target.size();
  const std::size_t limit = n > 5 ? n / 2 : 2;
  const std::string* best = nullptr;
  std::size_t best_distance = 0;
  for (const std::string& c : candidates) {
    const std::size_t d = levenshtein(target, decode_utf8(c));
    if (!best || d < best_distance) {
      best = &c;
      best_distance = d;
    }
  }
  if (best && best_distance <= limit) return *best;
  return std::nullopt;
}

}  // namespace korvex
