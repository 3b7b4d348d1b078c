#include "fit/normal_lm.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Cholesky>
#include <Eigen/Core>

namespace korvex {
namespace {

using Eigen::MatrixXd;
using Eigen::VectorXd;

// A step is taken when it achieves at least this share of the reduction the
// linear model predicts.
constexpr double kAcceptRatio = 1e-4;
// The damping relative to the scaled curvature at the first step. Heavier
// first damping keeps a run near its start: on synthetic three-arc and
// diffusion spectra more runs then settled in a minimum next to the best one.
// Much lighter lets a run from a start decades off jump to a poor one.
constexpr double kInitialDamping = 1e-4;
// Damping past this leaves no step to take: lmder's "tolerance too small".
constexpr double kLargestDamping = 1e100;
constexpr int kToleranceTooSmall = 6;

bool all_finite(std::span<const double> v) {
  return std::all_of(v.begin(), v.end(), [](double x) { return std::isfinite(x); });
}

// The run's state at its accepted point.
struct Accepted {
  VectorXd x;  // internal vector
  VectorXd r;  // residuals
  double cost = 0.0;
};

// 1/2 |r|^2 at `x`, or +inf where the circuit cannot be evaluated there or
// gives a residual that is not finite.
double trial_cost(LmProblem& problem, const VectorXd& x, VectorXd& r) {
  problem.set_params(std::span<const double>(x.data(), static_cast<std::size_t>(x.size())));
  if (!problem.residuals(std::span<double>(r.data(), static_cast<std::size_t>(r.size()))) ||
      !r.allFinite()) {
    return std::numeric_limits<double>::infinity();
  }
  return 0.5 * r.squaredNorm();
}

}  // namespace

StartResult normal_equations_single_start(
    const SeriesList& circuit, std::span<const double> omegas, std::span<const Complex> impedances,
    std::span<const double> weights, std::span<const Bounds> bounds, std::span<const double> start,
    const std::vector<bool>& fixed, const LmSettings& settings, EvalCounter& counter,
    const ParameterMap* map) {
  LmProblem problem = run_problem(circuit, omegas, impedances, weights, bounds, start, fixed,
                                  settings, counter, map);
  StartResult result;
  const auto m = static_cast<Eigen::Index>(problem.residual_count());
  const auto n = static_cast<Eigen::Index>(problem.param_count());
  if (m == 0 || n == 0 || !usable_tolerances(settings)) {
    result.params = problem.physical();
    return result;
  }
  const std::uint64_t patience = std::max<std::uint64_t>(settings.patience, 1);
  const auto per_step = static_cast<std::uint64_t>(n) + 1;
  const std::uint64_t budget = patience > std::numeric_limits<std::uint64_t>::max() / per_step
                                   ? std::numeric_limits<std::uint64_t>::max()
                                   : patience * per_step;

  Accepted at{Eigen::Map<const VectorXd>(start.data(), n), VectorXd(m), 0.0};
  at.cost = trial_cost(problem, at.x, at.r);
  std::uint64_t evaluations = 1;
  std::uint64_t jacobians = 0;
  int info = 0;
  if (!std::isfinite(at.cost)) info = -1;

  MatrixXd jacobian(m, n);
  VectorXd scale = VectorXd::Zero(n);  // MINPACK's mode 1: the largest column norms seen
  std::vector<double> costs;
  double damping = -1.0, growth = 2.0;
  VectorXd trial(n), trial_r(m);
  while (info == 0) {
    // The stall rule looks at the cost of each accepted point, as lmder's
    // callback does before each Jacobian.
    costs.push_back(at.cost);
    const std::size_t k = costs.size();
    if (settings.stall_tolerance > 0.0 && k > kStallIterations) {
      const double before = costs[k - 1 - kStallIterations];
      if (before - costs[k - 1] < settings.stall_tolerance * before) {
        info = kLmderStalledInfo;
        break;
      }
    }
    problem.set_params(std::span<const double>(at.x.data(), static_cast<std::size_t>(n)));
    if (!problem.jacobian(std::span<double>(jacobian.data(), static_cast<std::size_t>(m * n))) ||
        !jacobian.allFinite()) {
      info = -1;
      break;
    }
    ++jacobians;
    const MatrixXd curvature = jacobian.transpose() * jacobian;
    const VectorXd gradient = jacobian.transpose() * at.r;
    const double residual_norm = at.r.norm();
    double worst_cosine = 0.0;
    for (Eigen::Index j = 0; j < n; ++j) {
      const double column = std::sqrt(curvature(j, j));
      scale(j) = std::max(scale(j), column > 0.0 ? column : 1.0);
      if (column > 0.0 && residual_norm > 0.0) {
        worst_cosine = std::max(worst_cosine, std::fabs(gradient(j)) / (column * residual_norm));
      }
    }
    // Zero residuals give a zero gradient, which lmder reports as gtol.
    if (residual_norm == 0.0 || worst_cosine <= settings.gtol) {
      info = 4;
      break;
    }
    if (damping < 0.0) damping = kInitialDamping;
    const VectorXd scale2 = scale.array().square();
    bool accepted = false;
    while (!accepted && info == 0) {
      MatrixXd system = curvature;
      system.diagonal() += damping * scale2;
      const Eigen::LLT<MatrixXd> factor(system);
      if (factor.info() != Eigen::Success) {
        damping *= growth;
        growth *= 2.0;
        if (damping > kLargestDamping) info = kToleranceTooSmall;
        continue;
      }
      const VectorXd step = factor.solve(-gradient);
      trial = at.x + step;
      const double cost = trial_cost(problem, trial, trial_r);
      ++evaluations;
      const double predicted = -(gradient.dot(step) + 0.5 * step.dot(curvature * step));
      const double actual = at.cost - cost;
      const double ratio = predicted > 0.0 ? actual / predicted : 0.0;
      const double step_norm = (scale.array() * step.array()).matrix().norm();
      const double x_norm = (scale.array() * at.x.array()).matrix().norm();
      const double before = at.cost;
      if (ratio > kAcceptRatio) {
        at.x = trial;
        at.r = trial_r;
        at.cost = cost;
        accepted = true;
        const double t = 2.0 * ratio - 1.0;
        damping *= std::max(1.0 / 3.0, 1.0 - t * t * t);
        growth = 2.0;
      } else {
        damping *= growth;
        growth *= 2.0;
      }
      // lmder's tests, relative to the sum of squares before the step.
      const bool f_converged = std::isfinite(actual) &&
                               std::fabs(actual) <= settings.ftol * before &&
                               predicted <= settings.ftol * before && ratio <= 2.0;
      const bool x_converged = step_norm <= settings.xtol * x_norm;
      if (f_converged || x_converged) {
        info = f_converged && x_converged ? 3 : f_converged ? 1 : 2;
      } else if (evaluations >= budget) {
        info = 5;
      } else if (damping > kLargestDamping) {
        info = kToleranceTooSmall;
      }
    }
  }
  problem.set_params(std::span<const double>(at.x.data(), static_cast<std::size_t>(n)));
  result.params = problem.physical();
  result.info = info;
  result.success = lmder_converged(info);
  result.evaluations = evaluations;
  result.jacobian_evaluations = jacobians;
  return result;
}

}  // namespace korvex
