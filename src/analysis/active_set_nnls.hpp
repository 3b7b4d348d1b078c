#pragma once
// Non-negative least squares on the normal equations (Lawson-Hanson active
// set, in the "fast NNLS" form of Bro and de Jong): the small dense solve
// behind the starting-value estimate's relaxation-time distribution.
#include <cstddef>
#include <span>
#include <vector>

namespace korvex {

// Minimises 1/2 x^T G x - h^T x over x >= 0, with G (n x n, row-major,
// symmetric positive definite, e.g. A^T A + ridge) and h (= A^T b). Stops after
// `max_iterations` outer steps; the result is always feasible.
std::vector<double> nnls_normal_equations(std::span<const double> gram, std::span<const double> h,
                                          std::size_t max_iterations);

}  // namespace korvex
