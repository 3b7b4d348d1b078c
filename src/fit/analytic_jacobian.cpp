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
  std::vector<double> full;
  if (s.map) {
    if (params.size() < s.map->free_count()) return false;
    full = s.map->expand(params);
    params = full;
  }
  if (params.size() < p) return false;
  // Column c of `out` is the derivative by parameter columns[c] of the circuit.
  std::vector<std::size_t> columns;
  if (s.map) {
    columns = s.map->free_indices();
  } else {
    for (std::size_t j = 0; j < p; ++j) columns.push_back(j);
  }
  const std::size_t n = s.omegas.size();
  const std::size_t m = 2 * n;
  std::vector<Complex> dz(p);
  for (std::size_t i = 0; i < n; ++i) {
    Complex z;
    if (!impedance_gradient(s.circuit, params, FrequencyTerms(s.omegas[i]), z, dz)) return false;
    const double w = s.weights[i];
    for (std::size_t c = 0; c < columns.size(); ++c) {
      out[c * m + 2 * i] = dz[columns[c]].re / w;
      out[c * m + 2 * i + 1] = dz[columns[c]].im / w;
    }
  }
  return true;
}

}  // namespace korvex
