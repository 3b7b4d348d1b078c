#include "common/nnls.hpp"

#include <limits>
#include <vector>

#include "common/cancel.hpp"

namespace korvex {
namespace {

// Solves G_PP s_P = h_P for the passive indices; the others stay zero.
Eigen::VectorXd passive_solve(const Eigen::MatrixXd& g, const Eigen::VectorXd& h,
                              const std::vector<bool>& passive) {
  std::vector<Eigen::Index> idx;
  for (Eigen::Index j = 0; j < g.rows(); ++j) {
    if (passive[j]) idx.push_back(j);
  }
  const auto p = static_cast<Eigen::Index>(idx.size());
  Eigen::MatrixXd gp(p, p);
  Eigen::VectorXd hp(p);
  for (Eigen::Index a = 0; a < p; ++a) {
    hp[a] = h[idx[a]];
    for (Eigen::Index b = 0; b < p; ++b) gp(a, b) = g(idx[a], idx[b]);
  }
  const Eigen::VectorXd sp = gp.ldlt().solve(hp);
  Eigen::VectorXd s = Eigen::VectorXd::Zero(g.rows());
  for (Eigen::Index a = 0; a < p; ++a) s[idx[a]] = sp[a];
  return s;
}

}  // namespace

Eigen::VectorXd nnls_normal(const Eigen::MatrixXd& g, const Eigen::VectorXd& h) {
  const Eigen::Index n = g.rows();
  Eigen::VectorXd x = Eigen::VectorXd::Zero(n);
  std::vector<bool> passive(n, false);
  const double tol = 1e-12 * std::max(h.cwiseAbs().maxCoeff(), 1e-300) * static_cast<double>(n);
  // Each outer step frees one variable; 3n bounds the work on degenerate input.
  for (Eigen::Index outer = 0; outer < 3 * n; ++outer) {
    throw_if_cancelled();
    const Eigen::VectorXd w = h - g * x;
    Eigen::Index best = -1;
    double best_w = tol;
    for (Eigen::Index j = 0; j < n; ++j) {
      if (!passive[j] && w[j] > best_w) {
        best_w = w[j];
        best = j;
      }
    }
    if (best < 0) break;
    passive[best] = true;
    Eigen::VectorXd s = passive_solve(g, h, passive);
    // Step back towards x until no passive variable is negative.
    for (Eigen::Index inner = 0; inner < n; ++inner) {
      double alpha = std::numeric_limits<double>::infinity();
      for (Eigen::Index j = 0; j < n; ++j) {
        if (passive[j] && s[j] <= 0.0) alpha = std::min(alpha, x[j] / (x[j] - s[j]));
      }
      if (alpha == std::numeric_limits<double>::infinity()) break;
      x += alpha * (s - x);
      for (Eigen::Index j = 0; j < n; ++j) {
        if (passive[j] && x[j] <= 0.0) {
          passive[j] = false;
          x[j] = 0.0;
        }
      }
      s = passive_solve(g, h, passive);
    }
    x = s;
  }
  return x;
}

}  // namespace korvex
