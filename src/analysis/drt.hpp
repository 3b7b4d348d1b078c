#pragma once
// The distribution of relaxation times (DRT): Z(w) = R_inf + j w L +
// integral of gamma(ln tau) / (1 + j w tau) d ln tau, with gamma a sum of
// radial basis functions centred on log-spaced time constants (Wan et al.
// 2015, the pyDRTtools model). The coefficients come from Tikhonov-regularised
// least squares on the real and imaginary parts weighted by 1/|Z|, with a
// penalty on the first derivative of gamma, non-negative by default.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/cancel.hpp"
#include "elements/complex_math.hpp"

namespace korvex::analysis {

enum class DRTBasis { Gaussian, InverseQuadratic };

struct DRTSettings {
  std::optional<double> lam;  // regularisation weight; none: generalised cross-validation
  DRTBasis basis = DRTBasis::Gaussian;
  bool nonneg = true;      // gamma >= 0, R_inf >= 0, L >= 0
  bool inductance = true;  // fit a series inductance
  double fwhm = 2.0;  // basis full width at half maximum, in collocation spacings, <= kDRTMaxFwhm
  // Up to this many points the design matrix is kept (exact residuals, 1.6 KB
  // a point; its product with itself is one uninterruptible step of ~0.1 s);
  // beyond, only the normal equations, so memory stays bounded.
  std::size_t max_stored_points = 16384;
  const CancelFlag* cancel = nullptr;  // once set, the DRT throws Cancelled
};

struct DRTPeak {
  double tau = 0;    // s, centroid (in ln tau) of the peak above half its maximum
  double r = 0;      // ohm, area of gamma between the neighbouring minima
  double width = 0;  // decades of tau, full width at half maximum
};

struct DRTResult {
  std::vector<double> tau;             // s, the output grid (50 points per decade)
  std::vector<double> gamma;           // ohm per unit ln tau, on that grid
  double r_inf = 0;                    // ohm
  double l = 0;                        // H
  double lam = 0;                      // the weight used
  std::vector<double> centres;         // s, the basis centres (one per point, at most 100)
  std::vector<double> coefficients;    // ohm, the basis weights
  std::vector<Complex> z_fit;          // ohm, the model at each frequency
  std::vector<double> residuals_real;  // (Re Z - Re Z_fit) / |Z|
  std::vector<double> residuals_imag;  // (Im Z - Im Z_fit) / |Z|
  std::vector<DRTPeak> peaks;          // by increasing tau
};

using DRTResultOr = std::variant<DRTResult, std::string>;

// Throws Cancelled when `settings.cancel` (or the calling thread's flag, see
// common/cancel.hpp) is set while it runs.
DRTResultOr drt(std::span<const double> frequencies, std::span<const Complex> impedances,
                const DRTSettings& settings);

// Maxima of gamma that rise at least 5 % of the largest value above their
// bases, on a log-spaced tau grid; each owns the area up to the lowest point
// between it and its neighbours.
std::vector<DRTPeak> drt_peaks(std::span<const double> tau, std::span<const double> gamma);

inline constexpr std::size_t kDRTMinPoints = 5;
// Widest basis function, in collocation spacings: its support, sampled on
// the quadrature grid, grows with the width (and the kernel memory with it).
inline constexpr double kDRTMaxFwhm = 20.0;

}  // namespace korvex::analysis
