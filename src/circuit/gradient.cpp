#include "circuit/gradient.hpp"

#include <vector>

#include "elements/derivatives.hpp"

namespace korvex {
namespace {

struct Walk {
  std::span<const double> params;
  std::span<Complex> dz;
  std::size_t next = 0;  // index of the next parameter in leaf order
};

bool series_gradient(const SeriesList& list, const FrequencyTerms& w, Walk& walk, Complex& sum) {
  sum = {0.0, 0.0};
  for (const Node& node : list) {
    if (!node.parallel) {
      const std::size_t n = field_count(node.element.kind);
      if (walk.next + n > walk.params.size() || walk.next + n > walk.dz.size()) return false;
      sum = sum + kind_impedance_gradient(node.element.kind, walk.params.data() + walk.next, w,
                                          walk.dz.data() + walk.next);
      walk.next += n;
      continue;
    }
    // The branches' own derivatives are scaled once the group's impedance is
    // known; `first` remembers where each branch's parameters start.
    constexpr std::size_t kInlineBranches = 8;
    std::size_t first_inline[kInlineBranches];
    Complex z_inline[kInlineBranches];
    std::vector<std::size_t> first_heap;
    std::vector<Complex> z_heap;
    const std::size_t branches = node.branches.size();
    if (branches > kInlineBranches) {
      first_heap.resize(branches);
      z_heap.resize(branches);
    }
    std::size_t* first = branches > kInlineBranches ? first_heap.data() : first_inline;
    Complex* zb = branches > kInlineBranches ? z_heap.data() : z_inline;
    Complex admittance{0.0, 0.0};
    for (std::size_t b = 0; b < branches; ++b) {
      first[b] = walk.next;
      if (!series_gradient(node.branches[b], w, walk, zb[b])) return false;
      admittance = admittance + creciprocal(zb[b]);
    }
    const Complex z = creciprocal(admittance);
    for (std::size_t b = 0; b < branches; ++b) {
      const Complex ratio = cdiv(z, zb[b]);
      const Complex factor = ratio * ratio;
      const std::size_t end = b + 1 < branches ? first[b + 1] : walk.next;
      for (std::size_t j = first[b]; j < end; ++j) walk.dz[j] = factor * walk.dz[j];
    }
    sum = sum + z;
  }
  return true;
}

}  // namespace

bool impedance_gradient(const SeriesList& circuit, std::span<const double> params,
                        const FrequencyTerms& w, Complex& z, std::span<Complex> dz) {
  Walk walk{params, dz};
  return series_gradient(circuit, w, walk, z);
}

}  // namespace korvex
