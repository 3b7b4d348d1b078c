#include "analysis/kramers_kronig_choice.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvex::analysis {
namespace {

// 1.4826 turns a median absolute deviation into a normal standard deviation;
// the difference of two independent residuals has sqrt(2) times their spread.
constexpr double kMadToSigma = 1.4826 / 1.4142135623730951;
// How many times the noise variance each added element must remove from
// chi-square to be worth it: about the 95 % point of F(1, many).
constexpr double kFRatio = 4.0;

double median(std::vector<double>& v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  double upper = v[mid];
  if (v.size() % 2 == 1) return upper;
  return 0.5 * (upper + *std::max_element(v.begin(), v.begin() + mid));
}

// Reorders and overwrites `diffs`.
double robust_sigma(std::vector<double>& diffs) {
  if (diffs.empty()) return 0.0;
  const double center = median(diffs);
  for (double& d : diffs) d = std::fabs(d - center);
  return kMadToSigma * median(diffs);
}

// Point indices by increasing frequency.
std::vector<std::size_t> by_frequency(std::span<const double> frequencies) {
  std::vector<std::size_t> order(frequencies.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return frequencies[a] < frequencies[b]; });
  return order;
}

// Neighbour differences of both parts for the sorted points [from, to].
std::vector<double> differences(const std::vector<std::size_t>& order, std::size_t from,
                                std::size_t to, std::span<const double> re,
                                std::span<const double> im) {
  std::vector<double> diffs;
  for (std::size_t i = from + 1; i <= to; ++i) {
    diffs.push_back(re[order[i]] - re[order[i - 1]]);
    diffs.push_back(im[order[i]] - im[order[i - 1]]);
  }
  return diffs;
}

}  // namespace

std::size_t kk_lower_limit(std::span<const double> log_chi_square) {
  const auto n = static_cast<Eigen::Index>(log_chi_square.size());
  if (n < 4) return 1;
  const Eigen::VectorXd y = Eigen::Map<const Eigen::VectorXd>(log_chi_square.data(), n);
  std::size_t best_k = 1;
  double best = INFINITY;
  for (Eigen::Index k = 2; k + 1 < n; ++k) {
    // log chi-square ~ a + b M + c max(0, M - k): one slope up to k, another after.
    Eigen::MatrixXd a(n, 3);
    for (Eigen::Index i = 0; i < n; ++i) {
      const auto m = static_cast<double>(i + 1);
      a(i, 0) = 1.0;
      a(i, 1) = m;
      a(i, 2) = std::max(0.0, m - static_cast<double>(k));
    }
    const Eigen::VectorXd x = a.colPivHouseholderQr().solve(y);
    const double sse = (y - a * x).squaredNorm();
    if (sse < best) {
      best = sse;
      best_k = static_cast<std::size_t>(k);
    }
  }
  return best_k;
}

std::size_t kk_residual_choice(std::span<const double> chi_square, std::size_t lower,
                               std::size_t residual_count, std::size_t fixed) {
  const std::size_t n = chi_square.size();
  // chi-square of M' less what kFRatio noise variances per element would
  // remove from M on: M is worth leaving when some M' stays below chi(M).
  auto noise_variance = [&](std::size_t m) {
    const std::size_t used = std::min(residual_count - 1, m + fixed);
    return chi_square[m - 1] / static_cast<double>(residual_count - used);
  };
  for (std::size_t m = std::max<std::size_t>(lower, 1); m < n; ++m) {
    bool better = false;
    for (std::size_t later = m + 1; later <= n && !better; ++later) {
      const double worth = kFRatio * static_cast<double>(later - m) * noise_variance(later);
      better = chi_square[m - 1] - chi_square[later - 1] > worth;
    }
    if (!better) return m;
  }
  return n;
}

double kk_scatter_noise(std::span<const double> frequencies, std::span<const double> residuals_real,
                        std::span<const double> residuals_imag) {
  const auto order = by_frequency(frequencies);
  auto diffs = differences(order, 0, order.size() - 1, residuals_real, residuals_imag);
  return robust_sigma(diffs);
}

std::vector<double> kk_local_noise(std::span<const double> frequencies,
                                   std::span<const double> residuals_real,
                                   std::span<const double> residuals_imag, std::size_t half_width) {
  const std::size_t n = frequencies.size();
  const auto order = by_frequency(frequencies);
  std::vector<double> noise(n);
  const std::size_t width = std::min(2 * half_width, n - 1);
  // Both parts' differences of each neighbour pair, in frequency order.
  const auto diffs = differences(order, 0, n - 1, residuals_real, residuals_imag);
  std::vector<double> window;
  for (std::size_t j = 0; j < n; ++j) {
    // A window of the same width everywhere, shifted inwards at the ends.
    const std::size_t from = std::min(j - std::min(j, half_width), n - 1 - width);
    const auto first = diffs.begin() + static_cast<std::ptrdiff_t>(2 * from);
    window.assign(first, first + static_cast<std::ptrdiff_t>(2 * width));
    noise[order[j]] = robust_sigma(window);
  }
  return noise;
}

}  // namespace korvex::analysis
