#pragma once
// Least squares min |A x - b| for a tall A given a block of rows at a time.
// Each block is folded into the triangular factor R of the QR decomposition
// of [A b] (Householder QR of R stacked on the block), so memory does not
// grow with the rows and a computation can stop between blocks. The answer
// is the minimum-norm one when columns are dependent, as a pseudo-inverse
// gives: [A b] and R have the same Gram matrix, hence the same normal
// equations, and a complete orthogonal decomposition of R solves them.
#include <Eigen/Dense>

namespace korvex::analysis {

class StreamedLeastSquares {
 public:
  explicit StreamedLeastSquares(Eigen::Index unknowns);

  // Folds in rows of [A b]: `unknowns` columns of A, then b.
  void add(const Eigen::MatrixXd& rows);

  Eigen::VectorXd solve() const;

 private:
  Eigen::Index unknowns_;
  Eigen::MatrixXd r_;  // upper trapezoidal, at most unknowns + 1 rows
};

}  // namespace korvex::analysis
