#pragma once
// How many RC elements the Kramers-Kronig test uses, chosen from the
// residuals, and how large a residual the noise explains at each point.
//
// The mu criterion stops at the first M whose fitted resistances change
// sign, which on real spectra often happens while the fit is still far
// from the data (M = 2 or 4, residuals of tens of percent). Here M is
// chosen from the pseudo chi-square of every M instead (after Schönleber
// 2014 and Plank et al. 2022): a lower limit where log chi-square stops
// falling fast, then the first M from there that no larger M betters by
// a factor of two.
#include <cstddef>
#include <span>
#include <vector>

namespace korvex::analysis {

// The elbow of log10 chi-square against M = 1, 2, ...: the break of the
// best two-segment (hinged) straight-line fit. 1 for fewer than four values.
std::size_t kk_lower_limit(std::span<const double> log_chi_square);

// The first M >= lower whose chi-square no larger M lowers by more than a
// factor of two (log_chi_square[m - 1] belongs to M = m).
std::size_t kk_residual_choice(std::span<const double> log_chi_square, std::size_t lower);

// Robust standard deviation of the residuals' point-to-point scatter
// (neighbours in frequency): random noise changes sign from point to point,
// a systematic misfit (drift, non-linearity) is smooth and does not enter.
// kk_scatter_noise takes every point; kk_local_noise, for each point, the
// differences among its `half_width` neighbours on each side, because noise
// often grows towards one end of a spectrum. The residuals are in the
// order of `frequencies`.
double kk_scatter_noise(std::span<const double> frequencies,
                        std::span<const double> residuals_real,
                        std::span<const double> residuals_imag);
std::vector<double> kk_local_noise(std::span<const double> frequencies,
                                   std::span<const double> residuals_real,
                                   std::span<const double> residuals_imag, std::size_t half_width);

}  // namespace korvex::analysis
