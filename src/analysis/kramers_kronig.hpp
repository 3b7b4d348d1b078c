#pragma once
// The linear Kramers-Kronig test (Lin-KK, Schönleber et al. 2014): a series
// resistance, M RC elements with fixed, log-spaced time constants, and
// optionally a series inductance and capacitance, fitted by linear least
// squares weighted by 1/|Z|. M is chosen from the residuals (see
// kramers_kronig_choice.hpp) or, as impedance.py's linKK does, grows from 1
// until the mass ratio of negative to positive resistances, mu, falls below c.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/cancel.hpp"
#include "elements/complex_math.hpp"

namespace korvex::analysis {

// Which part of the spectrum the resistances are fitted to.
enum class KKFit { Complex, Real, Imaginary };

// How M is chosen: where the residuals stop improving, or linKK's mu < c.
enum class KKChoice { Residuals, LinKK };

struct KKSettings {
  KKChoice choice = KKChoice::LinKK;
  std::optional<double> c = 0.85;    // LinKK: the first M with mu < c; none: M = max_m (either)
  std::optional<std::size_t> max_m;  // largest M, capped at N; none: min(50, N)
  bool add_capacitance = false;      // series C for spectra without a low-frequency intercept
  bool add_inductance = true;        // series L for the wiring's inductance
  KKFit fit = KKFit::Complex;
  double floor = 0.005;  // smallest validity threshold on |residual| (relative to |Z|)
  const CancelFlag* cancel = nullptr;  // once set, the test throws Cancelled
};

struct KKResult {
  KKChoice choice = KKChoice::LinKK;
  std::size_t m = 0;
  std::size_t m_lower = 0;              // Residuals: the lower limit of M (0 otherwise)
  double mu = 0.0;                      // 1 - sum|R_k<0| / sum|R_k>=0|
  std::vector<double> tau;              // s, M time constants, shortest first
  std::vector<double> r;                // ohm, R_k of each RC element
  double series_resistance = 0;         // ohm
  double inductance = 0;                // H (0 when not fitted)
  double inverse_capacitance = 0;       // 1/F (0 when not fitted)
  std::vector<Complex> z_fit;           // ohm, the fitted circuit at each frequency
  std::vector<double> residuals_real;   // (Re Z - Re Z_fit) / |Z|
  std::vector<double> residuals_imag;   // (Im Z - Im Z_fit) / |Z|
  double pseudo_chi_square = 0;         // sum of both residuals squared
  double noise = 0;                     // robust std. dev. of the residuals' point-to-point scatter
  double threshold = 0;                 // max(4 * noise, floor)
  std::vector<double> local_threshold;  // max(min(4 * noise around the point, 2 %), threshold)
  bool valid = false;                   // every |residual| <= its local threshold
};

using KKResultOr = std::variant<KKResult, std::string>;

// Throws Cancelled when `settings.cancel` (or the calling thread's flag, see
// common/cancel.hpp) is set while the test runs.
KKResultOr kramers_kronig(std::span<const double> frequencies, std::span<const Complex> impedances,
                          const KKSettings& settings);

// The M log-spaced time constants between 1/(2 pi f_max) and 1/(2 pi f_min).
std::vector<double> kk_time_constants(double f_min, double f_max, std::size_t m);

}  // namespace korvex::analysis
