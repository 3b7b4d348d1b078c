#pragma once
// The pieces of the multi-start Levenberg-Marquardt fit: the problem adapter
// that shows the circuit to lmder in the log space of open-bound parameters,
// the nine starting candidates, and one minimiser run.
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/search_scale.hpp"
#include "fit/levenberg_marquardt.hpp"

namespace korvex {

// d(physical)/d(internal) at physical value p: ln 10 * (p - lo) for an
// open-bound parameter, 1 for a bounded one.
double physical_slope(double p, const Bounds& b);

// Internal vector of `physical` over the first min(P, bounds) entries.
std::vector<double> to_internal(std::span<const double> physical, std::span<const Bounds> bounds);

class LmProblem {
 public:
  LmProblem(const SeriesList& circuit, std::span<const double> omegas,
            std::span<const Complex> impedances, std::span<const double> weights,
            std::vector<Bounds> bounds, std::vector<bool> fixed, std::vector<double> start,
            EvalCounter& counter, const ParameterMap* map = nullptr);

  void set_params(std::span<const double> internal);
  std::span<const double> params() const { return internal_; }
  // Current vector in physical values.
  std::vector<double> physical() const;

  std::size_t residual_count() const { return 2 * omegas_.size(); }
  std::size_t param_count() const { return internal_.size(); }

  // Residuals at the current vector into `out` (residual_count() entries).
  // False when the circuit could not be evaluated.
  bool residuals(std::span<double> out);
  // Column-major residual_count() x param_count() Jacobian with respect to
  // the internal vector; fixed parameters get zero columns. False when there
  // is no Jacobian.
  bool jacobian(std::span<double> out);

  // Switches jacobian() to the analytic derivatives.
  void use_analytic_jacobian() { analytic_jacobian_ = true; }

 private:
  void refresh_physical();

  const SeriesList& circuit_;
  std::vector<double> omegas_;
  std::span<const Complex> impedances_;
  std::vector<double> weights_;
  std::vector<Bounds> bounds_;
  std::vector<bool> fixed_;
  std::vector<double> internal_;
  std::vector<double> physical_;  // scratch, refreshed on every set_params
  EvalCounter& counter_;
  const ParameterMap* map_;  // vectors are its free vectors when set
  SpectrumPlan plan_;        // the circuit compiled for omegas_, shared by every evaluation
  bool analytic_jacobian_ = false;
};

struct Candidate {
  std::vector<double> params;  // physical
  double cost;
};

// p0, p0 scaled by 3, 1/3, 8, 1/8 (open-bound parameters), then bounded
// parameters at 20/40/60/80 % of their range; each candidate's cost is
// evaluated (nine counted evaluations). With a map, `initial` and `bounds`
// are over its free parameters.
std::vector<Candidate> candidate_starting_points(
    const SeriesList& circuit, std::span<const double> initial, std::span<const Bounds> bounds,
    std::span<const double> omegas, std::span<const Complex> impedances,
    std::span<const double> weights, EvalCounter& counter, const ParameterMap* map = nullptr);

// Sorts candidates by ascending cost in IEEE total order with every NaN
// after +inf; equal costs keep their order.
void sort_candidates(std::vector<Candidate>& candidates);

struct StartResult {
  std::vector<double> params;  // physical
  bool success = false;
  std::uint64_t evaluations = 0;           // lmder's nfev: residual evaluations
  std::uint64_t jacobian_evaluations = 0;  // lmder's njev
  int info = 0;                            // lmder's termination code (negative: stopped by us)
};

// Whether a run's fitted values look like a real minimum rather than an
// escape; `initial` are the circuit's starting values.
bool is_plausible(std::span<const double> params, std::span<const double> initial,
                  std::span<const Bounds> bounds);

// lmder's termination codes 1-4 (zero residuals, ftol, xtol, both, gtol), and the
// stall rule's kLmderStalledInfo.
bool lmder_converged(int info);

// The reason behind a run's end (termination_of_lmder of its info).
inline Termination termination_of(const StartResult& run) { return termination_of_lmder(run.info); }

// The problem of one run from the internal vector `start`, with the
// analytic Jacobian where the settings ask for it.
LmProblem run_problem(const SeriesList& circuit, std::span<const double> omegas,
                      std::span<const Complex> impedances, std::span<const double> weights,
                      std::span<const Bounds> bounds, std::span<const double> start,
                      const std::vector<bool>& fixed, const LmSettings& settings,
                      EvalCounter& counter, const ParameterMap* map);

// Whether a run can use the settings' tolerances: a negative or NaN one
// (which lmder would take, NaN failing its own range check silently) cannot.
bool usable_tolerances(const LmSettings& settings);

// One lmder run from the internal vector `start` (over the map's free
// parameters when a map is given).
StartResult levenberg_marquardt_single_start(
    const SeriesList& circuit, std::span<const double> omegas, std::span<const Complex> impedances,
    std::span<const double> weights, std::span<const Bounds> bounds, std::span<const double> start,
    const std::vector<bool>& fixed, const LmSettings& settings, EvalCounter& counter,
    const ParameterMap* map = nullptr);

}  // namespace korvex
