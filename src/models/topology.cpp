#include "models/topology.hpp"

#include <algorithm>
#include <numeric>

namespace korvex::models {
namespace {

bool key_less(const Shape& a, const Shape& b) { return a.key < b.key; }

std::vector<Shape> shapes_from(const SeriesList& series, std::size_t& counter) {
  std::vector<Shape> out;
  out.reserve(series.size());
  for (const Node& node : series) {
    Shape shape;
    if (!node.parallel) {
      const std::size_t n = field_count(node.element.kind);
      shape.key = std::string(code(node.element.kind));
      shape.span = {counter, n};
      counter += n;
      out.push_back(std::move(shape));
      continue;
    }
    shape.group = true;
    std::vector<std::vector<Shape>> branches;
    std::vector<std::string> keys;
    for (const SeriesList& branch : node.branches) {
      branches.push_back(shapes_from(branch, counter));
      keys.push_back(series_key(branches.back()));
    }
    // Branches ordered by key; a stable sort keeps equal-keyed branches in
    // written order, which is what pairs identical groups up predictably.
    std::vector<std::size_t> order(branches.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return keys[a] < keys[b]; });
    shape.key.push_back('(');
    for (std::size_t i = 0; i < order.size(); ++i) {
      if (i) shape.key.push_back(',');
      shape.key += keys[order[i]];
      shape.branches.push_back(std::move(branches[order[i]]));
    }
    shape.key.push_back(')');
    out.push_back(std::move(shape));
  }
  std::stable_sort(out.begin(), out.end(), key_less);
  return out;
}

void collect_spans(const std::vector<Shape>& sorted, std::vector<Span>& out) {
  for (const Shape& shape : sorted) {
    if (!shape.group) {
      out.push_back(shape.span);
      continue;
    }
    for (const auto& branch : shape.branches) collect_spans(branch, out);
  }
}

}  // namespace

std::vector<Shape> shapes(const SeriesList& series) {
  std::size_t counter = 0;
  return shapes_from(series, counter);
}

std::string series_key(const std::vector<Shape>& sorted) {
  std::string key = "[";
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i) key += ',';
    key += sorted[i].key;
  }
  return key + "]";
}

Canonical canonical(const SeriesList& series) {
  const std::vector<Shape> sorted = shapes(series);
  Canonical out{series_key(sorted), {}};
  collect_spans(sorted, out.spans);
  return out;
}

std::optional<ParamMap> match_topology(const SeriesList& model, const SeriesList& user) {
  const Canonical m = canonical(model);
  const Canonical u = canonical(user);
  if (m.key != u.key) return std::nullopt;
  std::size_t total = 0;
  for (const Span& s : u.spans) total += s.count;
  ParamMap map(total, 0);
  const std::size_t pairs = std::min(m.spans.size(), u.spans.size());
  for (std::size_t i = 0; i < pairs; ++i) {
    // Equal keys pair leaves of the same kind, so the counts agree.
    const std::size_t n = std::min(m.spans[i].count, u.spans[i].count);
    for (std::size_t t = 0; t < n; ++t) map[u.spans[i].first + t] = m.spans[i].first + t;
  }
  return map;
}

std::optional<TopologyMatch> match_or_expand(const SeriesList& model, const SeriesList& user) {
  if (auto map = match_topology(model, user)) return TopologyMatch{std::move(*map), false};
  bool changed = false;
  const SeriesList expanded = expand_series(user, changed);
  if (!changed) return std::nullopt;
  if (auto map = match_topology(model, expanded)) return TopologyMatch{std::move(*map), true};
  return std::nullopt;
}

}  // namespace korvex::models
