#pragma once
// What a careful analyst checks in a finished fit: parameters that ran off,
// parameters pinned at a bound, standard errors that swamp their values, and
// residuals whose structure says the circuit misses something the data hold.
#include <span>
#include <string>
#include <vector>

#include "circuit/params.hpp"
#include "fit/outcome.hpp"
#include "fit/parameter_map.hpp"

namespace korvex {

// Relative distance within which a parameter counts as on its bound: of the
// range for a bounded parameter, of the bound's magnitude for an open one.
inline constexpr double kAtBoundTolerance = 1e-9;

// Per parameter: free and on (or within kAtBoundTolerance of) a bound.
std::vector<bool> parameters_at_bounds(const std::vector<double>& params,
                                       const std::vector<Bounds>& bounds, const ParameterMap& map);

// A resistance-like parameter (unit ohm) above this multiple of the largest
// |Z| of the spectrum has run off: no part of a circuit that describes the
// data is a thousand times larger than the whole measured impedance.
inline constexpr double kRunawayModulusFactor = 1000.0;
// An exponent of range (0, 1) (a CPE's alpha, a ZARC's gamma) at or below this
// has run off to 0: the element degenerated into a plain resistor.
inline constexpr double kRunawayExponent = 1e-3;

// Per parameter: free and run off as above, against `largest_modulus`, the
// largest |Z| of the spectrum.
std::vector<bool> runaway_parameters(const SeriesList& circuit, const std::vector<double>& params,
                                     const ParameterMap& map, double largest_modulus);

// Lag-1 autocorrelation of the weighted residuals (interleaved re/im, as
// residuals_into) taken in order of frequency, real and imaginary parts
// pooled: sum r_i r_(i+1) / sum r_i^2. Near 0 for white noise, near 1 when
// the residuals follow a curve. NaN for fewer than 3 points or zero residuals.
double residual_autocorrelation(std::span<const double> omegas, std::span<const double> residuals);

// The autocorrelation above which chi-square is judged far above what the
// noise allows: beyond four standard deviations of its spread under white
// noise, 4 / sqrt(2N), and at least 0.5, where chi-square is about twice the
// noise level read from the point-to-point scatter of the residuals.
double whiteness_limit(std::size_t points);

struct OutcomeFacts {
  const std::vector<std::string>& names;
  const std::vector<double>& params;
  const std::vector<double>* stderr_;  // null when the standard errors are absent
  const ParameterMap& map;
  const std::vector<bool>& at_bound;
  const std::vector<bool>& runaway;
  const std::vector<Bounds>& bounds;
  double largest_modulus;  // of the spectrum
  std::span<const double> omegas;
  std::span<const double> residuals;
};

// Plain sentences, one per finding: run-off parameters, then the other
// parameter checks in parameter order, the residual check last.
std::vector<std::string> fit_warnings(const OutcomeFacts& facts);

// The line a fit from a single start (a trained guess or placeholder values)
// adds to its warnings when it looks like a poor minimum: a free parameter at
// a bound, or residuals that are not white. The search from several starts,
// the data-driven estimate among them, reaches the best minimum far more
// often on such spectra.
inline constexpr const char* kSearchHint =
    "This fit ran from a single start; a search from several starts may find a better "
    "minimum: fit again with starts=\"auto\".";

// Appends kSearchHint to `outcome.warnings` when the outcome looks like a
// poor minimum (see above); `omegas` are the spectrum's angular frequencies.
void add_search_hint(FitOutcome& outcome, std::span<const double> omegas);

}  // namespace korvex
