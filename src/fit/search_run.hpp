#pragma once
// One local run of the robust search (multi_start.hpp): Levenberg-Marquardt
// from one start with the analytic Jacobian and the stall
// rule, on the search's spectrum (every point, or a log-spaced subset of a long one), its result
// clamped into the bounds and judged as the final summary would judge it (converged, finite,
// nothing run off). The winner of the search is polished afterwards by the caller's own engine on
// every point.
#include <cstdint>
#include <span>
#include <vector>

#include "circuit/params.hpp"
#include "fit/outcome_status.hpp"
#include "fit/parameter_map.hpp"
#include "fit/settings.hpp"

namespace korvex {

// Spectra longer than this are searched on this many log-spaced points.
inline constexpr std::size_t kSearchPoints = 96;
// A search run's budget: this many times (P + 1) residual evaluations.
inline constexpr std::uint64_t kSearchPatience = 60;

struct SearchRun {
  std::vector<double> params;  // full vector, physical, inside the bounds
  double cost = 0.0;           // 1/2 sum r^2 on the search's spectrum; NaN when not finite
  bool success = false;        // converged, finite and nothing ran off
  std::uint64_t evaluations = 0;
  Termination termination = Termination::NotConverged;  // of the run's last part
};

// A failed minimum (a parameter ran off, say) beats a successful one only
// below this fraction of its cost. Where the data leave an element
// undetermined (an arc that does not close inside the window) the best fit
// runs that element off; a converged fit far above it is not the model's
// best fit, and reporting it as a success would hide that. Close costs keep
// the successful one.
inline constexpr double kFailureWinsBelow = 0.5;

// Whether a minimum (success, cost) beats another: a success beats a
// failure unless the failure costs less than kFailureWinsBelow of it, then
// the lower cost wins (a NaN cost never wins).
bool better_minimum(bool a_success, double a_cost, bool b_success, double b_cost);
bool better_run(const SearchRun& a, const SearchRun& b);

// The problem every run of one search shares; borrows `settings`.
class SearchProblem {
 public:
  SearchProblem(const FitSettings& settings, const std::vector<bool>& held);

  // One run from the full physical vector `start` (held entries keep the
  // circuit's values whatever `start` holds), or with `candidates` the plain
  // fit's runs from its nine candidates (fit/levenberg_marquardt.hpp) with
  // the same rules.
  SearchRun run(std::span<const double> start, bool candidates) const;
  // Residual evaluations of every run so far (runs may be concurrent).
  std::uint64_t evaluations() const { return counter_.value(); }

 private:
  const FitSettings& settings_;
  std::vector<bool> held_;
  ParameterMap map_;
  std::vector<Bounds> bounds_;  // of the free parameters
  std::vector<double> frequencies_;
  std::vector<double> omegas_;
  std::vector<Complex> impedances_;
  std::vector<double> weights_;
  double largest_modulus_ = 0.0;
  mutable EvalCounter counter_;
};

}  // namespace korvex
