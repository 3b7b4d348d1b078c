#include "circuit/impedance.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

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

// Frequencies per block of the block evaluation: the scratch of a few tree
// levels stays in the first-level cache.
constexpr std::size_t kBlockSize = 128;

// Scratch of one nesting level of the block walk, kBlockSize-strided arrays
// of real and imaginary parts: the running series sum, one element's values,
// and the admittance sum of a parallel group.
struct Level {
  double* sum_re;
  double* sum_im;
  double* z_re;
  double* z_im;
  double* y_re;
  double* y_im;
};

// eval_series over n frequencies at once, into level[0].sum_*; deeper levels
// are the branches' scratch. Per frequency the operations are those of
// eval_series, in the same order. False when the cursor runs out.
bool eval_series_block(const SeriesList& list, const FrequencyTerms* w, std::size_t n,
                       Cursor* cursor, const Level* level) {
  double* __restrict sum_re = level->sum_re;
  double* __restrict sum_im = level->sum_im;
  for (std::size_t i = 0; i < n; ++i) sum_re[i] = sum_im[i] = 0.0;
  for (const Node& node : list) {
    if (node.parallel) {
      double* __restrict y_re = level->y_re;
      double* __restrict y_im = level->y_im;
      for (std::size_t i = 0; i < n; ++i) y_re[i] = y_im[i] = 0.0;
      for (const SeriesList& branch : node.branches) {
        if (!eval_series_block(branch, w, n, cursor, level + 1)) return false;
        const double* __restrict b_re = level[1].sum_re;
        const double* __restrict b_im = level[1].sum_im;
        for (std::size_t i = 0; i < n; ++i) {
          const Complex y = Complex{y_re[i], y_im[i]} + creciprocal({b_re[i], b_im[i]});
          y_re[i] = y.re;
          y_im[i] = y.im;
        }
      }
      for (std::size_t i = 0; i < n; ++i) {
        const Complex z = Complex{sum_re[i], sum_im[i]} + creciprocal({y_re[i], y_im[i]});
        sum_re[i] = z.re;
        sum_im[i] = z.im;
      }
      continue;
    }
    const double* p = node.element.fields.data();
    if (cursor) {
      const std::size_t count = field_count(node.element.kind);
      if (static_cast<std::size_t>(cursor->end - cursor->next) < count) {
        cursor->ok = false;
        return false;
      }
      p = cursor->next;
      cursor->next += count;
    }
    kind_impedance_block(node.element.kind, p, w, n, level->z_re, level->z_im);
    const double* __restrict z_re = level->z_re;
    const double* __restrict z_im = level->z_im;
    for (std::size_t i = 0; i < n; ++i) {
      sum_re[i] = sum_re[i] + z_re[i];
      sum_im[i] = sum_im[i] + z_im[i];
    }
  }
  return true;
}

// Evaluates the tree at x[i] (angular frequencies, or hertz when `hertz`) for
// every i, block by block, with element values from the tree (params null) or
// drawn from `params` afresh for every block. Scratch is allocated once per
// call. False, before anything is written, when the values run out.
bool evaluate_blocks(const SeriesList& circuit, const std::span<const double>* params,
                     const double* x, std::size_t n, bool hertz, Complex* out) {
  if (n == 0) return true;
  const std::size_t levels = nesting_depth(circuit) + 1;
  const std::size_t block = std::min(n, kBlockSize);
  std::vector<double> scratch(levels * 6 * block);
  std::vector<Level> level(levels);
  for (std::size_t d = 0; d < levels; ++d) {
    double* base = scratch.data() + d * 6 * block;
    level[d] = {base, base + block, base + 2 * block, base + 3 * block, base + 4 * block,
                base + 5 * block};
  }
  std::vector<FrequencyTerms> terms(block, FrequencyTerms(0.0));
  for (std::size_t start = 0; start < n; start += block) {
    const std::size_t m = std::min(block, n - start);
    for (std::size_t i = 0; i < m; ++i) {
      terms[i] = FrequencyTerms(hertz ? x[start + i] * kTwoPi : x[start + i]);
    }
    Cursor cursor{nullptr, nullptr};
    if (params) cursor = {params->data(), params->data() + params->size()};
    if (!eval_series_block(circuit, terms.data(), m, params ? &cursor : nullptr, level.data())) {
      return false;
    }
    for (std::size_t i = 0; i < m; ++i) out[start + i] = {level[0].sum_re[i], level[0].sum_im[i]};
  }
  return true;
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
  evaluate_blocks(circuit, nullptr, omegas.data(), omegas.size(), false, out.data());
}

bool series_impedance_with_params_block(const SeriesList& circuit, std::span<const double> params,
                                        std::span<const double> omegas, std::span<Complex> out) {
  return evaluate_blocks(circuit, &params, omegas.data(), omegas.size(), false, out.data());
}

void impedance_spectrum(const SeriesList& circuit, std::span<const double> frequencies,
                        std::span<Complex> out) {
  const std::size_t n = frequencies.size();
  if (n < kParallelImpedanceThreshold) {
    evaluate_blocks(circuit, nullptr, frequencies.data(), n, true, out.data());
    return;
  }
  // Chunks of whole blocks, about eight per thread; each chunk is one block
  // evaluation with its own scratch.
  const std::size_t target = std::max<std::size_t>(256, n / (8 * pool_concurrency()));
  const std::size_t chunk = (target + kBlockSize - 1) / kBlockSize * kBlockSize;
  const std::size_t chunks = (n + chunk - 1) / chunk;
  parallel_for(chunks, 1, [&](std::size_t c) {
    const std::size_t start = c * chunk;
    const std::size_t m = std::min(chunk, n - start);
    evaluate_blocks(circuit, nullptr, frequencies.data() + start, m, true, out.data() + start);
  });
}

}  // namespace korvex
