#pragma once
// How many RC elements the Kramers-Kronig test uses, chosen from the
// residuals, and how large a residual the noise explains at each point.
//
// The mu criterion stops at the first M whose fitted resistances change
// sign, which on real spectra often happens while the fit is still far
// from the data (M = 2 or 4, residuals of tens of percent). Here M is
// chosen from the pseudo chi-square of every M instead (after Plank et al.
// 2022): a lower limit where log chi-square stops falling fast, then the
// first M from there that no larger M betters by more than the noise
// would (an F test: each added element lowers chi-square by about the
// noise variance once only noise is left).
#include <cstddef>
#include <span>
#include <vector>

namespace korvex::analysis {

// The elbow of log10 chi-square against M = 1, 2, ...: the break of the
// best two-segment (hinged) straight-line fit. 1 for fewer than four values.
std::size_t kk_lower_limit(std::span<const double> log_chi_square);

// The first M >= lower that no larger M' betters by more than
// kFRatio * (M' - M) times the noise variance left at M' (chi_square[m - 1]
// belongs to M = m; `residual_count` residuals, `fixed` parameters besides
// the M resistances).
std::size_t kk_residual_choice(std::span<const double> chi_square, std::size_t lower,
                               std::size_t residual_count, std::size_t fixed);

// Robust standard deviation of the residuals' point-to-point scatter
// (neighbours in frequency): random noise changes sign from point to point,
// a systematic misfit (drift, non-linearity) is smooth and does not enter.
// kk_scatter_noise takes every point; kk_local_noise, for each point, the
// differences among its `half_width` neighbours on each side, because noise
// often grows towards one end of a spectrum. The residuals are in the
// order of `frequencies`.
double kk_scatter_noise(std::span<const double> frequencies, std::span<const double> residuals_real,
                        std::span<const double> residuals_imag);
std::vector<double> kk_local_noise(std::span<const double> frequencies,
                                   std::span<const double> residuals_real,
                                   std::span<const double> residuals_imag, std::size_t half_width);

}  // namespace korvex::analysis
