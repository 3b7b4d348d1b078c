#include "circuit/text.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "circuit/params.hpp"

namespace korvex {
namespace {

bool write_series(const SeriesList& list, const std::vector<std::string>& labels,
                  std::size_t& leaf, std::string& out) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) out += '-';
    const Node& node = list[i];
    if (!node.parallel) {
      out += labels[leaf++];
      continue;
    }
    if (node.branches.empty()) return false;
    out += "p(";
    for (std::size_t b = 0; b < node.branches.size(); ++b) {
      if (b) out += ',';
      if (node.branches[b].empty()) return false;
      if (!write_series(node.branches[b], labels, leaf, out)) return false;
    }
    out += ')';
  }
  return true;
}

void unlabel(const SeriesList& in, std::span<const std::size_t> leaves, std::size_t& leaf,
             SeriesList& out) {
  out.reserve(in.size());
  for (const Node& node : in) {
    if (node.parallel) {
      std::vector<SeriesList> branches(node.branches.size());
      for (std::size_t b = 0; b < node.branches.size(); ++b) {
        unlabel(node.branches[b], leaves, leaf, branches[b]);
      }
      out.push_back(Node::make_parallel(std::move(branches)));
    } else {
      const bool drop = std::find(leaves.begin(), leaves.end(), leaf++) != leaves.end();
      out.push_back(Node::make_element(node.element, drop ? std::nullopt : node.label));
    }
  }
}

}  // namespace

std::optional<std::string> circuit_text(const SeriesList& circuit) {
  const std::vector<std::string> labels = leaf_labels(circuit);
  if (std::unordered_set<std::string>(labels.begin(), labels.end()).size() != labels.size()) {
    return std::nullopt;
  }
  std::string out;
  std::size_t leaf = 0;
  if (!write_series(circuit, labels, leaf, out)) return std::nullopt;
  return out;
}

SeriesList without_labels(const SeriesList& circuit, std::span<const std::size_t> leaves) {
  SeriesList out;
  std::size_t leaf = 0;
  unlabel(circuit, leaves, leaf, out);
  return out;
}

}  // namespace korvex
