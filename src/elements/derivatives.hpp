#pragma once
// Analytic derivatives of the element formulas with respect to their fields,
// for the analytic Jacobian of the fast fit engine. They sit beside the
// formulas in element.cpp rather than inside them so that the evaluation path
// stays exactly as it is, and share their powers of j*omega (jw_power.hpp); a
// test checks every kind against central differences of kind_impedance.
#include "elements/element.hpp"

namespace korvex {

// dZ/dp_k of a `kind` element with field values `p`, for each of its
// field_count(kind) fields, into dz[0 .. field_count). Returns Z as well, so
// the circuit rule needs no second evaluation.
Complex kind_impedance_gradient(Kind kind, const double* p, const FrequencyTerms& w, Complex* dz);

// The same at the n frequencies w: Z into z[i], dZ/dp_k into
// dz[k * stride + i]. The powers of j*omega take their exp form, with the
// angle terms and logarithms worked out once per call; their exact shortcuts
// (exponent 1, 0.5, 0) and edge cases (zero, negative or non-finite values,
// omega 0) take cpow and the principal logarithm, as the formulas do.
void kind_impedance_gradient_block(Kind kind, const double* p, const FrequencyTerms* w,
                                   std::size_t n, Complex* z, Complex* dz, std::size_t stride);

}  // namespace korvex
