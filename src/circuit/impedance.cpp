#include "circuit/impedance.hpp"

#include <algorithm>
#include <cmath>

#include "common/pool.hpp"

namespace korvex {
namespace {

// Draws each element's fields from a running cursor; `ok` turns false when
// the values run out, and the walk then unwinds without evaluating further.
struct Cursor {
  const double* next;
  const double* end;
  bool ok = true;
};

Complex eval_series(const SeriesList& list, const FrequencyTerms& w, Cursor* cursor) {
  Complex sum{0.0, 0.0};
  for (const Node& node : list) {
    if (node.parallel) {
      Complex admittance{0.0, 0.0};
      for (const SeriesList& branch : node.branches) {
        admittance = admittance + creciprocal(eval_series(branch, w, cursor));
        if (cursor && !cursor->ok) return sum;
      }
      sum = sum + creciprocal(admittance);
    } else if (cursor) {
      const std::size_t n = field_count(node.element.kind);
      if (static_cast<std::size_t>(cursor->end - cursor->next) < n) {
        cursor->ok = false;
        return sum;
      }
      sum = sum + kind_impedance(node.element.kind, cursor->next, w);
      cursor->next += n;
    } else {
      sum = sum + kind_impedance(node.element.kind, node.element.fields.data(), w);
    }
  }
  return sum;
}

}  // namespace

Complex impedance(const SeriesList& circuit, double omega) {
  if (circuit.empty()) return {0.0, 0.0};
  return eval_series(circuit, FrequencyTerms(omega), nullptr);
}

std::optional<Complex> series_impedance_with_params(const SeriesList& circuit,
                                                    std::span<const double> params, double omega) {
  if (circuit.empty()) return Complex{0.0, 0.0};
  Cursor cursor{params.data(), params.data() + params.size()};
  const Complex z = eval_series(circuit, FrequencyTerms(omega), &cursor);
  if (!cursor.ok) return std::nullopt;
  return z;
}

void impedance_spectrum(const SeriesList& circuit, std::span<const double> frequencies,
                        std::span<Complex> out) {
  const std::size_t n = frequencies.size();
  if (n < kParallelImpedanceThreshold) {
    for (std::size_t i = 0; i < n; ++i) out[i] = impedance(circuit, frequencies[i] * kTwoPi);
    return;
  }
  const std::size_t grain = std::max<std::size_t>(256, n / (8 * pool_concurrency()));
  parallel_for(n, grain, [&](std::size_t i) { out[i] = impedance(circuit, frequencies[i] * kTwoPi); });
}

}  // namespace korvex
