#include "circuit/text.hpp"

#include <algorithm>
#include <unordered_set>
#include <vector>

#include "circuit/params.hpp"

namespace korvex {
namespace {

void write_series(const SeriesList& list, const std::vector<std::string>& labels, std::size_t& leaf,
                  std::string& out) {
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (i) out += '-';
    const Node& node = list[i];
    if (!node.parallel) {
      out += labels[leaf++];
      continue;
    }
    out += "p(";
    for (std::size_t b = 0; b < node.branches.size(); ++b) {
      if (b) out += ',';
      write_series(node.branches[b], labels, leaf, out);
    }
    out += ')';
  }
}

bool no_empty_group(const SeriesList& list) {
  for (const Node& node : list) {
    if (!node.parallel) continue;
    if (node.branches.empty()) return false;
    for (const SeriesList& branch : node.branches) {
      if (branch.empty() || !no_empty_group(branch)) return false;
    }
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
      out.push_back(node);  // everything of the leaf but, perhaps, its label
      if (std::find(leaves.begin(), leaves.end(), leaf++) != leaves.end()) out.back().label.reset();
    }
  }
}

}  // namespace

std::string circuit_text(const SeriesList& circuit) {
  std::string out;
  std::size_t leaf = 0;
  write_series(circuit, leaf_labels(circuit), leaf, out);
  return out;
}

bool has_text_form(const SeriesList& circuit) {
  const std::vector<std::string> labels = leaf_labels(circuit);
  return no_empty_group(circuit) &&
         std::unordered_set<std::string>(labels.begin(), labels.end()).size() == labels.size();
}

SeriesList without_labels(const SeriesList& circuit, std::span<const std::size_t> leaves) {
  SeriesList out;
  std::size_t leaf = 0;
  unlabel(circuit, leaves, leaf, out);
  return out;
}

}  // namespace korvex
