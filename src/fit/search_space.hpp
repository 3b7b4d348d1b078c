#pragma once
// What the global searches share: the space they move in (one coordinate per
// parameter, log10(p - lo) for open-bound parameters, as in the
// Levenberg-Marquardt internal vector), the box the population methods start
// in, the scalar cost 1/2 sum r^2, and the prologue and polish around them.
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/plan.hpp"
#include "fit/outcome.hpp"
#include "fit/settings.hpp"

namespace korvex {

// A scalar cost over search coordinates, as the searches see it.
using Objective = std::function<double(std::span<const double>)>;

// The best point a search found. `found` is false when no point had a
// comparable cost (every cost NaN, or nothing evaluated).
struct SearchResult {
  bool found = false;
  std::vector<double> position;
  double cost = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t iterations = 0;  // the method's own count of work
};

// The searches' order on costs: lower wins, and any number beats NaN. Ties
// are left to the caller (they keep the incumbent).
inline bool cost_improves(double candidate, double incumbent) {
  return candidate < incumbent || (std::isnan(incumbent) && !std::isnan(candidate));
}

struct SearchBox {
  std::vector<double> lower;
  std::vector<double> upper;
};

// Eight decades of p - lo around the start value for an open-bound
// parameter (four below, four above), the bound interval for a bounded one.
SearchBox pso_search_box(std::span<const Bounds> bounds, std::span<const double> start_values);

// None when a population can be spread over `box`: every limit finite and
// lower <= upper. A start value near the largest double gives an infinite
// box. `names` are the parameter names, for the message.
std::optional<std::string> check_search_box(const SearchBox& box,
                                            const std::vector<std::string>& names);

// The fit-side problem of Nelder-Mead and particle swarm (simulated annealing
// and differential evolution evaluate the same cost through it): the common
// prologue of every method, a counted cost, and the final polish. It assumes
// the data guards of check_fit_inputs hold. Its space holds the free
// parameters only (FitSettings::held): positions, bounds, start values and
// the search box leave the held ones out.
class PsoProblem {
 public:
  explicit PsoProblem(const FitSettings& settings);

  std::size_t dimension() const { return bounds_.size(); }
  const std::vector<Bounds>& bounds() const { return bounds_; }
  const std::vector<double>& start_values() const { return start_values_; }
  // The start values mapped into the search space.
  std::vector<double> start_point() const;
  // The box a population is spread over (pso_search_box around the start
  // values), or the Solver error when it is not finite.
  std::variant<SearchBox, FitError> population_box() const;
  // Search coordinates to physical values (no clamping).
  std::vector<double> physical(std::span<const double> x) const;

  // 1/2 sum r^2 at search coordinates `x`; one counted evaluation.
  double cost(std::span<const double> x);
  // The same at physical values.
  double physical_cost(std::span<const double> params);

  // polish_or_fallback of a search's best physical values.
  FitResultOr polish(std::vector<double> best_physical, std::uint64_t iterations);

  EvalCounter& counter() { return counter_; }

 private:
  const FitSettings& settings_;
  ParameterMap map_;
  std::vector<double> omegas_;
  std::vector<double> weights_;
  std::vector<Bounds> bounds_;
  std::vector<double> start_values_;
  EvalCounter counter_;
  std::vector<double> physical_scratch_;
  std::vector<double> residual_scratch_;
  std::optional<SpectrumPlan> plan_;  // the circuit compiled for omegas_, for every cost
};

}  // namespace korvex
