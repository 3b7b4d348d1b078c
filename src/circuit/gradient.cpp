#include "circuit/gradient.hpp"

#include <algorithm>
#include <vector>

#include "circuit/params.hpp"
#include "elements/derivatives.hpp"

namespace korvex {
namespace {

// Frequencies per block: the walk's arrays and the block's derivative
// columns stay in the first-level cache however long the spectrum.
constexpr std::size_t kBlock = 128;

// Arrays of one block the walk of `list` takes from the stack: one element's
// values, and per parallel group its admittance and each branch's impedance.
std::size_t arrays_needed(const SeriesList& list) {
  std::size_t count = 1;
  for (const Node& node : list) {
    if (!node.parallel) continue;
    count += 1 + node.branches.size();
    for (const SeriesList& branch : node.branches) count += arrays_needed(branch);
  }
  return count;
}

struct Walk {
  std::span<const double> params;
  const FrequencyTerms* w;  // the block's frequencies
  std::size_t n;            // and their count
  Complex* dz;              // dZ/dparams[j] at w[i]: dz[j * stride + i]
  std::size_t stride;
  std::size_t next = 0;  // index of the next parameter in leaf order
  Complex* stack;        // arrays of kBlock values, taken in walk order
};

// Fills one element's values into z and its derivatives into their columns.
bool element_gradient(const Element& element, Walk& walk, Complex* z) {
  const std::size_t fields = field_count(element.kind);
  if (walk.next + fields > walk.params.size()) return false;
  kind_impedance_gradient_block(element.kind, walk.params.data() + walk.next, walk.w, walk.n, z,
                                walk.dz + walk.next * walk.stride, walk.stride);
  walk.next += fields;
  return true;
}

// The series sum of `list` into sum[0 .. n).
bool series_gradient(const SeriesList& list, Walk& walk, Complex* sum) {
  const std::size_t n = walk.n;
  // A list of one element (most branches) is that element's values.
  if (list.size() == 1 && !list[0].parallel) return element_gradient(list[0].element, walk, sum);
  for (std::size_t i = 0; i < n; ++i) sum[i] = {0.0, 0.0};
  Complex* element = walk.stack;
  walk.stack += kBlock;
  for (const Node& node : list) {
    if (!node.parallel) {
      if (!element_gradient(node.element, walk, element)) return false;
      for (std::size_t i = 0; i < n; ++i) sum[i] = sum[i] + element[i];
      continue;
    }
    // Each branch's impedance is turned into its admittance y_b once the
    // group's sum is taken; the branch's derivatives are then scaled by
    // (Z y_b)^2, Z the group's impedance.
    const std::size_t branches = node.branches.size();
    Complex* admittance = walk.stack;
    Complex* branch = walk.stack + kBlock;
    walk.stack += (1 + branches) * kBlock;
    for (std::size_t i = 0; i < n; ++i) admittance[i] = {0.0, 0.0};
    std::vector<std::size_t> first(branches + 1);
    for (std::size_t b = 0; b < branches; ++b) {
      first[b] = walk.next;
      Complex* zb = branch + b * kBlock;
      if (!series_gradient(node.branches[b], walk, zb)) return false;
      for (std::size_t i = 0; i < n; ++i) {
        zb[i] = creciprocal(zb[i]);
        admittance[i] = admittance[i] + zb[i];
      }
    }
    first[branches] = walk.next;
    for (std::size_t i = 0; i < n; ++i) {
      admittance[i] = creciprocal(admittance[i]);  // the group's impedance from here on
      sum[i] = sum[i] + admittance[i];
    }
    for (std::size_t b = 0; b < branches; ++b) {
      Complex* factor = branch + b * kBlock;
      for (std::size_t i = 0; i < n; ++i) {
        const Complex ratio = admittance[i] * factor[i];
        factor[i] = ratio * ratio;
      }
      for (std::size_t j = first[b]; j < first[b + 1]; ++j) {
        Complex* d = walk.dz + j * walk.stride;
        for (std::size_t i = 0; i < n; ++i) d[i] = factor[i] * d[i];
      }
    }
  }
  return true;
}

}  // namespace

bool impedance_gradient(const SeriesList& circuit, std::span<const double> params,
                        std::span<const FrequencyTerms> terms, std::span<Complex> z,
                        std::span<Complex> dz) {
  const std::size_t n = terms.size();
  const std::size_t p = param_count(circuit);
  if (params.size() < p || z.size() < n || dz.size() < p * n) return false;
  thread_local std::vector<Complex> stack;
  stack.resize(arrays_needed(circuit) * kBlock);
  for (std::size_t start = 0; start < n; start += kBlock) {
    Walk walk{params, terms.data() + start, std::min(kBlock, n - start), dz.data() + start, n,
              0,      stack.data()};
    if (!series_gradient(circuit, walk, z.data() + start)) return false;
  }
  return true;
}

}  // namespace korvex
