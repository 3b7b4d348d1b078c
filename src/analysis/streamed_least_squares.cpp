#include "analysis/streamed_least_squares.hpp"

#include <algorithm>
#include <cassert>

namespace korvex::analysis {

StreamedLeastSquares::StreamedLeastSquares(Eigen::Index unknowns)
    : unknowns_(unknowns), r_(0, unknowns + 1) {}

void StreamedLeastSquares::add(const Eigen::MatrixXd& rows) {
  assert(rows.cols() == unknowns_ + 1);
  Eigen::MatrixXd stacked(r_.rows() + rows.rows(), unknowns_ + 1);
  stacked << r_, rows;
  const Eigen::HouseholderQR<Eigen::MatrixXd> qr(stacked);
  const Eigen::Index kept = std::min(stacked.rows(), unknowns_ + 1);
  r_ = qr.matrixQR().topRows(kept).triangularView<Eigen::Upper>();
}

Eigen::VectorXd StreamedLeastSquares::solve() const {
  return r_.leftCols(unknowns_).completeOrthogonalDecomposition().solve(r_.col(unknowns_));
}

}  // namespace korvex::analysis
