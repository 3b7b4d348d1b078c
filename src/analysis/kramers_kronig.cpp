#include "analysis/kramers_kronig.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "analysis/kramers_kronig_choice.hpp"
#include "analysis/spectrum_check.hpp"
#include "analysis/streamed_least_squares.hpp"
#include "circuit/impedance.hpp"
#include "common/cancel.hpp"

namespace korvex::analysis {
namespace {

constexpr std::size_t kDefaultMaxM = 50;
constexpr double kThresholdInNoise = 4.0;
// Neighbours on each side whose scatter is a point's local noise: about a
// decade at the usual ten points per decade.
constexpr std::size_t kLocalHalfWidth = 5;
// The most that the noise around a point may raise its threshold to: a
// scatter of residuals larger than this is the test failing to follow the
// data (a spectrum that is all noise still has its global threshold).
constexpr double kLocalCeiling = 0.02;

// Points on which a long spectrum's M is chosen.
constexpr std::size_t kChoicePoints = 1000;
// Points per block of rows: the least squares see the rows a block at a
// time, and a cancelled test stops between blocks.
constexpr std::size_t kBlockPoints = 2048;

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

// The rows of a block of points, weighted by 1/|Z|: the real and imaginary
// parts of the M unit RC elements, the imaginary parts of the series C and
// L (in that order, those fitted), the data, and the weight of a series R.
struct Block {
  Eigen::MatrixXd rc_re, rc_im, series_im;
  Eigen::VectorXd z_re, z_im, r_col;
};

Block make_block(const Problem& p, const std::vector<double>& tau, std::size_t from,
                 std::size_t to) {
  const auto rows = static_cast<Eigen::Index>(to - from);
  const auto m = static_cast<Eigen::Index>(tau.size());
  const bool cap = p.settings.add_capacitance;
  const bool ind = p.settings.add_inductance;
  const Eigen::Index extra = (cap ? 1 : 0) + (ind ? 1 : 0);
  Block b{Eigen::MatrixXd(rows, m), Eigen::MatrixXd(rows, m), Eigen::MatrixXd(rows, extra),
          Eigen::VectorXd(rows),    Eigen::VectorXd(rows),    Eigen::VectorXd(rows)};
  for (Eigen::Index r = 0; r < rows; ++r) {
    const std::size_t i = from + static_cast<std::size_t>(r);
    const double w = p.omegas[i];
    const double mod = p.modulus[i];
    for (Eigen::Index k = 0; k < m; ++k) {
      const Complex u = unit_rc(w, tau[k]);
      b.rc_re(r, k) = u.re / mod;
      b.rc_im(r, k) = u.im / mod;
    }
    if (cap) b.series_im(r, 0) = -1.0 / (w * mod);
    if (ind) b.series_im(r, extra - 1) = w / mod;
    b.z_re[r] = p.impedances[i].re / mod;
    b.z_im[r] = p.impedances[i].im / mod;
    b.r_col[r] = 1.0 / mod;
  }
  return b;
}

// Calls use(block) for consecutive blocks of points.
template <typename Use>
void for_blocks(const Problem& p, const std::vector<double>& tau, Use&& use) {
  const std::size_t n = p.omegas.size();
  for (std::size_t from = 0; from < n; from += kBlockPoints) {
    throw_if_cancelled();
    use(make_block(p, tau, from, std::min(n, from + kBlockPoints)));
  }
}

// Fills r, series_resistance, inductance, inverse_capacitance for M = tau.size().
void solve(const Problem& p, KKResult& out) {
  const auto m = static_cast<Eigen::Index>(out.tau.size());
  const bool cap = p.settings.add_capacitance;
  const bool ind = p.settings.add_inductance;
  const Eigen::Index extra = (cap ? 1 : 0) + (ind ? 1 : 0);
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
      StreamedLeastSquares ls(cols);
      for_blocks(p, out.tau, [&](const Block& b) {
        const Eigen::Index rows = b.z_re.size();
        Eigen::MatrixXd a = Eigen::MatrixXd::Zero(2 * rows, cols + 1);
        a.block(0, 0, rows, 1) = b.r_col;
        a.block(0, 1, rows, m) = b.rc_re;
        a.block(rows, 1, rows, m) = b.rc_im;
        a.block(rows, 1 + m, rows, extra) = b.series_im;
        a.col(cols) << b.z_re, b.z_im;
        ls.add(a);
      });
      const Eigen::VectorXd x = ls.solve();
      out.series_resistance = x[0];
      for (Eigen::Index k = 0; k < m; ++k) out.r[k] = x[1 + k];
      store_series(x, 1 + m);
      break;
    }
    case KKFit::Real: {
      // Resistances from the real part; the series C and L, which have no
      // real part, from what the RC elements leave of the imaginary part.
      StreamedLeastSquares ls(1 + m);
      for_blocks(p, out.tau, [&](const Block& b) {
        Eigen::MatrixXd a(b.z_re.size(), m + 2);
        a << b.r_col, b.rc_re, b.z_re;
        ls.add(a);
      });
      const Eigen::VectorXd x = ls.solve();
      out.series_resistance = x[0];
      for (Eigen::Index k = 0; k < m; ++k) out.r[k] = x[1 + k];
      if (extra > 0) {
        StreamedLeastSquares rest(extra);
        for_blocks(p, out.tau, [&](const Block& b) {
          Eigen::MatrixXd a(b.z_im.size(), extra + 1);
          a << b.series_im, b.z_im - b.rc_im * x.tail(m);
          rest.add(a);
        });
        store_series(rest.solve(), 0);
      }
      break;
    }
    case KKFit::Imaginary: {
      StreamedLeastSquares ls(m + extra);
      for_blocks(p, out.tau, [&](const Block& b) {
        Eigen::MatrixXd a(b.z_im.size(), m + extra + 1);
        a << b.rc_im, b.series_im, b.z_im;
        ls.add(a);
      });
      const Eigen::VectorXd x = ls.solve();
      for (Eigen::Index k = 0; k < m; ++k) out.r[k] = x[k];
      store_series(x, m);
      // The series resistance as Boukamp (1995) eq. 7: the 1/|Z|^2-weighted
      // mean of what the RC elements leave of the real part.
      double num = 0.0, den = 0.0;
      for_blocks(p, out.tau, [&](const Block& b) {
        // The weight times the unweighted remainder: the weighted one / |Z|.
        num += ((b.z_re - b.rc_re * x.head(m)).array() * b.r_col.array()).sum();
        den += b.r_col.squaredNorm();
      });
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

// Fills z_fit, the residuals and pseudo chi-square of the fitted M.
void evaluate(const Problem& p, KKResult& out) {
  const std::size_t n = p.omegas.size();
  out.z_fit.resize(n);
  out.residuals_real.resize(n);
  out.residuals_imag.resize(n);
  out.pseudo_chi_square = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i % kBlockPoints == 0) throw_if_cancelled();
    const double w = p.omegas[i];
    Complex z{out.series_resistance, w * out.inductance - out.inverse_capacitance / w};
    for (std::size_t k = 0; k < out.m; ++k) z = z + out.r[k] * unit_rc(w, out.tau[k]);
    out.z_fit[i] = z;
    out.residuals_real[i] = (p.impedances[i].re - z.re) / p.modulus[i];
    out.residuals_imag[i] = (p.impedances[i].im - z.im) / p.modulus[i];
    const double re = out.residuals_real[i], im = out.residuals_imag[i];
    out.pseudo_chi_square += re * re + im * im;
  }
}

// The fit with M elements and its mu (evaluate() adds the residuals).
void fit_m(const Problem& p, double f_min, double f_max, std::size_t m, KKResult& out) {
  out.m = m;
  out.tau = kk_time_constants(f_min, f_max, m);
  solve(p, out);
  out.mu = mass_ratio_mu(out.r);
}

struct Subset {
  std::vector<double> omegas;
  std::vector<Complex> impedances;
  std::vector<double> modulus;
};

// Every stride-th point by frequency.
Subset every_stride(const Problem& p, std::size_t stride) {
  std::vector<std::size_t> order(p.omegas.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return p.omegas[a] < p.omegas[b]; });
  Subset s;
  for (std::size_t i = 0; i < order.size(); i += stride) {
    s.omegas.push_back(p.omegas[order[i]]);
    s.impedances.push_back(p.impedances[order[i]]);
    s.modulus.push_back(p.modulus[order[i]]);
  }
  return s;
}

// M where the residuals stop improving, from the fits of every M up to
// max_m: {M, the lower limit}.
std::pair<std::size_t, std::size_t> residual_choice(const Problem& p, double f_min, double f_max,
                                                    std::size_t max_m) {
  KKResult fit;
  std::vector<double> chi(max_m), log_chi(max_m);
  for (std::size_t m = 1; m <= max_m; ++m) {
    fit_m(p, f_min, f_max, m, fit);
    evaluate(p, fit);
    chi[m - 1] = fit.pseudo_chi_square;
    // A perfect fit (chi-square 0) is as good as any larger M.
    log_chi[m - 1] = std::log10(std::max(fit.pseudo_chi_square, 1e-300));
  }
  const std::size_t lower = kk_lower_limit(log_chi);
  const std::size_t fixed =
      1 + (p.settings.add_capacitance ? 1 : 0) + (p.settings.add_inductance ? 1 : 0);
  return {kk_residual_choice(chi, lower, 2 * p.omegas.size(), fixed), lower};
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
  // More RC elements than points cannot be determined: a larger max_m is a
  // cap, as impedance.py's linKK takes it, not an error.
  if (settings.max_m && *settings.max_m < 1) return "max_m must be at least 1, got 0";
  const std::size_t max_m = std::min(settings.max_m.value_or(kDefaultMaxM), n);
  if (settings.c && !(*settings.c >= 0.0 && *settings.c <= 1.0)) {
    return "c must be between 0 and 1";
  }
  if (!(settings.floor >= 0.0)) return "floor must be non-negative";
  const CancelScope cancel(settings.cancel);

  std::vector<double> omegas(n);
  Problem p{omegas, impedances, std::vector<double>(n), settings};
  for (std::size_t i = 0; i < n; ++i) {
    omegas[i] = kTwoPi * frequencies[i];
    p.modulus[i] = std::hypot(impedances[i].re, impedances[i].im);
  }
  const auto [f_min, f_max] = std::minmax_element(frequencies.begin(), frequencies.end());

  KKResult out;
  out.choice = settings.choice;
  if (!settings.c) {
    fit_m(p, *f_min, *f_max, max_m, out);
  } else if (settings.choice == KKChoice::LinKK) {
    // mu starts at 1 so that the first M is always tried, and a NaN mu
    // (no resistance at all) stops the search.
    out.mu = 1.0;
    do {
      fit_m(p, *f_min, *f_max, out.m + 1, out);
    } while (out.mu > *settings.c && out.m < max_m);
  } else {
    // A long spectrum's M is chosen on a log-spaced subset of its points:
    // what the residuals do as M grows shows as well there, at a fraction of
    // the cost of every fit on all points.
    const std::size_t stride = (n + kChoicePoints - 1) / kChoicePoints;
    const Subset subset = stride > 1 ? every_stride(p, stride) : Subset{};
    const Problem sub{subset.omegas, subset.impedances, subset.modulus, settings};
    const auto [m, lower] =
        stride > 1 ? residual_choice(sub, *f_min, *f_max, std::min(max_m, sub.omegas.size()))
                   : residual_choice(p, *f_min, *f_max, max_m);
    out.m_lower = lower;
    fit_m(p, *f_min, *f_max, m, out);
  }
  evaluate(p, out);

  out.noise = kk_scatter_noise(frequencies, out.residuals_real, out.residuals_imag);
  out.threshold = std::max(kThresholdInNoise * out.noise, settings.floor);
  out.local_threshold =
      kk_local_noise(frequencies, out.residuals_real, out.residuals_imag, kLocalHalfWidth);
  out.valid = true;
  for (std::size_t i = 0; i < n; ++i) {
    double& t = out.local_threshold[i];
    t = std::max(std::min(kThresholdInNoise * t, kLocalCeiling), out.threshold);
    out.valid =
        out.valid && std::fabs(out.residuals_real[i]) <= t && std::fabs(out.residuals_imag[i]) <= t;
  }
  return out;
}

}  // namespace korvex::analysis
