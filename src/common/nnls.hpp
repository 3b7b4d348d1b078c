#pragma once
// Non-negative least squares in normal-equation form: minimise
// 1/2 x^T G x - h^T x subject to x >= 0, for a symmetric positive definite G.
// Eigen 3.4 (the Debian release) has no NNLS module, so this is the active-set
// method of Lawson and Hanson as reorganised by Bro and de Jong (1997, "FNNLS"),
// which works on G = A^T A and h = A^T b directly.
#include <Eigen/Dense>

namespace korvex {

// Throws Cancelled when the calling thread's flag (common/cancel.hpp) is set.
Eigen::VectorXd nnls_normal(const Eigen::MatrixXd& g, const Eigen::VectorXd& h);

}  // namespace korvex
