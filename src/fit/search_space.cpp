#include "fit/search_space.hpp"

#include <algorithm>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/search_scale.hpp"
#include "common/format.hpp"
#include "common/units.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "starts/start_values.hpp"

namespace korvex {
namespace {

// log10 of a difference floored at 1e-300; a NaN difference counts as the floor.
double log_above_floor(double d) { return std::log10(d > 1e-300 ? d : 1e-300); }

}  // namespace

SearchBox pso_search_box(std::span<const Bounds> bounds, std::span<const double> start_values) {
  const std::size_t n = std::min(bounds.size(), start_values.size());
  SearchBox box;
  box.lower.resize(n);
  box.upper.resize(n);
  for (std::size_t j = 0; j < n; ++j) {
    const auto [lo, hi] = bounds[j];
    if (std::isfinite(hi)) {
      box.lower[j] = lo;
      box.upper[j] = hi;
      continue;
    }
    const double a = std::fabs(start_values[j]);
    const double v = std::isnan(a) || a < 1e-6 ? 1e-6 : a;
    box.lower[j] = log_above_floor(std::max(v * 1e-4, lo) - lo);
    box.upper[j] = log_above_floor(v * 1e4 - lo);
  }
  return box;
}

std::optional<std::string> check_search_box(const SearchBox& box,
                                            const std::vector<std::string>& names) {
  for (std::size_t j = 0; j < box.lower.size(); ++j) {
    const double lo = box.lower[j], hi = box.upper[j];
    if (!std::isfinite(lo) || !std::isfinite(hi) || !(lo <= hi)) {
      const std::string name = j < names.size() ? names[j] : std::to_string(j);
      return "cannot search around the start value of " + name + ": its search box [" +
             debug_float(lo) + ", " + debug_float(hi) + "] is not finite";
    }
  }
  return std::nullopt;
}

std::variant<SearchBox, FitError> PsoProblem::population_box() const {
  SearchBox box = pso_search_box(bounds_, start_values_);
  if (auto reason = check_search_box(box, map_.free_of(param_names(settings_.circuit)))) {
    return FitError::solver(*reason);
  }
  return box;
}

PsoProblem::PsoProblem(const FitSettings& settings)
    : settings_(settings),
      map_(settings.circuit, settings.held),
      omegas_(angular_frequencies(settings.frequencies)),
      weights_(compute_weights(settings.impedances, settings.weighting)),
      bounds_(map_.free_of(param_bounds(settings.circuit))),
      start_values_(start_inside_bounds(map_.free_of(param_values(settings.circuit)), bounds_)) {
  residual_scratch_.resize(2 * omegas_.size());
  plan_.emplace(settings.circuit, omegas_);
}

std::vector<double> PsoProblem::start_point() const {
  std::vector<double> x(start_values_);
  const std::size_t n = std::min(x.size(), bounds_.size());
  for (std::size_t j = 0; j < n; ++j) x[j] = to_internal(x[j], bounds_[j]);
  return x;
}

std::vector<double> PsoProblem::physical(std::span<const double> x) const {
  std::vector<double> p(x.begin(), x.end());
  const std::size_t n = std::min(p.size(), bounds_.size());
  for (std::size_t j = 0; j < n; ++j) p[j] = to_physical(p[j], bounds_[j]);
  return p;
}

double PsoProblem::cost(std::span<const double> x) {
  physical_scratch_.assign(x.begin(), x.end());
  const std::size_t n = std::min(physical_scratch_.size(), bounds_.size());
  for (std::size_t j = 0; j < n; ++j) {
    physical_scratch_[j] = to_physical(physical_scratch_[j], bounds_[j]);
  }
  return physical_cost(physical_scratch_);
}

double PsoProblem::physical_cost(std::span<const double> params) {
  const Spectrum s{settings_.circuit,
                   omegas_,
                   settings_.impedances,
                   weights_,
                   map_.holds_any() ? &map_ : nullptr,
                   &*plan_};
  if (!residuals_into(s, params, counter_, residual_scratch_)) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  return korvex::cost(residual_scratch_);
}

FitResultOr PsoProblem::polish(std::vector<double> best_physical, std::uint64_t iterations) {
  return polish_or_fallback(settings_.circuit, map_, std::move(best_physical), iterations,
                            settings_.frequencies, omegas_, settings_.impedances,
                            settings_.weighting, weights_, counter_);
}

}  // namespace korvex
