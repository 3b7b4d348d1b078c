#include "analysis/drt.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "analysis/nnls.hpp"
#include "analysis/spectrum_check.hpp"
#include "circuit/impedance.hpp"
#include "common/cancel.hpp"

namespace korvex::analysis {
namespace {

constexpr double kSqrtLn2 = 0.8325546111576977;
constexpr int kQuadraturePerSpacing = 8;  // trapezoid nodes per basis spacing
constexpr double kOutputPerDecade = 50.0;
constexpr std::size_t kMaxBasis = 100;
// The GCV search: a coarse scan of lambda, then a golden-section refinement
// of the best bracket. On spectra with little noise the GCV minimum runs off
// to ever smaller lambda, fitting the basis's own approximation error and
// any drift, and the DRT rings with peaks that are not there; noise-free
// Zarc spectra (unknowns scaled to the largest |Z|, residuals relative to
// |Z|) still give clean peaks at 1e-4, so the search stops there. Spectra
// with 1 % noise choose 1e-2 .. 1e-1 by themselves.
constexpr double kLogLamMin = -4.0;
constexpr double kLogLamMax = 1.0;
constexpr double kLogLamStep = 0.5;
constexpr int kGoldenSteps = 12;
constexpr double kRobustness = 0.1;
// Points per block of the system's rows, rows per block of its normal
// equations: a cancelled DRT stops between blocks.
constexpr Eigen::Index kBlockPoints = 256;
constexpr Eigen::Index kBlockRows = 4096;

struct Basis {
  DRTBasis kind;
  double eps;  // shape: phi(x) = exp(-(eps x)^2) or 1 / (1 + (eps x)^2)
  double value(double x) const {
    const double u = eps * x;
    return kind == DRTBasis::Gaussian ? std::exp(-u * u) : 1.0 / (1.0 + u * u);
  }
  double derivative(double x) const {
    const double u = eps * x;
    if (kind == DRTBasis::Gaussian) return -2.0 * eps * u * std::exp(-u * u);
    const double d = 1.0 + u * u;
    return -2.0 * eps * u / (d * d);
  }
  // How far beyond the outer centres the quadrature must reach.
  double reach() const { return (kind == DRTBasis::Gaussian ? 6.0 : 30.0) / eps; }
};

// The weighted least-squares system: rows Re then Im, unknowns R_inf, (L),
// basis coefficients, all scaled so that the unknowns are of order one.
struct System {
  Eigen::MatrixXd a;
  Eigen::VectorXd b;
  Eigen::MatrixXd penalty;  // x^T penalty x = integral of (d gamma / d ln tau)^2
  Eigen::Index first_basis;
};

// The basis centres lie on nodes of the trapezoid grid, so every basis
// function is one sampled profile shifted: A(i, j) = h sum_d K(w_i, node_j + d)
// phi(d h), and the penalty depends only on |j - l|.
System build_system(std::span<const double> omegas, std::span<const double> modulus,
                    std::span<const Complex> z, const std::vector<double>& centres_ln,
                    const Basis& basis, bool inductance, double r_ref, double omega_max) {
  const auto n = static_cast<Eigen::Index>(omegas.size());
  const auto m = static_cast<Eigen::Index>(centres_ln.size());
  const double spacing = (centres_ln.back() - centres_ln.front()) / static_cast<double>(m - 1);
  const double h = spacing / kQuadraturePerSpacing;
  const auto reach = static_cast<Eigen::Index>(std::ceil(basis.reach() / h));
  const Eigen::Index q = (m - 1) * kQuadraturePerSpacing + 2 * reach + 1;
  Eigen::VectorXd profile(2 * reach + 1), slope(2 * reach + 1);
  for (Eigen::Index d = -reach; d <= reach; ++d) {
    profile[d + reach] = basis.value(static_cast<double>(d) * h);
    slope[d + reach] = basis.derivative(static_cast<double>(d) * h);
  }
  Eigen::VectorXd tau(q);
  for (Eigen::Index k = 0; k < q; ++k) {
    tau[k] = std::exp(centres_ln.front() + static_cast<double>(k - reach) * h);
  }
  System s;
  s.first_basis = inductance ? 2 : 1;
  const Eigen::Index cols = s.first_basis + m;
  s.a = Eigen::MatrixXd::Zero(2 * n, cols);
  s.b.resize(2 * n);
  // A block of points at a time: the block's kernel on the trapezoid grid
  // stays in cache, and a cancelled DRT stops between blocks.
  Eigen::MatrixXd k_re(std::min(kBlockPoints, n), q), k_im(std::min(kBlockPoints, n), q);
  for (Eigen::Index from = 0; from < n; from += kBlockPoints) {
    throw_if_cancelled();
    const Eigen::Index rows = std::min(kBlockPoints, n - from);
    for (Eigen::Index k = 0; k < q; ++k) {
      for (Eigen::Index r = 0; r < rows; ++r) {
        const double wt = omegas[from + r] * tau[k];
        const double den = 1.0 + wt * wt;
        k_re(r, k) = 1.0 / den;
        k_im(r, k) = -wt / den;
      }
    }
    for (Eigen::Index j = 0; j < m; ++j) {
      throw_if_cancelled();  // wide bases make every column long
      const Eigen::Index node = j * kQuadraturePerSpacing;
      s.a.block(from, s.first_basis + j, rows, 1) =
          h * (k_re.block(0, node, rows, 2 * reach + 1) * profile);
      s.a.block(n + from, s.first_basis + j, rows, 1) =
          h * (k_im.block(0, node, rows, 2 * reach + 1) * profile);
    }
    for (Eigen::Index i = from; i < from + rows; ++i) {
      s.a(i, 0) = 1.0;
      if (inductance) s.a(n + i, 1) = omegas[i] / omega_max;
      const double scale = r_ref / modulus[i];
      s.a.row(i) *= scale;
      s.a.row(n + i) *= scale;
      s.b[i] = z[i].re / modulus[i];
      s.b[n + i] = z[i].im / modulus[i];
    }
  }
  s.penalty = Eigen::MatrixXd::Zero(cols, cols);
  for (Eigen::Index t = 0; t < m; ++t) {
    const Eigen::Index shift = t * kQuadraturePerSpacing;
    if (shift > 2 * reach) break;
    const double overlap =
        h * slope.head(2 * reach + 1 - shift).dot(slope.tail(2 * reach + 1 - shift));
    for (Eigen::Index j = 0; j + t < m; ++j) {
      s.penalty(s.first_basis + j, s.first_basis + j + t) = overlap;
      s.penalty(s.first_basis + j + t, s.first_basis + j) = overlap;
    }
  }
  return s;
}

// A x, a block of rows at a time.
Eigen::VectorXd product(const Eigen::MatrixXd& a, const Eigen::VectorXd& x) {
  Eigen::VectorXd out(a.rows());
  for (Eigen::Index from = 0; from < a.rows(); from += kBlockRows) {
    throw_if_cancelled();
    const Eigen::Index rows = std::min(kBlockRows, a.rows() - from);
    out.segment(from, rows).noalias() = a.middleRows(from, rows) * x;
  }
  return out;
}

// Robust generalised cross-validation (Lukas 2006) of the unconstrained
// solution: rows |r|^2 / (rows - tr H)^2 * (g + (1 - g) tr(H^2) / rows), H the
// influence matrix. Plain GCV (g = 1) often has a flat minimum at very small
// lambda on real spectra and then returns a DRT full of noise peaks; the
// tr(H^2) term penalises those unstable solutions.
double gcv_score(const Eigen::MatrixXd& ata, const Eigen::VectorXd& atb, const System& s,
                 double lam) {
  const Eigen::LLT<Eigen::MatrixXd> g(ata + lam * s.penalty);
  const Eigen::VectorXd x = g.solve(atb);
  const double rss = (product(s.a, x) - s.b).squaredNorm();
  // H = A G^-1 A^T has the same nonzero spectrum as S = G^-1 A^T A.
  const Eigen::MatrixXd influence = g.solve(ata);
  const double trace = influence.trace();
  const double trace_sq = influence.cwiseProduct(influence.transpose()).sum();
  const double rows = static_cast<double>(s.a.rows());
  const double dof = rows - trace;
  return rows * rss / (dof * dof) * (kRobustness + (1.0 - kRobustness) * trace_sq / rows);
}

double choose_lambda(const Eigen::MatrixXd& ata, const Eigen::VectorXd& atb, const System& s) {
  double best_log = kLogLamMin;
  double best = std::numeric_limits<double>::infinity();
  // An integer count of steps: a float accumulated step by step drifts.
  const int steps = static_cast<int>(std::lround((kLogLamMax - kLogLamMin) / kLogLamStep));
  for (int k = 0; k <= steps; ++k) {
    const double e = kLogLamMin + k * kLogLamStep;
    const double score = gcv_score(ata, atb, s, std::pow(10.0, e));
    if (score < best) {
      best = score;
      best_log = e;
    }
  }
  double a = std::max(kLogLamMin, best_log - kLogLamStep);
  double b = std::min(kLogLamMax, best_log + kLogLamStep);
  constexpr double kInvPhi = 0.6180339887498949;
  double c = b - kInvPhi * (b - a), d = a + kInvPhi * (b - a);
  double fc = gcv_score(ata, atb, s, std::pow(10.0, c));
  double fd = gcv_score(ata, atb, s, std::pow(10.0, d));
  for (int i = 0; i < kGoldenSteps; ++i) {
    if (fc < fd) {
      b = d, d = c, fd = fc;
      c = b - kInvPhi * (b - a);
      fc = gcv_score(ata, atb, s, std::pow(10.0, c));
    } else {
      a = c, c = d, fc = fd;
      d = a + kInvPhi * (b - a);
      fd = gcv_score(ata, atb, s, std::pow(10.0, d));
    }
  }
  const double refined = fc < fd ? c : d;
  return std::pow(10.0, std::min(fc, fd) <= best ? refined : best_log);
}

}  // namespace

DRTResultOr drt(std::span<const double> frequencies, std::span<const Complex> impedances,
                const DRTSettings& settings) {
  if (auto error = check_spectrum(frequencies, impedances, kDRTMinPoints, "the DRT")) {
    return *error;
  }
  if (settings.lam && !(*settings.lam > 0.0 && std::isfinite(*settings.lam))) {
    return "lam must be positive and finite";
  }
  if (!(settings.fwhm > 0.0 && std::isfinite(settings.fwhm))) {
    return "fwhm must be positive and finite";
  }
  const CancelScope cancel(settings.cancel);
  const std::size_t n = frequencies.size();
  std::vector<double> omegas(n), modulus(n);
  double r_ref = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    omegas[i] = kTwoPi * frequencies[i];
    modulus[i] = std::hypot(impedances[i].re, impedances[i].im);
    r_ref = std::max(r_ref, modulus[i]);
  }
  const auto [w_min, w_max] = std::minmax_element(omegas.begin(), omegas.end());
  if (*w_min == *w_max) return "the DRT needs at least two distinct frequencies";
  // One basis function per point, evenly spaced in ln tau over 1/w_max .. 1/w_min,
  // at most kMaxBasis of them: the solves grow with the cube of their number.
  const std::size_t m = std::min(n, kMaxBasis);
  std::vector<double> centres_ln(m);
  const double y0 = -std::log(*w_max), y1 = -std::log(*w_min);
  for (std::size_t j = 0; j < m; ++j) {
    centres_ln[j] = y0 + (y1 - y0) * static_cast<double>(j) / static_cast<double>(m - 1);
  }
  const double spacing = (y1 - y0) / static_cast<double>(m - 1);
  const double fwhm_eps = settings.basis == DRTBasis::Gaussian ? 2.0 * kSqrtLn2 : 2.0;
  const Basis basis{settings.basis, fwhm_eps / (settings.fwhm * spacing)};
  const System s = build_system(omegas, modulus, impedances, centres_ln, basis, settings.inductance,
                                r_ref, *w_max);

  Eigen::MatrixXd ata = Eigen::MatrixXd::Zero(s.a.cols(), s.a.cols());
  Eigen::VectorXd atb = Eigen::VectorXd::Zero(s.a.cols());
  for (Eigen::Index from = 0; from < s.a.rows(); from += kBlockRows) {
    throw_if_cancelled();
    const Eigen::Index rows = std::min(kBlockRows, s.a.rows() - from);
    ata.noalias() += s.a.middleRows(from, rows).transpose() * s.a.middleRows(from, rows);
    atb.noalias() += s.a.middleRows(from, rows).transpose() * s.b.segment(from, rows);
  }
  DRTResult out;
  out.lam = settings.lam ? *settings.lam : choose_lambda(ata, atb, s);
  const Eigen::MatrixXd g = ata + out.lam * s.penalty;
  const Eigen::VectorXd x =
      settings.nonneg ? nnls_normal(g, atb) : Eigen::VectorXd(g.ldlt().solve(atb));

  out.r_inf = x[0] * r_ref;
  out.l = settings.inductance ? x[1] * r_ref / *w_max : 0.0;
  out.centres.resize(m);
  out.coefficients.resize(m);
  for (std::size_t j = 0; j < m; ++j) {
    out.centres[j] = std::exp(centres_ln[j]);
    out.coefficients[j] = x[s.first_basis + static_cast<Eigen::Index>(j)] * r_ref;
  }
  const Eigen::VectorXd fit = product(s.a, x);
  out.z_fit.resize(n);
  out.residuals_real.resize(n);
  out.residuals_imag.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double scale = modulus[i];
    out.z_fit[i] = {fit[i] * scale, fit[n + i] * scale};
    out.residuals_real[i] = s.b[i] - fit[i];
    out.residuals_imag[i] = s.b[n + i] - fit[n + i];
  }
  // gamma on a fine grid half a decade beyond the basis centres.
  const double half_decade = 0.5 * std::log(10.0);
  const double lo = y0 - half_decade, hi = y1 + half_decade;
  const auto points =
      static_cast<std::size_t>(std::ceil((hi - lo) / std::log(10.0) * kOutputPerDecade)) + 1;
  out.tau.resize(points);
  out.gamma.resize(points);
  for (std::size_t k = 0; k < points; ++k) {
    const double y = lo + (hi - lo) * static_cast<double>(k) / static_cast<double>(points - 1);
    double g_y = 0.0;
    for (std::size_t j = 0; j < m; ++j) g_y += out.coefficients[j] * basis.value(y - centres_ln[j]);
    out.tau[k] = std::exp(y);
    out.gamma[k] = g_y;
  }
  out.peaks = drt_peaks(out.tau, out.gamma);
  return out;
}

}  // namespace korvex::analysis
