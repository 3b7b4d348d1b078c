#include "fit/residuals.hpp"

#include <cfloat>
#include <cmath>
#include <optional>

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
// bench/residuals.py). Before columns reused the recorded subtrees, on an
// idle 2-core machine one unit cost about 7.5 ns and handing a column to a
// sleeping worker 1.2-2.5 us; the pool lost 5-13 % below about 11 us of work
// and won 28-49 % from 17 us on. Since the reuse a unit costs 0.9-1.6 ns
// (1.45 ns for the 8-parameter circuit at 60 points), so the same 11 us is
// about 8000 units. With both cores busy (load average 13 on the 2-core
// machine) the pool never won: it lost 11-52 % up to 2600 units, 1-15 % at
// 3800-13500 and at most 6 % from 13500 on; this threshold keeps the large
// losses on the caller without giving up the idle machine's gains.
constexpr std::size_t kParallelJacobianWork = 8000;

thread_local bool tls_serial_jacobian = false;

// The circuit's full vector for `params`: `params` itself, or, with a map,
// its expansion in the thread's buffer (valid until the thread's next
// evaluation). False when `params` is shorter than the map's free vector.
bool full_params(const Spectrum& s, std::span<const double>& params) {
  if (!s.map) return true;
  if (params.size() < s.map->free_count()) return false;
  thread_local std::vector<double> full;
  full.resize(s.map->full_count());
  s.map->expand_into(params, full);
  params = full;
  return true;
}

// Position in the full vector of entry j of `params`: through the map's free
// indices, past the end for an entry the map ignores.
std::size_t full_index(const Spectrum& s, std::size_t j) {
  if (!s.map) return j;
  const auto& free = s.map->free_indices();
  return j < free.size() ? free[j] : s.map->full_count();
}

// r from the model values of every frequency.
void residuals_from_model(const Spectrum& s, std::span<const Complex> model,
                          std::span<double> out) {
  for (std::size_t i = 0; i < model.size(); ++i) {
    out[2 * i] = (model[i].re - s.impedances[i].re) / s.weights[i];
    out[2 * i + 1] = (model[i].im - s.impedances[i].im) / s.weights[i];
  }
}

// residuals_into at `params` that differ from the vector `record` was taken
// at in entry j only; the same values, for less work.
bool residuals_changed(const Spectrum& s, std::span<const double> params, std::size_t j,
                       const PlanRecord& record, EvalCounter& counter, std::span<double> out) {
  counter.add(1);
  if (!full_params(s, params)) return false;
  j = full_index(s, j);
  PlanScratch& scratch = PlanScratch::of_this_thread();
  scratch.model.resize(s.omegas.size());
  const std::span<Complex> model(scratch.model);
  if (!s.plan->plan.evaluate_changed(params, j, s.plan->terms, record, model, scratch)) {
    return false;
  }
  residuals_from_model(s, model, out);
  return true;
}

// Column j into `column` (2N entries), with the calling thread's scratch;
// through `record` (taken at `params`) when there is one.
bool column_into(const Spectrum& s, std::span<const double> params, std::size_t j,
                 const PlanRecord* record, EvalCounter& counter, std::span<double> column) {
  thread_local std::vector<double> shifted, r_minus;
  shifted.assign(params.begin(), params.end());
  r_minus.resize(column.size());
  const auto evaluate = [&](std::span<double> out) {
    return record ? residuals_changed(s, shifted, j, *record, counter, out)
                  : residuals_into(s, shifted, counter, out);
  };
  const double h = jacobian_step(params[j]);
  shifted[j] = params[j] + h;
  if (!evaluate(column)) return false;
  shifted[j] = params[j] - h;
  if (!evaluate(r_minus)) return false;
  const double two_h = h + h;
  for (std::size_t k = 0; k < column.size(); ++k) column[k] = (column[k] - r_minus[k]) / two_h;
  return true;
}

template <typename ColumnAt>
bool for_each_column(const Spectrum& given, std::span<const double> params, EvalCounter& counter,
                     ColumnAt column_at) {
  // Compiled here when the caller has no plan: the 2P evaluations share it.
  std::optional<SpectrumPlan> own;
  Spectrum s = given;
  if (!s.plan) s.plan = &own.emplace(s.circuit, s.omegas);
  const std::size_t p = params.size();
  const std::size_t work =
      2 * p * s.omegas.size() * std::max<std::size_t>(1, s.plan->plan.param_count());
  // Every column changes one parameter: what the subtrees without it
  // contribute is recorded once at `params` and reused (an evaluation of the
  // model, not of the residuals: it is not counted).
  PlanRecord record;
  PlanScratch& scratch = PlanScratch::of_this_thread();
  scratch.model.resize(s.omegas.size());
  std::span<const double> full = params;
  const bool recorded =
      full_params(s, full) &&
      s.plan->plan.evaluate_recording(full, s.plan->terms, scratch.model, scratch, record);
  std::atomic<bool> ok{true};
  auto body = [&](std::size_t j) {
    if (!column_into(s, params, j, recorded ? &record : nullptr, counter, column_at(j))) {
      ok.store(false);
    }
  };
  const bool inline_columns = tls_serial_jacobian || work < kParallelJacobianWork;
  parallel_for(p, inline_columns ? p : 1, body);
  return ok.load();
}

}  // namespace

SerialJacobianScope::SerialJacobianScope() : outer_(tls_serial_jacobian) {
  tls_serial_jacobian = true;
}
SerialJacobianScope::~SerialJacobianScope() { tls_serial_jacobian = outer_; }

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
  if (!full_params(s, params)) return false;
  const std::size_t n = s.omegas.size();
  PlanScratch& scratch = PlanScratch::of_this_thread();
  scratch.model.resize(n);
  const std::span<Complex> model(scratch.model.data(), n);
  const bool ok = s.plan ? s.plan->plan.evaluate(params, s.plan->terms, model, scratch)
                         : series_impedance_with_params_block(s.circuit, params, s.omegas, model);
  if (!ok) return false;
  residuals_from_model(s, model, out);
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
  return for_each_column(s, params, counter, [&](std::size_t j) { return out.subspan(j * m, m); });
}

}  // namespace korvex
