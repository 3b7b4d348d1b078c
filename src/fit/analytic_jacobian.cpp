#include "fit/analytic_jacobian.hpp"

#include <vector>

#include "circuit/gradient.hpp"
#include "circuit/params.hpp"
#include "fit/parameter_map.hpp"

namespace korvex {

bool analytic_jacobian_into(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                            std::span<double> out) {
  counter.add(1);
  const std::size_t p = param_count(s.circuit);
  // The calling thread's buffers, reused by every Jacobian it computes.
  thread_local std::vector<double> full, inverse_weights;
  thread_local std::vector<Complex> z, dz;
  thread_local std::vector<FrequencyTerms> own_terms;
  if (s.map) {
    if (params.size() < s.map->free_count()) return false;
    full.resize(s.map->full_count());
    s.map->expand_into(params, full);
    params = full;
  }
  if (params.size() < p) return false;
  const std::size_t n = s.omegas.size();
  // The fit's plan holds the spectrum's frequency terms; without one they
  // are worked out here, once per Jacobian.
  std::span<const FrequencyTerms> terms;
  if (s.plan && s.plan->terms.size() == n) {
    terms = s.plan->terms;
  } else {
    own_terms.clear();
    for (const double omega : s.omegas) own_terms.emplace_back(omega);
    terms = own_terms;
  }
  z.resize(n);
  dz.resize(p * n);
  if (!impedance_gradient(s.circuit, params, terms, z, dz)) return false;
  // One division per point rather than two per point and column.
  inverse_weights.resize(n);
  for (std::size_t i = 0; i < n; ++i) inverse_weights[i] = 1.0 / s.weights[i];
  // Column c of `out` is the derivative by the circuit's parameter j: the
  // c-th free one with a map, else j = c.
  const std::size_t columns = s.map ? s.map->free_count() : p;
  const std::size_t m = 2 * n;
  for (std::size_t c = 0; c < columns; ++c) {
    const Complex* d = dz.data() + (s.map ? s.map->free_indices()[c] : c) * n;
    double* column = out.data() + c * m;
    for (std::size_t i = 0; i < n; ++i) {
      column[2 * i] = d[i].re * inverse_weights[i];
      column[2 * i + 1] = d[i].im * inverse_weights[i];
    }
  }
  return true;
}

}  // namespace korvex
