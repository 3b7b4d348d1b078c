#include "fit/residuals.hpp"

#include <cfloat>
#include <cmath>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "common/cancel.hpp"
#include "common/pool.hpp"
#include "fit/parameter_map.hpp"

namespace korvex {
namespace {

// Below this much work (2 x P x N x parameter count, a proxy for element
// evaluations) the Jacobian's columns run on the caller. Measured with
// korvex_bench_jacobian (bench/jacobian_threshold.cpp, run by
// bench/residuals.py) on an idle 2-core machine with block evaluation: one
// unit costs about 7.5 ns and handing a column to a sleeping worker about
// 1.2-2.5 us. The pool lost 5-13 % at 180-540 units, won 13-16 % at 1080-1280
// units ("R0-(R1,C1)" at 60 points, the 8-parameter circuit at 10 points) and
// 28-49 % from 2250 units on. 1500 units (about 11 us) keeps every measured
// loss on the caller. When every core is busy the pool costs up to 13 % just
// above the threshold, and no more than 6 % on larger Jacobians.
constexpr std::size_t kParallelJacobianWork = 1500;

// Column j into `column` (2N entries); `plus`, `minus` and `r_plus`, `r_minus`
// are the task's own scratch.
bool column_into(const Spectrum& s, std::span<const double> params, std::size_t j,
                 EvalCounter& counter, std::span<double> column) {
  const std::size_t m = column.size();
  std::vector<double> plus(params.begin(), params.end());
  std::vector<double> minus(params.begin(), params.end());
  const double h = jacobian_step(params[j]);
  plus[j] = params[j] + h;
  minus[j] = params[j] - h;
  std::vector<double> r_plus(m), r_minus(m);
  if (!residuals_into(s, plus, counter, r_plus)) return false;
  if (!residuals_into(s, minus, counter, r_minus)) return false;
  const double two_h = h + h;
  for (std::size_t k = 0; k < m; ++k) column[k] = (r_plus[k] - r_minus[k]) / two_h;
  return true;
}

template <typename ColumnAt>
bool for_each_column(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                     ColumnAt column_at) {
  const std::size_t p = params.size();
  const std::size_t work = 2 * p * s.omegas.size() * std::max<std::size_t>(1, param_count(s.circuit));
  std::atomic<bool> ok{true};
  auto body = [&](std::size_t j) {
    if (!column_into(s, params, j, counter, column_at(j))) ok.store(false);
  };
  parallel_for(p, work < kParallelJacobianWork ? p : 1, body);
  return ok.load();
}

}  // namespace

double jacobian_step(double param) {
  const double a = std::fabs(param);
  const double scale = std::isnan(a) || a < 1e-8 ? 1e-8 : a;
  static const double cbrt_eps = std::cbrt(DBL_EPSILON);
  return cbrt_eps * scale;
}

std::vector<double> compute_weights(std::span<const Complex> impedances, Weighting weighting) {
  std::vector<double> w(impedances.size(), 1.0);
  if (weighting == Weighting::Unit) return w;
  for (std::size_t i = 0; i < impedances.size(); ++i) {
    const double m = std::hypot(impedances[i].re, impedances[i].im);
    w[i] = m > 1e-30 ? m : 1e-30;
  }
  return w;
}

bool residuals_into(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                    std::span<double> out) {
  // Every method evaluates through here, so this one check stops them all.
  throw_if_cancelled();
  counter.add(1);
  const std::size_t n = s.omegas.size();
  std::vector<Complex> model(n);
  std::vector<double> full;
  if (s.map) {
    if (params.size() < s.map->free_count()) return false;
    full = s.map->expand(params);
    params = full;
  }
  if (!series_impedance_with_params_block(s.circuit, params, s.omegas, model)) return false;
  for (std::size_t i = 0; i < n; ++i) {
    out[2 * i] = (model[i].re - s.impedances[i].re) / s.weights[i];
    out[2 * i + 1] = (model[i].im - s.impedances[i].im) / s.weights[i];
  }
  return true;
}

std::optional<std::vector<double>> residuals(const Spectrum& s, std::span<const double> params,
                                             EvalCounter& counter) {
  std::vector<double> r(2 * s.omegas.size());
  if (!residuals_into(s, params, counter, r)) return std::nullopt;
  return r;
}

double cost(std::span<const double> r) {
  double sum = -0.0;
  for (double v : r) sum += v * v;
  return 0.5 * sum;
}

std::optional<std::vector<std::vector<double>>> jacobian_columns(const Spectrum& s,
                                                                 std::span<const double> params,
                                                                 EvalCounter& counter) {
  const std::size_t m = 2 * s.omegas.size();
  std::vector<std::vector<double>> columns(params.size(), std::vector<double>(m));
  const bool ok = for_each_column(s, params, counter,
                                  [&](std::size_t j) { return std::span<double>(columns[j]); });
  if (!ok) return std::nullopt;
  return columns;
}

bool jacobian_into(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                   std::span<double> out) {
  const std::size_t m = 2 * s.omegas.size();
  return for_each_column(s, params, counter,
                         [&](std::size_t j) { return out.subspan(j * m, m); });
}

}  // namespace korvex
