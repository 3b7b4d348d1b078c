#include "starts/estimate_features.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include "circuit/impedance.hpp"
#include "common/cancel.hpp"
#include "common/nnls.hpp"

namespace korvex {
namespace {

constexpr double kTailAlphas[] = {0.5, 0.55, 0.6, 0.65, 0.7, 0.75, 0.8, 0.85, 0.9, 0.95, 1.0};
constexpr double kTausPerDecade = 5.0;
constexpr double kTailTauLimit = 1.0;
constexpr std::size_t kMaxTaus = 80;
// Ridge on the unit-norm columns: enough to spread an arc over neighbouring
// relaxation times (so that a depressed arc reads as one broad piece) without
// biasing the intercept noticeably at 1 % noise.
constexpr double kRidge = 1e-3;
// Points between checks of the cancel flag.
constexpr std::size_t kBlockPoints = 2048;

Complex cpe_shape(double omega, double alpha) {
  const double m = std::pow(omega, -alpha);
  const double phase = alpha * std::numbers::pi / 2;
  return {m * std::cos(phase), -m * std::sin(phase)};
}

Complex tail_shape(Kind kind, double shape, double omega) {
  if (kind == Kind::Cpe) return cpe_shape(omega, shape);
  const double p[2] = {1.0, shape};
  return kind_impedance(Kind::Wo, p, FrequencyTerms(omega));
}

Complex debye(double omega, double tau) {
  const double x = omega * tau;
  const double d = 1.0 + x * x;
  return {1.0 / d, -x / d};
}

}  // namespace

SpectrumFeatures spectrum_features(std::span<const double> frequencies,
                                   std::span<const Complex> impedances,
                                   const FeatureRequest& request) {
  SpectrumFeatures out;
  std::vector<double> omegas;
  std::vector<Complex> z;
  std::vector<double> moduli;
  for (std::size_t i = 0; i < frequencies.size() && i < impedances.size(); ++i) {
    if (!(frequencies[i] > 0.0)) continue;
    omegas.push_back(frequencies[i] * kTwoPi);
    z.push_back(impedances[i]);
    moduli.push_back(std::hypot(impedances[i].re, impedances[i].im));
  }
  if (!moduli.empty()) {
    std::vector<double> sorted = moduli;
    std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
    if (sorted[sorted.size() / 2] > 0.0) out.modulus_scale = sorted[sorted.size() / 2];
    out.omega_min = *std::min_element(omegas.begin(), omegas.end());
    out.omega_max = *std::max_element(omegas.begin(), omegas.end());
  }
  if (omegas.size() < 3 || out.omega_max <= out.omega_min) return out;
  out.usable = true;

  // Columns: R_inf, [L], [tails], [Debye taus].
  const double decades = std::log10(out.omega_max / out.omega_min) + (request.tail ? 1.0 : 2.0);
  const std::size_t n_tau =
      request.arcs ? std::clamp<std::size_t>(static_cast<std::size_t>(decades * kTausPerDecade) + 1,
                                             8, kMaxTaus)
                   : 0;
  out.tail_kind = request.tail_kind;
  if (request.tail && request.tail_kind == Kind::Wo) {
    // From a mostly capacitive Wo (tau a hundredth of the slowest period) to
    // one that is a Warburg line over the whole window.
    for (int half_decades = -4; half_decades <= 6; ++half_decades) {
      out.tail_shapes.push_back(std::pow(10.0, 0.5 * half_decades) / out.omega_min);
    }
  } else if (request.tail) {
    out.tail_shapes.assign(std::begin(kTailAlphas), std::end(kTailAlphas));
  }
  // With a tail in the dictionary the slowest arcs stop at the measured
  // window: beyond it a Debye arc is only a capacitance, which is the tail's.
  const double tau_lo = 0.1 / out.omega_max;
  const double tau_hi = (request.tail ? kTailTauLimit : 10.0) / out.omega_min;
  for (std::size_t k = 0; k < n_tau; ++k) {
    out.taus.push_back(tau_lo * std::pow(tau_hi / tau_lo, static_cast<double>(k) / (n_tau - 1)));
  }
  const std::size_t first_tail = request.inductance ? 2 : 1;
  const std::size_t first_tau = first_tail + out.tail_shapes.size();
  const std::size_t n_col = first_tau + n_tau;

  // The rows of point i, weighted by 1/|Z|: Re into row_re, Im into row_im,
  // and the data's parts. They are made twice, once for the column norms and
  // once for the normal equations of the columns scaled to unit norm, rather
  // than stored: a long spectrum would need gigabytes.
  std::vector<double> row_re(n_col), row_im(n_col);
  double b_re = 0.0, b_im = 0.0;
  auto make_rows = [&](std::size_t i) {
    const double w = moduli[i] > 1e-30 ? 1.0 / moduli[i] : 1e30;
    const double omega = omegas[i];
    auto put = [&](std::size_t col, Complex v) {
      row_re[col] = v.re * w;
      row_im[col] = v.im * w;
    };
    put(0, {1.0, 0.0});
    if (request.inductance) put(1, {0.0, omega});
    for (std::size_t t = 0; t < out.tail_shapes.size(); ++t) {
      put(first_tail + t, tail_shape(out.tail_kind, out.tail_shapes[t], omega));
    }
    for (std::size_t k = 0; k < n_tau; ++k) put(first_tau + k, debye(omega, out.taus[k]));
    b_re = z[i].re * w;
    b_im = z[i].im * w;
  };
  std::vector<double> norms(n_col, 0.0);
  for (std::size_t i = 0; i < omegas.size(); ++i) {
    if (i % kBlockPoints == 0) throw_if_cancelled();
    make_rows(i);
    for (std::size_t c = 0; c < n_col; ++c) norms[c] += row_re[c] * row_re[c];
    for (std::size_t c = 0; c < n_col; ++c) norms[c] += row_im[c] * row_im[c];
  }
  for (double& norm : norms) norm = norm > 0.0 ? std::sqrt(norm) : 1.0;
  std::vector<double> gram(n_col * n_col, 0.0), h(n_col, 0.0);
  auto add_row = [&](std::vector<double>& row, double b) {
    for (std::size_t c = 0; c < n_col; ++c) row[c] /= norms[c];
    for (std::size_t i = 0; i < n_col; ++i) {
      h[i] += row[i] * b;
      for (std::size_t j = i; j < n_col; ++j) gram[i * n_col + j] += row[i] * row[j];
    }
  };
  for (std::size_t i = 0; i < omegas.size(); ++i) {
    if (i % kBlockPoints == 0) throw_if_cancelled();
    make_rows(i);
    add_row(row_re, b_re);
    add_row(row_im, b_im);
  }
  for (std::size_t i = 0; i < n_col; ++i) {
    for (std::size_t j = 0; j < i; ++j) gram[i * n_col + j] = gram[j * n_col + i];
    gram[i * n_col + i] += i >= first_tau ? kRidge : i >= first_tail ? 0.1 * kRidge : 1e-12;
  }
  const Eigen::VectorXd x =
      nnls_normal(Eigen::Map<const Eigen::MatrixXd>(gram.data(), n_col, n_col),
                  Eigen::Map<const Eigen::VectorXd>(h.data(), n_col));

  out.r_inf = x[0] / norms[0];
  if (request.inductance) out.inductance = x[1] / norms[1];
  for (std::size_t t = 0; t < out.tail_shapes.size(); ++t) {
    out.tail_coefficients.push_back(x[first_tail + t] / norms[first_tail + t]);
  }
  for (std::size_t k = 0; k < n_tau; ++k) {
    out.masses.push_back(x[first_tau + k] / norms[first_tau + k]);
  }
  return out;
}

Complex tail_impedance(const SpectrumFeatures& features, double omega) {
  Complex sum{0.0, 0.0};
  for (std::size_t t = 0; t < features.tail_shapes.size(); ++t) {
    const Complex v = tail_shape(features.tail_kind, features.tail_shapes[t], omega);
    sum.re += features.tail_coefficients[t] * v.re;
    sum.im += features.tail_coefficients[t] * v.im;
  }
  return sum;
}

namespace {

struct Weighted {
  double log_tau;
  double mass;
};

// The arc of items [begin, end).
Arc arc_of(const std::vector<Weighted>& items, std::size_t begin, std::size_t end) {
  double mass = 0.0, moment = 0.0;
  for (std::size_t i = begin; i < end; ++i) {
    mass += items[i].mass;
    moment += items[i].mass * items[i].log_tau;
  }
  const double log_tau = moment / mass;
  // The piece's own -Im peak, searched around its centre: for a Cole-Cole
  // arc of resistance R the peak is R/2 tan(alpha pi/4).
  double peak = 0.0;
  for (int s = -8; s <= 8; ++s) {
    const double omega = std::exp(-log_tau + s * 0.05 * std::numbers::ln10);
    double im = 0.0;
    for (std::size_t i = begin; i < end; ++i) {
      im -= items[i].mass * debye(omega, std::exp(items[i].log_tau)).im;
    }
    peak = std::max(peak, im);
  }
  const double alpha = 4.0 / std::numbers::pi * std::atan(2.0 * peak / mass);
  return {mass, std::exp(log_tau), alpha};
}

}  // namespace

std::vector<Arc> split_arcs(const SpectrumFeatures& features, std::size_t count) {
  std::vector<Arc> arcs;
  if (count == 0) return arcs;
  std::vector<Weighted> items;
  double total = 0.0;
  for (double m : features.masses) total += m;
  for (std::size_t k = 0; k < features.masses.size(); ++k) {
    // Crumbs below a millionth of the total are noise, not arcs.
    if (features.masses[k] > 1e-6 * total) {
      items.push_back({std::log(features.taus[k]), features.masses[k]});
    }
  }
  const std::size_t n = items.size();
  const std::size_t pieces = std::min(count, n);
  if (pieces > 0) {
    // Prefix sums for the weighted spread of any run of items.
    std::vector<double> w(n + 1, 0.0), wx(n + 1, 0.0), wxx(n + 1, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
      w[i + 1] = w[i] + items[i].mass;
      wx[i + 1] = wx[i] + items[i].mass * items[i].log_tau;
      wxx[i + 1] = wxx[i] + items[i].mass * items[i].log_tau * items[i].log_tau;
    }
    auto spread = [&](std::size_t i, std::size_t j) {  // items [i, j)
      const double m = w[j] - w[i], s = wx[j] - wx[i];
      return std::max(0.0, (wxx[j] - wxx[i]) - s * s / m);
    };
    const double inf = std::numeric_limits<double>::infinity();
    // best[p][j]: least spread of the first j items in p pieces.
    std::vector<std::vector<double>> best(pieces + 1, std::vector<double>(n + 1, inf));
    std::vector<std::vector<std::size_t>> cut(pieces + 1, std::vector<std::size_t>(n + 1, 0));
    best[0][0] = 0.0;
    for (std::size_t p = 1; p <= pieces; ++p) {
      for (std::size_t j = p; j <= n; ++j) {
        for (std::size_t i = p - 1; i < j; ++i) {
          const double c = best[p - 1][i] + spread(i, j);
          if (c < best[p][j]) {
            best[p][j] = c;
            cut[p][j] = i;
          }
        }
      }
    }
    std::vector<std::size_t> ends{n};
    for (std::size_t p = pieces; p > 0; --p) ends.push_back(cut[p][ends.back()]);
    std::reverse(ends.begin(), ends.end());
    for (std::size_t p = 0; p < pieces; ++p) arcs.push_back(arc_of(items, ends[p], ends[p + 1]));
  }
  if (arcs.empty()) {
    // Nothing resolved: one placeholder arc at the centre of the measured
    // window, a tenth of the typical modulus.
    arcs.push_back({0.1 * features.modulus_scale,
                    1.0 / std::sqrt(features.omega_min * features.omega_max), 0.9});
  }
  while (arcs.size() < count) {
    auto largest = std::max_element(arcs.begin(), arcs.end(),
                                    [](const Arc& x, const Arc& y) { return x.r < y.r; });
    Arc half = *largest;
    half.r *= 0.5;
    const double spread = std::sqrt(10.0);
    *largest = {half.r, half.tau / spread, half.alpha};
    arcs.insert(largest + 1, {half.r, half.tau * spread, half.alpha});
  }
  return arcs;
}

}  // namespace korvex
