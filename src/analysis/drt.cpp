#include "analysis/drt.hpp"

#include <Eigen/Dense>
#include <algorithm>
#include <cmath>

#include "analysis/spectrum_check.hpp"
#include "circuit/impedance.hpp"
#include "common/cancel.hpp"
#include "common/format.hpp"
#include "common/nnls.hpp"

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

// The weighted least-squares problem: rows Re then Im, unknowns R_inf, (L),
// basis coefficients, all scaled so that the unknowns are of order one.
//
// The basis centres lie on nodes of the trapezoid grid, so every basis
// function is one sampled profile shifted: A(i, j) = h sum_d K(w_i, node_j + d)
// phi(d h), and the penalty depends only on |j - l|. The kernel K is sampled
// for kKernelChunk points at a time, so memory grows with the number of
// points only through A itself (2 (m + 2) doubles a point), and not at all
// beyond DRTSettings::max_stored_points, where only the normal equations are
// kept.
constexpr Eigen::Index kKernelChunk = 2048;

class Design {
 public:
  Design(std::span<const double> omegas, std::span<const double> modulus,
         std::span<const Complex> z, const std::vector<double>& centres_ln, const Basis& basis,
         bool inductance, double r_ref, double omega_max)
      : omegas_(omegas),
        modulus_(modulus),
        z_(z),
        front_(centres_ln.front()),
        m_(static_cast<Eigen::Index>(centres_ln.size())),
        first_basis_(inductance ? 2 : 1),
        inductance_(inductance),
        r_ref_(r_ref),
        omega_max_(omega_max) {
    const double spacing = (centres_ln.back() - centres_ln.front()) / static_cast<double>(m_ - 1);
    h_ = spacing / kQuadraturePerSpacing;
    reach_ = static_cast<Eigen::Index>(std::ceil(basis.reach() / h_));
    profile_.resize(2 * reach_ + 1);
    slope_.resize(2 * reach_ + 1);
    for (Eigen::Index d = -reach_; d <= reach_; ++d) {
      profile_[d + reach_] = basis.value(static_cast<double>(d) * h_);
      slope_[d + reach_] = basis.derivative(static_cast<double>(d) * h_);
    }
  }

  Eigen::Index points() const { return static_cast<Eigen::Index>(omegas_.size()); }
  Eigen::Index cols() const { return first_basis_ + m_; }
  Eigen::Index first_basis() const { return first_basis_; }

  // The rows of points [from, from + count): `a` gets the Re rows on top of
  // the Im rows, `b` the matching data.
  void rows(Eigen::Index from, Eigen::Index count, Eigen::MatrixXd& a, Eigen::VectorXd& b) const {
    const Eigen::Index q = (m_ - 1) * kQuadraturePerSpacing + 2 * reach_ + 1;
    Eigen::MatrixXd k_re(count, q), k_im(count, q);
    for (Eigen::Index k = 0; k < q; ++k) {
      const double tau = std::exp(front_ + static_cast<double>(k - reach_) * h_);
      for (Eigen::Index i = 0; i < count; ++i) {
        const double wt = omegas_[from + i] * tau;
        const double den = 1.0 + wt * wt;
        k_re(i, k) = 1.0 / den;
        k_im(i, k) = -wt / den;
      }
    }
    a = Eigen::MatrixXd::Zero(2 * count, cols());
    for (Eigen::Index j = 0; j < m_; ++j) {
      const Eigen::Index shift = j * kQuadraturePerSpacing;
      a.block(0, first_basis_ + j, count, 1) =
          h_ * (k_re.middleCols(shift, 2 * reach_ + 1) * profile_);
      a.block(count, first_basis_ + j, count, 1) =
          h_ * (k_im.middleCols(shift, 2 * reach_ + 1) * profile_);
    }
    b.resize(2 * count);
    for (Eigen::Index i = 0; i < count; ++i) {
      const double modulus = modulus_[from + i];
      a(i, 0) = 1.0;
      if (inductance_) a(count + i, 1) = omegas_[from + i] / omega_max_;
      const double scale = r_ref_ / modulus;
      a.row(i) *= scale;
      a.row(count + i) *= scale;
      b[i] = z_[from + i].re / modulus;
      b[count + i] = z_[from + i].im / modulus;
    }
  }

  // Calls visit(from, count, a, b) with the rows of every block of
  // kKernelChunk points in order; a cancelled DRT stops between blocks.
  template <class Visit>
  void for_each_block(Visit&& visit) const {
    Eigen::MatrixXd a;
    Eigen::VectorXd b;
    for (Eigen::Index from = 0; from < points(); from += kKernelChunk) {
      throw_if_cancelled();
      const Eigen::Index count = std::min(kKernelChunk, points() - from);
      rows(from, count, a, b);
      visit(from, count, a, b);
    }
  }

  // x^T penalty x = integral of (d gamma / d ln tau)^2.
  Eigen::MatrixXd penalty() const {
    Eigen::MatrixXd out = Eigen::MatrixXd::Zero(cols(), cols());
    for (Eigen::Index t = 0; t < m_; ++t) {
      const Eigen::Index shift = t * kQuadraturePerSpacing;
      if (shift > 2 * reach_) break;
      const double overlap =
          h_ * slope_.head(2 * reach_ + 1 - shift).dot(slope_.tail(2 * reach_ + 1 - shift));
      for (Eigen::Index j = 0; j + t < m_; ++j) {
        out(first_basis_ + j, first_basis_ + j + t) = overlap;
        out(first_basis_ + j + t, first_basis_ + j) = overlap;
      }
    }
    return out;
  }

 private:
  std::span<const double> omegas_, modulus_;
  std::span<const Complex> z_;
  double front_;
  Eigen::Index m_, first_basis_;
  bool inductance_;
  double r_ref_, omega_max_, h_ = 0;
  Eigen::Index reach_ = 0;
  Eigen::VectorXd profile_, slope_;
};

// What the solves need: the normal equations, and the design matrix itself
// while it is small enough to keep (the residuals then come from it exactly;
// from the normal equations they lose digits on a near-perfect fit). Empty
// `a` means only the normal equations were kept.
struct System {
  Eigen::MatrixXd ata;
  Eigen::VectorXd atb;
  double btb = 0;
  double rows = 0;
  Eigen::MatrixXd a;
  Eigen::VectorXd b;
  Eigen::MatrixXd penalty;

  double rss(const Eigen::VectorXd& x) const {
    if (a.size() > 0) return (a * x - b).squaredNorm();
    return std::max(0.0, btb - 2.0 * x.dot(atb) + x.dot(ata * x));
  }
};

System build_system(const Design& design, std::size_t max_stored_points) {
  System s;
  const Eigen::Index n = design.points();
  const bool stored = static_cast<std::size_t>(n) <= max_stored_points;
  s.rows = 2.0 * static_cast<double>(n);
  s.penalty = design.penalty();
  if (stored) {
    s.a.resize(2 * n, design.cols());
    s.b.resize(2 * n);
  } else {
    s.ata = Eigen::MatrixXd::Zero(design.cols(), design.cols());
    s.atb = Eigen::VectorXd::Zero(design.cols());
  }
  design.for_each_block([&](Eigen::Index from, Eigen::Index count, const Eigen::MatrixXd& a,
                            const Eigen::VectorXd& b) {
    if (stored) {
      s.a.middleRows(from, count) = a.topRows(count);
      s.a.middleRows(n + from, count) = a.bottomRows(count);
      s.b.segment(from, count) = b.head(count);
      s.b.segment(n + from, count) = b.tail(count);
    } else {
      s.ata.noalias() += a.transpose() * a;
      s.atb.noalias() += a.transpose() * b;
      s.btb += b.squaredNorm();
    }
  });
  if (stored) {
    s.ata = s.a.transpose() * s.a;
    s.atb = s.a.transpose() * s.b;
    s.btb = s.b.squaredNorm();
  }
  return s;
}

// The model's scaled values (Re rows of all points, then Im rows) at x.
Eigen::VectorXd model_rows(const Design& design, const System& s, const Eigen::VectorXd& x) {
  if (s.a.size() > 0) return s.a * x;
  const Eigen::Index n = design.points();
  Eigen::VectorXd out(2 * n);
  design.for_each_block(
      [&](Eigen::Index from, Eigen::Index count, const Eigen::MatrixXd& a, const Eigen::VectorXd&) {
        const Eigen::VectorXd part = a * x;
        out.segment(from, count) = part.head(count);
        out.segment(n + from, count) = part.tail(count);
      });
  return out;
}

// Robust generalised cross-validation (Lukas 2006) of the unconstrained
// solution: rows |r|^2 / (rows - tr H)^2 * (g + (1 - g) tr(H^2) / rows), H the
// influence matrix. Plain GCV (g = 1) often has a flat minimum at very small
// lambda on real spectra and then returns a DRT full of noise peaks; the
// tr(H^2) term penalises those unstable solutions.
double gcv_score(const System& s, double lam) {
  throw_if_cancelled();
  const Eigen::LLT<Eigen::MatrixXd> g(s.ata + lam * s.penalty);
  const Eigen::VectorXd x = g.solve(s.atb);
  const double rss = s.rss(x);
  // H = A G^-1 A^T has the same nonzero spectrum as S = G^-1 A^T A.
  const Eigen::MatrixXd influence = g.solve(s.ata);
  const double trace = influence.trace();
  const double trace_sq = influence.cwiseProduct(influence.transpose()).sum();
  const double dof = s.rows - trace;
  return s.rows * rss / (dof * dof) * (kRobustness + (1.0 - kRobustness) * trace_sq / s.rows);
}

double choose_lambda(const System& s) {
  double best_log = kLogLamMin;
  double best = std::numeric_limits<double>::infinity();
  // An integer count of steps: a float accumulated step by step drifts.
  const int steps = static_cast<int>(std::lround((kLogLamMax - kLogLamMin) / kLogLamStep));
  for (int k = 0; k <= steps; ++k) {
    const double e = kLogLamMin + k * kLogLamStep;
    const double score = gcv_score(s, std::pow(10.0, e));
    if (score < best) {
      best = score;
      best_log = e;
    }
  }
  double a = std::max(kLogLamMin, best_log - kLogLamStep);
  double b = std::min(kLogLamMax, best_log + kLogLamStep);
  constexpr double kInvPhi = 0.6180339887498949;
  double c = b - kInvPhi * (b - a), d = a + kInvPhi * (b - a);
  double fc = gcv_score(s, std::pow(10.0, c));
  double fd = gcv_score(s, std::pow(10.0, d));
  for (int i = 0; i < kGoldenSteps; ++i) {
    if (fc < fd) {
      b = d, d = c, fd = fc;
      c = b - kInvPhi * (b - a);
      fc = gcv_score(s, std::pow(10.0, c));
    } else {
      a = c, c = d, fc = fd;
      d = a + kInvPhi * (b - a);
      fd = gcv_score(s, std::pow(10.0, d));
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
  if (!(settings.fwhm > 0.0 && settings.fwhm <= kDRTMaxFwhm)) {
    return "fwhm must be positive and at most " + std::to_string(static_cast<int>(kDRTMaxFwhm)) +
           " basis spacings, got " + debug_float(settings.fwhm);
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
  const Design design(omegas, modulus, impedances, centres_ln, basis, settings.inductance, r_ref,
                      *w_max);
  const System s = build_system(design, settings.max_stored_points);

  DRTResult out;
  out.lam = settings.lam ? *settings.lam : choose_lambda(s);
  const Eigen::MatrixXd g = s.ata + out.lam * s.penalty;
  const Eigen::VectorXd x =
      settings.nonneg ? nnls_normal(g, s.atb) : Eigen::VectorXd(g.ldlt().solve(s.atb));

  out.r_inf = x[0] * r_ref;
  out.l = settings.inductance ? x[1] * r_ref / *w_max : 0.0;
  out.centres.resize(m);
  out.coefficients.resize(m);
  for (std::size_t j = 0; j < m; ++j) {
    out.centres[j] = std::exp(centres_ln[j]);
    out.coefficients[j] = x[design.first_basis() + static_cast<Eigen::Index>(j)] * r_ref;
  }
  const Eigen::VectorXd fit = model_rows(design, s, x);
  out.z_fit.resize(n);
  out.residuals_real.resize(n);
  out.residuals_imag.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double scale = modulus[i];
    out.z_fit[i] = {fit[i] * scale, fit[n + i] * scale};
    out.residuals_real[i] = impedances[i].re / scale - fit[i];
    out.residuals_imag[i] = impedances[i].im / scale - fit[n + i];
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
