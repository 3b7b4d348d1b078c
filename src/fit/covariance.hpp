#pragma once
// The inverse of the normal matrix J^T J, from which the standard errors and
// the covariance of a fit are read.
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace korvex {

// A = J^T J for J stored as `columns` (P columns of equal length).
std::vector<double> normal_matrix(const std::vector<std::vector<double>>& columns);

// Diagonal of A^-1 for the n x n row-major matrix `a`; none when A is
// singular. Up to 4 x 4 the inverse is the adjugate over the determinant and
// singular means an exactly zero determinant; larger matrices go through an
// LU decomposition with partial pivoting and singular means an exactly zero
// pivot.
std::optional<std::vector<double>> inverse_diagonal(std::span<const double> a, std::size_t n);

// The correlation matrix of the n x n covariance `c`: c_ij / sqrt(c_ii c_jj),
// NaN in the rows and columns of parameters without variance (as NumPy's
// corrcoef).
std::vector<double> correlation(std::span<const double> c, std::size_t n);

// The whole A^-1 (row-major) by the LU route; none when A is singular.
std::optional<std::vector<double>> inverse(std::span<const double> a, std::size_t n);

}  // namespace korvex
