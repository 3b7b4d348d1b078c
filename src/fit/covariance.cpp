#include "fit/covariance.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace korvex {
namespace {

constexpr std::size_t kClosedFormSize = 4;

// Laplace expansion along the first row; only used up to 4 x 4, where it
// costs at most a few dozen products.
double laplace_determinant(const std::vector<double>& m, std::size_t n) {
  if (n == 1) return m[0];
  if (n == 2) return m[0] * m[3] - m[1] * m[2];
  double det = 0.0;
  std::vector<double> minor((n - 1) * (n - 1));
  for (std::size_t c = 0; c < n; ++c) {
    std::size_t k = 0;
    for (std::size_t r = 1; r < n; ++r) {
      for (std::size_t cc = 0; cc < n; ++cc) {
        if (cc != c) minor[k++] = m[r * n + cc];
      }
    }
    const double term = m[c] * laplace_determinant(minor, n - 1);
    det += (c % 2 == 0) ? term : -term;
  }
  return det;
}

// The matrix without row and column j.
std::vector<double> principal_minor(std::span<const double> a, std::size_t n, std::size_t j) {
  std::vector<double> out;
  out.reserve((n - 1) * (n - 1));
  for (std::size_t r = 0; r < n; ++r) {
    if (r == j) continue;
    for (std::size_t c = 0; c < n; ++c) {
      if (c != j) out.push_back(a[r * n + c]);
    }
  }
  return out;
}

std::optional<std::vector<double>> adjugate_diagonal(std::span<const double> a, std::size_t n) {
  const double det = laplace_determinant(std::vector<double>(a.begin(), a.end()), n);
  if (det == 0.0) return std::nullopt;
  std::vector<double> diag(n);
  if (n == 1) {
    diag[0] = 1.0 / det;
    return diag;
  }
  // (A^-1)_jj = C_jj / det, and the diagonal cofactor C_jj carries sign +1.
  for (std::size_t j = 0; j < n; ++j) {
    diag[j] = laplace_determinant(principal_minor(a, n, j), n - 1) / det;
  }
  return diag;
}

// A^-1 (row-major) by LU decomposition with partial pivoting; none at an
// exactly zero pivot.
std::optional<std::vector<double>> lu_inverse(std::span<const double> a, std::size_t n) {
  std::vector<double> lu(a.begin(), a.end());
  std::vector<std::size_t> perm(n);
  for (std::size_t i = 0; i < n; ++i) perm[i] = i;
  for (std::size_t k = 0; k < n; ++k) {
    std::size_t pivot = k;
    double largest = std::fabs(lu[k * n + k]);
    for (std::size_t r = k + 1; r < n; ++r) {
      const double v = std::fabs(lu[r * n + k]);
      if (v > largest) {
        largest = v;
        pivot = r;
      }
    }
    if (lu[pivot * n + k] == 0.0) return std::nullopt;
    if (pivot != k) {
      for (std::size_t c = 0; c < n; ++c) std::swap(lu[k * n + c], lu[pivot * n + c]);
      std::swap(perm[k], perm[pivot]);
    }
    for (std::size_t r = k + 1; r < n; ++r) {
      const double factor = lu[r * n + k] / lu[k * n + k];
      lu[r * n + k] = factor;
      for (std::size_t c = k + 1; c < n; ++c) lu[r * n + c] -= factor * lu[k * n + c];
    }
  }
  // Column j of the inverse solves A x = e_j.
  std::vector<double> inv(n * n), x(n);
  for (std::size_t j = 0; j < n; ++j) {
    for (std::size_t r = 0; r < n; ++r) {
      double v = perm[r] == j ? 1.0 : 0.0;
      for (std::size_t c = 0; c < r; ++c) v -= lu[r * n + c] * x[c];
      x[r] = v;
    }
    for (std::size_t r = n; r-- > 0;) {
      double v = x[r];
      for (std::size_t c = r + 1; c < n; ++c) v -= lu[r * n + c] * x[c];
      x[r] = v / lu[r * n + r];
    }
    for (std::size_t r = 0; r < n; ++r) inv[r * n + j] = x[r];
  }
  return inv;
}

}  // namespace

std::vector<double> normal_matrix(const std::vector<std::vector<double>>& columns) {
  const std::size_t p = columns.size();
  std::vector<double> a(p * p);
  for (std::size_t i = 0; i < p; ++i) {
    for (std::size_t j = i; j < p; ++j) {
      const std::size_t m = std::min(columns[i].size(), columns[j].size());
      double sum = 0.0;
      for (std::size_t k = 0; k < m; ++k) sum += columns[i][k] * columns[j][k];
      a[i * p + j] = sum;
      a[j * p + i] = sum;
    }
  }
  return a;
}

std::optional<std::vector<double>> inverse_diagonal(std::span<const double> a, std::size_t n) {
  if (n == 0) return std::vector<double>{};
  if (n <= kClosedFormSize) return adjugate_diagonal(a, n);
  const auto inv = lu_inverse(a, n);
  if (!inv) return std::nullopt;
  std::vector<double> diag(n);
  for (std::size_t j = 0; j < n; ++j) diag[j] = (*inv)[j * n + j];
  return diag;
}

std::vector<double> correlation(std::span<const double> c, std::size_t n) {
  std::vector<double> out(n * n);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t j = 0; j < n; ++j) {
      const double scale = std::sqrt(c[i * n + i] * c[j * n + j]);
      out[i * n + j] = scale > 0.0 ? c[i * n + j] / scale : std::nan("");
    }
  }
  return out;
}

std::optional<std::vector<double>> inverse(std::span<const double> a, std::size_t n) {
  if (n == 0) return std::vector<double>{};
  return lu_inverse(a, n);
}

}  // namespace korvex
