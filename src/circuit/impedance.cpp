#include "circuit/impedance.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "circuit/plan.hpp"
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
        if (single_admittance(branch)) {
          const Element& e = branch[0].element;
          const std::size_t n = field_count(e.kind);
          if (cursor && static_cast<std::size_t>(cursor->end - cursor->next) < n) {
            cursor->ok = false;
            return sum;
          }
          admittance =
              admittance + kind_admittance(e.kind, cursor ? cursor->next : e.fields.data(), w);
          if (cursor) cursor->next += n;
          continue;
        }
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

void impedance_block(const SeriesList& circuit, std::span<const double> omegas,
                     std::span<Complex> out) {
  const ImpedancePlan plan(circuit);
  evaluate_at(plan, plan.tree_values(), omegas.data(), omegas.size(), false, out.data());
}

bool series_impedance_with_params_block(const SeriesList& circuit, std::span<const double> params,
                                        std::span<const double> omegas, std::span<Complex> out) {
  return evaluate_at(ImpedancePlan(circuit), params, omegas.data(), omegas.size(), false,
                     out.data());
}

void impedance_spectrum(const SeriesList& circuit, std::span<const double> frequencies,
                        std::span<Complex> out) {
  impedance_spectrum(ImpedancePlan(circuit), frequencies, out);
}

void impedance_spectrum(const ImpedancePlan& plan, std::span<const double> frequencies,
                        std::span<Complex> out) {
  const std::size_t n = frequencies.size();
  if (n < kParallelImpedanceThreshold) {
    evaluate_at(plan, plan.tree_values(), frequencies.data(), n, true, out.data());
    return;
  }
  // Chunks of whole blocks, about eight per thread.
  constexpr std::size_t kBlock = ImpedancePlan::kBlockSize;
  const std::size_t target = std::max<std::size_t>(256, n / (8 * pool_concurrency()));
  const std::size_t chunk = (target + kBlock - 1) / kBlock * kBlock;
  const std::size_t chunks = (n + chunk - 1) / chunk;
  parallel_for(chunks, 1, [&](std::size_t c) {
    const std::size_t start = c * chunk;
    const std::size_t m = std::min(chunk, n - start);
    evaluate_at(plan, plan.tree_values(), frequencies.data() + start, m, true, out.data() + start);
  });
}

}  // namespace korvex
