#pragma once
// The checks a measured spectrum passes before fit() or guess() does any
// work with it. Evaluation methods (impedance, residuals, jacobian) do not
// use them: they propagate NaN instead.
#include "python/convert.hpp"

namespace korvex::py {

// Raises ValueError naming the first bad point and its value: a NaN or
// infinite frequency or impedance, a frequency <= 0, or an impedance of zero
// (its own message when every point is zero). Points are named by position in the arguments, or by
// row of the dataframe the spectrum came from.
void check_measured_spectrum(const SpectrumData& spectrum);

}  // namespace korvex::py
