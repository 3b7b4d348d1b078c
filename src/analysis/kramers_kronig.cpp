#include "analysis/kramers_kronig.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numeric>

#include "analysis/spectrum_check.hpp"
#include "circuit/impedance.hpp"

namespace korvex::analysis {
namespace {

constexpr std::size_t kDefaultMaxM = 50;
// 1.4826 turns a median absolute deviation into a normal standard deviation;
// the difference of two independent residuals has sqrt(2) times their spread.
constexpr double kMadToSigma = 1.4826 / 1.4142135623730951;
constexpr double kThresholdInNoise = 4.0;

// Least squares with the minimum-norm answer when columns are dependent,
// as a pseudo-inverse gives.
Eigen::VectorXd least_squares(const Eigen::MatrixXd& a, const Eigen::VectorXd& b) {
  return a.completeOrthogonalDecomposition().solve(b);
}

struct Problem {
  std::span<const double> omegas;
  std::span<const Complex> impedances;
  std::vector<double> modulus;
  const KKSettings& settings;
};

// 1/(1 + j w tau) of a unit RC element.
Complex unit_rc(double omega, double tau) {
  const double wt = omega * tau;
  const double den = 1.0 + wt * wt;
  return {1.0 / den, -wt / den};
}

// Fills r, series_resistance, inductance, inverse_capacitance for M = tau.size().
void solve(const Problem& p, KKResult& out) {
  const std::size_t n = p.omegas.size();
  const std::size_t m = out.tau.size();
  const bool cap = p.settings.add_capacitance;
  const bool ind = p.settings.add_inductance;
  // Weighted columns of the model's real and imaginary parts.
  Eigen::MatrixXd rc_re(n, m), rc_im(n, m);
  Eigen::VectorXd z_re(n), z_im(n), cap_im(n), ind_im(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double w = p.omegas[i];
    const double mod = p.modulus[i];
    for (std::size_t k = 0; k < m; ++k) {
      const Complex u = unit_rc(w, out.tau[k]);
      rc_re(i, k) = u.re / mod;
      rc_im(i, k) = u.im / mod;
    }
    z_re[i] = p.impedances[i].re / mod;
    z_im[i] = p.impedances[i].im / mod;
    cap_im[i] = -1.0 / (w * mod);
    ind_im[i] = w / mod;
  }
  const Eigen::Index extra = (cap ? 1 : 0) + (ind ? 1 : 0);
  // Imaginary columns of the series C and L, in that order.
  Eigen::MatrixXd series_im(n, extra);
  if (cap) series_im.col(0) = cap_im;
  if (ind) series_im.col(extra - 1) = ind_im;
  auto store_series = [&](const Eigen::VectorXd& coef, Eigen::Index at) {
    if (cap) out.inverse_capacitance = coef[at];
    if (ind) out.inductance = coef[at + extra - 1];
  };
  out.r.assign(m, 0.0);
  out.inductance = 0.0;
  out.inverse_capacitance = 0.0;

  switch (p.settings.fit) {
    case KKFit::Complex: {
      const Eigen::Index cols = 1 + m + extra;
      Eigen::MatrixXd a = Eigen::MatrixXd::Zero(2 * n, cols);
      a.block(0, 0, n, 1) = (1.0 / Eigen::Map<const Eigen::ArrayXd>(p.modulus.data(), n)).matrix();
      a.block(0, 1, n, m) = rc_re;
      a.block(n, 1, n, m) = rc_im;
      a.block(n, 1 + m, n, extra) = series_im;
      Eigen::VectorXd b(2 * n);
      b << z_re, z_im;
      const Eigen::VectorXd x = least_squares(a, b);
      out.series_resistance = x[0];
      for (std::size_t k = 0; k < m; ++k) out.r[k] = x[1 + k];
      store_series(x, 1 + m);
      break;
    }
    case KKFit::Real: {
      // Resistances from the real part; the series C and L, which have no
      // real part, from what the RC elements leave of the imaginary part.
      Eigen::MatrixXd a(n, 1 + m);
      a.col(0) = (1.0 / Eigen::Map<const Eigen::ArrayXd>(p.modulus.data(), n)).matrix();
      a.rightCols(m) = rc_re;
      const Eigen::VectorXd x = least_squares(a, z_re);
      out.series_resistance = x[0];
      for (std::size_t k = 0; k < m; ++k) out.r[k] = x[1 + k];
      if (extra > 0) {
        const Eigen::VectorXd rest = z_im - rc_im * x.tail(m);
        store_series(least_squares(series_im, rest), 0);
      }
      break;
    }
    case KKFit::Imaginary: {
      Eigen::MatrixXd a(n, m + extra);
      a.leftCols(m) = rc_im;
      a.rightCols(extra) = series_im;
      const Eigen::VectorXd x = least_squares(a, z_im);
      for (std::size_t k = 0; k < m; ++k) out.r[k] = x[k];
      store_series(x, m);
      // The series resistance as Boukamp (1995) eq. 7: the 1/|Z|^2-weighted
      // mean of what the RC elements leave of the real part.
      const Eigen::VectorXd fit_re = rc_re * x.head(m);
      double num = 0.0, den = 0.0;
      for (std::size_t i = 0; i < n; ++i) {
        const double ws = 1.0 / (p.modulus[i] * p.modulus[i]);
        num += ws * (p.impedances[i].re - fit_re[i] * p.modulus[i]);
        den += ws;
      }
      out.series_resistance = num / den;
      break;
    }
  }
}

double mass_ratio_mu(const std::vector<double>& r) {
  double negative = 0.0, positive = 0.0;
  for (double v : r) (v < 0.0 ? negative : positive) += std::fabs(v);
  return 1.0 - negative / positive;
}

double median(std::vector<double>& v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + mid, v.end());
  double upper = v[mid];
  if (v.size() % 2 == 1) return upper;
  return 0.5 * (upper + *std::max_element(v.begin(), v.begin() + mid));
}

// Random noise changes sign from point to point; a systematic misfit (drift,
// non-linearity) is smooth in frequency. The spread of neighbour differences
// measures the first without the second.
double scatter_noise(std::span<const double> frequencies, const KKResult& r) {
  std::vector<std::size_t> order(frequencies.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return frequencies[a] < frequencies[b]; });
  std::vector<double> diffs;
  for (std::size_t i = 1; i < order.size(); ++i) {
    diffs.push_back(r.residuals_real[order[i]] - r.residuals_real[order[i - 1]]);
    diffs.push_back(r.residuals_imag[order[i]] - r.residuals_imag[order[i - 1]]);
  }
  const double center = median(diffs);
  for (double& d : diffs) d = std::fabs(d - center);
  return kMadToSigma * median(diffs);
}

}  // namespace

std::vector<double> kk_time_constants(double f_min, double f_max, std::size_t m) {
  const double t_max = 1.0 / (kTwoPi * f_min);
  const double t_min = 1.0 / (kTwoPi * f_max);
  std::vector<double> tau(m);
  if (m == 0) return tau;
  tau.front() = t_min;
  tau.back() = t_max;
  const double span = std::log10(t_max / t_min);
  for (std::size_t k = 1; k + 1 < m; ++k) {
    tau[k] = std::pow(
        10.0, std::log10(t_min) + static_cast<double>(k) / static_cast<double>(m - 1) * span);
  }
  return tau;
}

KKResultOr kramers_kronig(std::span<const double> frequencies, std::span<const Complex> impedances,
                          const KKSettings& settings) {
  if (auto error = check_spectrum(frequencies, impedances, 3, "the Kramers-Kronig test")) {
    return *error;
  }
  const std::size_t n = frequencies.size();
  const std::size_t max_m = settings.max_m.value_or(std::min(kDefaultMaxM, n));
  if (max_m < 1 || max_m > n) {
    return "max_m must be between 1 and the number of points (" + std::to_string(n) + "), got " +
           std::to_string(max_m);
  }
  if (settings.c && !(*settings.c >= 0.0 && *settings.c <= 1.0)) {
    return "c must be between 0 and 1";
  }
  if (!(settings.floor >= 0.0)) return "floor must be non-negative";

  std::vector<double> omegas(n);
  Problem p{omegas, impedances, std::vector<double>(n), settings};
  for (std::size_t i = 0; i < n; ++i) {
    omegas[i] = kTwoPi * frequencies[i];
    p.modulus[i] = std::hypot(impedances[i].re, impedances[i].im);
  }
  const auto [f_min, f_max] = std::minmax_element(frequencies.begin(), frequencies.end());

  KKResult out;
  // mu starts at 1 so that the first M is always tried, and a NaN mu
  // (no resistance at all) stops the search.
  out.m = settings.c ? 0 : max_m - 1;
  out.mu = 1.0;
  do {
    ++out.m;
    out.tau = kk_time_constants(*f_min, *f_max, out.m);
    solve(p, out);
    out.mu = mass_ratio_mu(out.r);
  } while (settings.c && out.mu > *settings.c && out.m < max_m);

  out.z_fit.resize(n);
  out.residuals_real.resize(n);
  out.residuals_imag.resize(n);
  out.pseudo_chi_square = 0.0;
  double worst = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double w = omegas[i];
    Complex z{out.series_resistance, w * out.inductance - out.inverse_capacitance / w};
    for (std::size_t k = 0; k < out.m; ++k) z = z + out.r[k] * unit_rc(w, out.tau[k]);
    out.z_fit[i] = z;
    out.residuals_real[i] = (impedances[i].re - z.re) / p.modulus[i];
    out.residuals_imag[i] = (impedances[i].im - z.im) / p.modulus[i];
    const double re = out.residuals_real[i], im = out.residuals_imag[i];
    out.pseudo_chi_square += re * re + im * im;
    worst = std::max({worst, std::fabs(out.residuals_real[i]), std::fabs(out.residuals_imag[i])});
  }
  out.noise = scatter_noise(frequencies, out);
  out.threshold = std::max(kThresholdInNoise * out.noise, settings.floor);
  out.valid = worst <= out.threshold;
  return out;
}

}  // namespace korvex::analysis
