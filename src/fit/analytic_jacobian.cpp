#include "fit/analytic_jacobian.hpp"

#include <vector>

#include "circuit/gradient.hpp"
#include "circuit/params.hpp"

namespace korvex {

bool analytic_jacobian_into(const Spectrum& s, std::span<const double> params,
                            EvalCounter& counter, std::span<double> out) {
  counter.add(1);
  const std::size_t p = param_count(s.circuit);
  if (params.size() < p) return false;
  const std::size_t n = s.omegas.size();
  const std::size_t m = 2 * n;
  std::vector<Complex> dz(p);
  for (std::size_t i = 0; i < n; ++i) {
    Complex z;
    if (!impedance_gradient(s.circuit, params, FrequencyTerms(s.omegas[i]), z, dz)) return false;
    const double w = s.weights[i];
    for (std::size_t j = 0; j < p; ++j) {
      out[j * m + 2 * i] = dz[j].re / w;
      out[j * m + 2 * i + 1] = dz[j].im / w;
    }
  }
  // Columns of values past the circuit's count (never passed by the engine).
  for (std::size_t j = p; j < params.size(); ++j) {
    for (std::size_t k = 0; k < m; ++k) out[j * m + k] = 0.0;
  }
  return true;
}

}  // namespace korvex
