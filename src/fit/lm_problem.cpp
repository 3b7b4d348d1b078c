#include "fit/lm_problem.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <exception>

#include <cminpack.h>

#include "fit/analytic_jacobian.hpp"

namespace korvex {
namespace {

constexpr double kLn10 = 2.302585092994046;
constexpr double kStepBoundFactor = 100.0;
constexpr int kScaleFromColumnNorms = 1;  // MINPACK mode 1

// The five multipliers of the open-bound candidates 1-5 and the four range
// fractions of the bounded candidates 6-9.
constexpr double kScales[] = {1.0, 3.0, 0.3333333333333333, 8.0, 0.125};
constexpr double kFractions[] = {0.2, 0.4, 0.6, 0.8};

// Key whose signed integer order is the IEEE total order, with the sign of a
// NaN dropped so that every NaN sorts after +inf.
std::int64_t total_order_key(double x) {
  if (std::isnan(x)) x = std::fabs(x);
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ static_cast<std::int64_t>(static_cast<std::uint64_t>(bits >> 63) >> 1);
}

bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// What lmder sees: the problem, whether the start point has been evaluated,
// and an exception escaped from our code, to be rethrown once lmder has
// returned (it must not unwind through C frames).
struct CallbackContext {
  LmProblem* problem;
  bool start_evaluated = false;
  std::exception_ptr error;
  double stall_tolerance = 0.0;
  std::vector<double> costs;  // cost at each iteration's accepted point
  bool stalled = false;
};

// The stall rule: lmder evaluates the Jacobian once per iteration, at the
// accepted point whose residuals are in `fvec`; a cost that fell less than
// the tolerance (relative) over the last kStallIterations iterations ends the
// run as converged.
bool stalled(CallbackContext& context, std::span<const double> fvec) {
  if (!(context.stall_tolerance > 0.0)) return false;
  context.costs.push_back(cost(fvec));
  const std::size_t k = context.costs.size();
  if (k <= kStallIterations) return false;
  const double before = context.costs[k - 1 - kStallIterations];
  return before - context.costs[k - 1] < context.stall_tolerance * before;
}

// Fills the residuals of a trial point that could not be evaluated: their
// norm, 1e300, exceeds any real one, so lmder rejects the step and shrinks
// its trust region.
void reject_trial_point(std::span<double> out) {
  const double fill = 1e300 / std::sqrt(static_cast<double>(out.size()));
  std::fill(out.begin(), out.end(), fill);
}

// lmder's callback. A negative return stops the run; lmder then returns the
// last accepted vector, which still competes as a failed run.
//
// Non-finite residuals stop the run only at its start point. At a trial point
// they mean the step overshot (in log space a long step easily overflows an
// element's formula); such a step is rejected rather than ending the run,
// which from a start far from the data would otherwise end almost every run
// after its first step.
int lmder_callback(void* p, int m, int n, const double* x, double* fvec, double* fjac,
                   int /*ldfjac*/, int iflag) {
  auto* context = static_cast<CallbackContext*>(p);
  try {
    LmProblem& problem = *context->problem;
    problem.set_params(std::span<const double>(x, static_cast<std::size_t>(n)));
    const auto rows = static_cast<std::size_t>(m);
    if (iflag == 1) {
      std::span<double> out(fvec, rows);
      if (!problem.residuals(out)) return -1;
      const bool at_start = !context->start_evaluated;
      context->start_evaluated = true;
      if (!all_finite(out)) {
        if (at_start) return -1;
        reject_trial_point(out);
      }
    } else if (iflag == 2) {
      if (stalled(*context, std::span<const double>(fvec, rows))) {
        context->stalled = true;
        return -1;
      }
      std::span<double> out(fjac, rows * static_cast<std::size_t>(n));
      if (!problem.jacobian(out) || !all_finite(out)) return -1;
    }
    return 0;
  } catch (...) {
    context->error = std::current_exception();
    return -1;
  }
}

int checked_int(std::size_t v) {
  return v > static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(v);
}

}  // namespace

double physical_slope(double p, const Bounds& b) {
  return is_open_bound(b) ? kLn10 * (p - b.first) : 1.0;
}

std::vector<double> to_internal(std::span<const double> physical, std::span<const Bounds> bounds) {
  std::vector<double> out(physical.begin(), physical.end());
  const std::size_t n = std::min(out.size(), bounds.size());
  for (std::size_t j = 0; j < n; ++j) out[j] = to_internal(out[j], bounds[j]);
  return out;
}

LmProblem::LmProblem(const SeriesList& circuit, std::span<const double> omegas,
                     std::span<const Complex> impedances, std::span<const double> weights,
                     std::vector<Bounds> bounds, std::vector<bool> fixed, std::vector<double> start,
                     EvalCounter& counter, const ParameterMap* map)
    : circuit_(circuit),
      omegas_(omegas.begin(), omegas.end()),
      impedances_(impedances),
      weights_(weights.begin(), weights.end()),
      bounds_(std::move(bounds)),
      fixed_(std::move(fixed)),
      internal_(std::move(start)),
      counter_(counter),
      map_(map),
      plan_(circuit, omegas) {
  refresh_physical();
}

void LmProblem::set_params(std::span<const double> internal) {
  // Same length on every call, so the copy reuses the buffer.
  internal_.assign(internal.begin(), internal.end());
  refresh_physical();
}

void LmProblem::refresh_physical() {
  physical_.assign(internal_.begin(), internal_.end());
  const std::size_t n = std::min(physical_.size(), bounds_.size());
  for (std::size_t j = 0; j < n; ++j) physical_[j] = to_physical(internal_[j], bounds_[j]);
}

std::vector<double> LmProblem::physical() const { return physical_; }

bool LmProblem::residuals(std::span<double> out) {
  return residuals_into(Spectrum{circuit_, omegas_, impedances_, weights_, map_, &plan_}, physical_,
                        counter_, out);
}

bool LmProblem::jacobian(std::span<double> out) {
  const std::size_t p = physical_.size();
  if (p == 0) return false;
  const Spectrum spectrum{circuit_, omegas_, impedances_, weights_, map_, &plan_};
  const bool ok = analytic_jacobian_ ? analytic_jacobian_into(spectrum, physical_, counter_, out)
                                     : jacobian_into(spectrum, physical_, counter_, out);
  if (!ok) return false;
  const std::size_t m = residual_count();
  for (std::size_t j = 0; j < p; ++j) {
    auto column = out.subspan(j * m, m);
    // A zero column keeps lmder from moving the parameter: this is how the
    // polish run holds parameters on their bound.
    if (j < fixed_.size() && fixed_[j]) {
      std::fill(column.begin(), column.end(), 0.0);
      continue;
    }
    if (j >= bounds_.size()) continue;
    const double slope = physical_slope(physical_[j], bounds_[j]);
    if (slope == 1.0) continue;
    for (double& v : column) v *= slope;
  }
  return true;
}

std::vector<Candidate> candidate_starting_points(
    const SeriesList& circuit, std::span<const double> initial, std::span<const Bounds> bounds,
    std::span<const double> omegas, std::span<const Complex> impedances,
    std::span<const double> weights, EvalCounter& counter, const ParameterMap* map) {
  const std::size_t pb = std::min(bounds.size(), initial.size());
  std::vector<std::vector<double>> points;
  points.reserve(9);
  for (double scale : kScales) {
    std::vector<double> p(initial.begin(), initial.end());
    if (scale != 1.0) {
      for (std::size_t j = 0; j < pb; ++j) {
        if (is_open_bound(bounds[j])) p[j] = initial[j] * scale;
      }
    }
    points.push_back(std::move(p));
  }
  for (double fraction : kFractions) {
    std::vector<double> p(initial.begin(), initial.end());
    for (std::size_t j = 0; j < pb; ++j) {
      const auto [lo, hi] = bounds[j];
      if (!is_open_bound(bounds[j])) p[j] = lo + (hi - lo) * fraction;
    }
    points.push_back(std::move(p));
  }

  const SpectrumPlan plan(circuit, omegas);
  const Spectrum spectrum{circuit, omegas, impedances, weights, map, &plan};
  std::vector<double> r(2 * omegas.size());
  std::vector<Candidate> out;
  out.reserve(points.size());
  for (auto& p : points) {
    const double c = residuals_into(spectrum, p, counter, r) ? cost(r) : std::nan("");
    out.push_back({std::move(p), c});
  }
  return out;
}

void sort_candidates(std::vector<Candidate>& candidates) {
  std::stable_sort(candidates.begin(), candidates.end(),
                   [](const Candidate& a, const Candidate& b) {
                     return total_order_key(a.cost) < total_order_key(b.cost);
                   });
}

// A run's fitted values look like a real minimum rather than an escape: no
// bounded parameter on (or within a millionth of its range of) a bound, every
// open-bound parameter well above its floor and within a factor of a million
// of where it started.
bool is_plausible(std::span<const double> params, std::span<const double> initial,
                  std::span<const Bounds> bounds) {
  const std::size_t n = std::min({params.size(), initial.size(), bounds.size()});
  for (std::size_t j = 0; j < n; ++j) {
    const double p = params[j];
    const auto [lo, hi] = bounds[j];
    if (!is_open_bound(bounds[j])) {
      const double margin = 1e-6 * (hi - lo);
      if (!(std::fabs(p - lo) > margin && std::fabs(hi - p) > margin)) return false;
      continue;
    }
    if (!(p > 100.0 * lo)) return false;
    const double a = std::fabs(initial[j]);
    const double ratio = p / (std::isnan(a) || a < 1e-300 ? 1e-300 : a);
    if (!(std::isfinite(ratio) && ratio >= 1e-6 && ratio < 1e6)) return false;
  }
  return true;
}

bool lmder_converged(int info) { return (info >= 1 && info <= 4) || info == kLmderStalledInfo; }

LmProblem run_problem(const SeriesList& circuit, std::span<const double> omegas,
                      std::span<const Complex> impedances, std::span<const double> weights,
                      std::span<const Bounds> bounds, std::span<const double> start,
                      const std::vector<bool>& fixed, const LmSettings& settings,
                      EvalCounter& counter, const ParameterMap* map) {
  LmProblem problem(circuit, omegas, impedances, weights,
                    std::vector<Bounds>(bounds.begin(), bounds.end()), fixed,
                    std::vector<double>(start.begin(), start.end()), counter, map);
  if (settings.analytic_jacobian) problem.use_analytic_jacobian();
  return problem;
}

bool usable_tolerances(const LmSettings& settings) {
  return settings.ftol >= 0.0 && settings.xtol >= 0.0 && settings.gtol >= 0.0;
}

StartResult levenberg_marquardt_single_start(
    const SeriesList& circuit, std::span<const double> omegas, std::span<const Complex> impedances,
    std::span<const double> weights, std::span<const Bounds> bounds, std::span<const double> start,
    const std::vector<bool>& fixed, const LmSettings& settings, EvalCounter& counter,
    const ParameterMap* map) {
  LmProblem problem = run_problem(circuit, omegas, impedances, weights, bounds, start, fixed,
                                  settings, counter, map);
  StartResult result;
  const int m = checked_int(problem.residual_count());
  const int n = checked_int(problem.param_count());
  if (m < 0 || n <= 0 || !usable_tolerances(settings)) {
    result.params = problem.physical();
    return result;
  }

  // patience * (P + 1) residual evaluations, saturated at lmder's int range.
  const std::uint64_t patience = std::max<std::uint64_t>(settings.patience, 1);
  const auto per_step = static_cast<std::uint64_t>(n) + 1;
  const int maxfev = patience > static_cast<std::uint64_t>(INT_MAX) / per_step
                         ? INT_MAX
                         : static_cast<int>(patience * per_step);

  const std::size_t rows = static_cast<std::size_t>(m);
  const std::size_t cols = static_cast<std::size_t>(n);
  std::vector<double> x(start.begin(), start.end());
  std::vector<double> fvec(rows), fjac(rows * cols), diag(cols), qtf(cols);
  std::vector<double> wa1(cols), wa2(cols), wa3(cols), wa4(rows);
  std::vector<int> ipvt(cols);
  int nfev = 0, njev = 0;
  CallbackContext context{&problem, false, nullptr, settings.stall_tolerance, {}, false};
  const int ldfjac = m > 0 ? m : 1;
  const int info = lmder(lmder_callback, &context, m, n, x.data(), fvec.data(), fjac.data(), ldfjac,
                         settings.ftol, settings.xtol, settings.gtol, maxfev, diag.data(),
                         kScaleFromColumnNorms, kStepBoundFactor, 0, &nfev, &njev, ipvt.data(),
                         qtf.data(), wa1.data(), wa2.data(), wa3.data(), wa4.data());
  if (context.error) std::rethrow_exception(context.error);

  problem.set_params(x);
  result.params = problem.physical();
  result.info = context.stalled ? kLmderStalledInfo : info;
  result.success = lmder_converged(result.info);
  result.evaluations = static_cast<std::uint64_t>(std::max(nfev, 0));
  result.jacobian_evaluations = static_cast<std::uint64_t>(std::max(njev, 0));
  return result;
}

}  // namespace korvex
