#include "fit/outcome_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace korvex {
namespace {

// Four significant digits: enough to read, short enough for a sentence.
std::string short_float(double x) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.4g", x);
  return buffer;
}

bool near(double p, double bound, double scale) {
  return std::fabs(p - bound) <= kAtBoundTolerance * scale;
}

}  // namespace

std::vector<bool> parameters_at_bounds(const std::vector<double>& params,
                                       const std::vector<Bounds>& bounds, const ParameterMap& map) {
  const std::size_t n = std::min(params.size(), bounds.size());
  std::vector<bool> out(params.size(), false);
  for (std::size_t j = 0; j < n; ++j) {
    if (map.is_held(j)) continue;
    const auto [lo, hi] = bounds[j];
    const double p = params[j];
    if (std::isfinite(hi)) {
      out[j] = p <= lo || p >= hi || near(p, lo, hi - lo) || near(p, hi, hi - lo);
    } else {
      out[j] = p <= lo || near(p, lo, std::fabs(lo));
    }
  }
  return out;
}

std::vector<bool> runaway_parameters(const SeriesList& circuit, const std::vector<double>& params,
                                     const ParameterMap& map, double largest_modulus) {
  const auto units = param_units(circuit);
  const auto catalogue = catalogue_bounds(circuit);
  const std::size_t n = std::min({params.size(), units.size(), catalogue.size()});
  std::vector<bool> out(params.size(), false);
  for (std::size_t j = 0; j < n; ++j) {
    if (map.is_held(j)) continue;
    const bool exponent = catalogue[j] == Bounds{0.0, 1.0};
    if (units[j] == "ohm") {
      out[j] = params[j] > kRunawayModulusFactor * largest_modulus;
    } else if (exponent) {
      out[j] = params[j] <= kRunawayExponent;
    }
  }
  return out;
}

double residual_autocorrelation(std::span<const double> omegas, std::span<const double> residuals) {
  const std::size_t n = std::min(omegas.size(), residuals.size() / 2);
  if (n < 3) return std::nan("");
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return omegas[a] < omegas[b]; });
  double lagged = 0.0, squares = 0.0;
  for (std::size_t part = 0; part < 2; ++part) {
    for (std::size_t k = 0; k < n; ++k) {
      const double r = residuals[2 * order[k] + part];
      squares += r * r;
      if (k + 1 < n) lagged += r * residuals[2 * order[k + 1] + part];
    }
  }
  return squares > 0.0 ? lagged / squares : std::nan("");
}

double whiteness_limit(std::size_t points) {
  const double n = static_cast<double>(std::max<std::size_t>(points, 1));
  return std::max(0.5, 4.0 / std::sqrt(2.0 * n));
}

std::vector<std::string> fit_warnings(const OutcomeFacts& f) {
  std::vector<std::string> out;
  const std::size_t n = std::min({f.names.size(), f.params.size(), f.at_bound.size()});
  for (std::size_t j = 0; j < n && j < f.runaway.size(); ++j) {
    if (!f.runaway[j]) continue;
    const bool exponent = f.params[j] <= kRunawayExponent;
    out.push_back(f.names[j] + " ran off to " + short_float(f.params[j]) +
                  (exponent ? " (an exponent at 0)"
                            : " ohm, over 1000 times the largest |Z| of the spectrum (" +
                                  short_float(f.largest_modulus) + " ohm)") +
                  ": the fit is not a physical minimum; try other starting values, bounds or "
                  "another circuit.");
  }
  for (std::size_t j = 0; j < n; ++j) {
    if (!f.at_bound[j]) continue;
    const auto [lo, hi] = f.bounds[j];
    const double p = f.params[j];
    const bool upper = std::isfinite(hi) && std::fabs(p - hi) < std::fabs(p - lo);
    out.push_back(f.names[j] + " is at its " + (upper ? "upper" : "lower") + " bound (" +
                  short_float(upper ? hi : lo) +
                  "): the data may want a value beyond it, or "
                  "another circuit.");
  }
  if (!f.stderr_) {
    out.push_back(
        "Standard errors could not be computed: the parameters are not all determined by the "
        "data (too few points, or a singular Jacobian).");
  } else {
    for (std::size_t j = 0; j < n && j < f.stderr_->size(); ++j) {
      if (f.map.is_held(j)) continue;
      const double se = (*f.stderr_)[j], p = f.params[j];
      if (!std::isfinite(se)) {
        out.push_back(f.names[j] +
                      " has a non-finite standard error: the data do not "
                      "determine it.");
      } else if (se > std::fabs(p)) {
        out.push_back(f.names[j] + " has a standard error (" + short_float(se) +
                      ") larger than its value (" + short_float(p) +
                      "): the data hardly determine it.");
      }
    }
  }
  const std::size_t points = f.residuals.size() / 2;
  const double rho = residual_autocorrelation(f.omegas, f.residuals);
  if (rho > whiteness_limit(points)) {
    // For white noise the point-to-point scatter estimates the noise level;
    // chi-square over it is 1 / (1 - rho) for residuals correlated by rho.
    out.push_back("The residuals are not white (lag-1 autocorrelation " + short_float(rho) +
                  "): chi-square is about " + short_float(1.0 / (1.0 - rho)) +
                  " times what the noise allows, so the fit misses structure in the data "
                  "(a poor minimum, or a circuit that does not describe the spectrum).");
  }
  return out;
}

void add_search_hint(FitOutcome& outcome, std::span<const double> omegas) {
  const bool at_bound =
      std::find(outcome.at_bound.begin(), outcome.at_bound.end(), true) != outcome.at_bound.end();
  const double rho = residual_autocorrelation(omegas, outcome.residuals);
  if (at_bound || rho > whiteness_limit(outcome.residuals.size() / 2)) {
    outcome.warnings.emplace_back(kSearchHint);
  }
}

}  // namespace korvex
