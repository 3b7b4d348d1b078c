#include "elements/derivatives.hpp"

#include <cmath>

#include "elements/jw_power.hpp"

namespace korvex {
namespace {

const Complex kOne{1.0, 0.0};

Complex neg(Complex a) { return {-a.re, -a.im}; }
Complex scale(Complex a, double s) { return {a.re * s, a.im * s}; }
Complex square(Complex a) { return a * a; }

// Principal logarithm: d(z^e)/de = z^e * log z.
Complex clog(Complex z) { return {std::log(std::hypot(z.re, z.im)), std::atan2(z.im, z.re)}; }

// ln(c j omega), c the power's base: (ln c + ln omega, pi/2) where the power
// takes its exp form (c > 0 and omega > 0 finite, where clog gives the same
// up to the rounding of ln(c omega)); clog itself elsewhere.
Complex log_jw(const JwPower& power, double c, const FrequencyTerms& w) {
  if (power.fast_at(w)) return {power.log_c() + w.log_omega, kHalfPi};
  return clog(c * w.s);
}

// tanh and its derivative sech^2 = 1 - tanh^2, with the same saturation as
// ctanh (beyond |Re z| > 20 tanh is +-1 and sech^2 is 0).
void tanh_sech2(Complex z, Complex& t, Complex& sech2) {
  t = ctanh(z);
  sech2 = std::fabs(z.re) > 20.0 ? Complex{0.0, 0.0} : kOne - square(t);
}

// Z = r.
Complex grad_r(const double* p, const FrequencyTerms&, const Prepared&, Complex* dz,
               std::size_t stride) {
  dz[0] = kOne;
  return {p[0], 0.0};
}

// Z = 1 / (c s).
Complex grad_c(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
               std::size_t stride) {
  const Complex z = creciprocal(p[0] * w.s);
  dz[0] = scale(z, -1.0 / p[0]);
  return z;
}

// Z = l s.
Complex grad_l(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
               std::size_t stride) {
  dz[0] = w.s;
  return p[0] * w.s;
}

// Z = (l s)^alpha.
Complex grad_la(const double* p, const FrequencyTerms& w, const Prepared& prep, Complex* dz,
                std::size_t stride) {
  const Complex z = prep.power(w);
  dz[0] = scale(z, p[1] / p[0]);
  dz[1 * stride] = z * log_jw(prep.power, p[0], w);
  return z;
}

// Z = 1 / (q s^alpha), as the impedance formula takes it.
Complex grad_cpe(const double* p, const FrequencyTerms& w, const Prepared& prep, Complex* dz,
                 std::size_t stride) {
  Complex z;
  if (!prep.power.scaled(prep.log_q, -1.0, w, z)) {
    const Complex s_alpha = p[1] == 0.5 ? w.sqrt_s : prep.power(w);
    z = creciprocal(p[0] * s_alpha);
  }
  dz[0] = scale(z, -1.0 / p[0]);
  dz[1 * stride] = neg(z * log_jw(prep.power, 1.0, w));
  return z;
}

// Z = p0 (1 - j) / sqrt(omega): linear in p0.
Complex grad_w(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
               std::size_t stride) {
  const double unit = w.warburg;
  dz[0] = {unit, -unit};
  return {unit * p[0], -unit * p[0]};
}

// Z = z0 / (u tanh u), u = sqrt(tau s); du/dtau = u / (2 tau).
Complex grad_wo(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
                std::size_t stride) {
  const Complex u = csqrt(p[1] * w.s);
  Complex t, sech2;
  tanh_sech2(u, t, sech2);
  const Complex d = u * t;
  const Complex unit = creciprocal(d);
  dz[0] = unit;
  const Complex dd_du = t + u * sech2;
  dz[1 * stride] = scale(cdiv(neg(p[0] * dd_du), square(d)) * u, 0.5 / p[1]);
  return scale(unit, p[0]);
}

// Z = z0 tanh(u) / u, u = sqrt(tau s).
Complex grad_ws(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
                std::size_t stride) {
  const Complex u = csqrt(p[1] * w.s);
  Complex t, sech2;
  tanh_sech2(u, t, sech2);
  const Complex unit = cdiv(t, u);
  dz[0] = unit;
  const Complex dz_du = scale(cdiv(sech2 * u - t, square(u)), p[0]);
  dz[1 * stride] = scale(dz_du * u, 0.5 / p[1]);
  return scale(unit, p[0]);
}

// Z = rg / v, v = sqrt(1 + tg s); dv/dtg = s / (2 v).
Complex grad_g(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
               std::size_t stride) {
  const Complex v = csqrt(kOne + p[1] * w.s);
  const Complex unit = creciprocal(v);
  dz[0] = unit;
  const Complex z = scale(unit, p[0]);
  dz[1 * stride] = scale(cdiv(z * w.s, square(v)), -0.5);
  return z;
}

// Z = rg / D, D = v tanh(phi v), v = sqrt(1 + tg s).
Complex grad_gs(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
                std::size_t stride) {
  const Complex v = csqrt(kOne + p[1] * w.s);
  Complex t, sech2;
  tanh_sech2(p[2] * v, t, sech2);
  const Complex d = v * t;
  const Complex unit = creciprocal(d);
  dz[0] = unit;
  const Complex minus_z_over_d = cdiv(Complex{-p[0], 0.0}, square(d));
  const Complex dd_dv = t + scale(v * sech2, p[2]);
  const Complex dv_dtg = cdiv(w.s, scale(v, 2.0));
  dz[1 * stride] = minus_z_over_d * dd_dv * dv_dtg;
  dz[2 * stride] = minus_z_over_d * square(v) * sech2;
  return scale(unit, p[0]);
}

// Z = r / (1 + tau s).
Complex grad_k(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
               std::size_t stride) {
  const Complex den = kOne + p[1] * w.s;
  const Complex unit = creciprocal(den);
  dz[0] = unit;
  dz[1 * stride] = cdiv(Complex{-p[0], 0.0} * w.s, square(den));
  return scale(unit, p[0]);
}

// Z = r / (1 + P), P = (tau s)^gamma.
Complex grad_zarc(const double* p, const FrequencyTerms& w, const Prepared& prep, Complex* dz,
                  std::size_t stride) {
  const Complex pw = prep.power(w);
  const Complex den = kOne + pw;
  const Complex unit = creciprocal(den);
  dz[0] = unit;
  const Complex minus_r_over_den2 = cdiv(Complex{-p[0], 0.0}, square(den));
  dz[1 * stride] = scale(minus_r_over_den2 * pw, p[2] / p[1]);
  dz[2 * stride] = minus_r_over_den2 * pw * log_jw(prep.power, p[1], w);
  return scale(unit, p[0]);
}

// Z = a coth b with a = sqrt(r zq), b = sqrt(r / zq), zq = 1 / (qs s^gamma):
// every field scales a and b by powers, so dZ/dx = a' coth b - a csch^2 b b'.
Complex grad_tlmq(const double* p, const FrequencyTerms& w, const Prepared& prep, Complex* dz,
                  std::size_t stride) {
  const double r = p[0], qs = p[1], gamma = p[2];
  const Complex s_gamma = gamma == 0.5 ? w.sqrt_s : prep.power(w);
  const Complex zq = creciprocal(qs * s_gamma);
  const Complex a = csqrt(r * zq);
  const Complex b = csqrt(cdiv({r, 0.0}, zq));
  Complex t, sech2;
  tanh_sech2(b, t, sech2);
  const Complex coth = creciprocal(t);
  const Complex csch2 = cdiv(sech2, square(t));
  const Complex z = a * coth;
  // dZ for d ln a = ka and d ln b = kb.
  auto along = [&](Complex ka, Complex kb) { return a * ka * coth - a * csch2 * b * kb; };
  dz[0] = along({0.5 / r, 0.0}, {0.5 / r, 0.0});
  dz[1 * stride] = along({-0.5 / qs, 0.0}, {0.5 / qs, 0.0});
  const Complex half_log_s = scale(log_jw(prep.power, 1.0, w), 0.5);
  dz[2 * stride] = along(neg(half_log_s), half_log_s);
  return z;
}

// Z = (a coth beta + b csch beta) / beta, beta = sqrt(k_tau + tau s).
Complex grad_t(const double* p, const FrequencyTerms& w, const Prepared&, Complex* dz,
               std::size_t stride) {
  const Complex beta = csqrt(Complex{p[2], 0.0} + p[3] * w.s);
  Complex coth, csch;
  coth_csch(beta, coth, csch);
  const Complex z = cdiv(p[0] * coth + p[1] * csch, beta);
  dz[0] = cdiv(coth, beta);
  dz[1 * stride] = cdiv(csch, beta);
  // d coth = -csch^2, d csch = -csch coth.
  const Complex dnum = neg(p[0] * square(csch) + p[1] * csch * coth);
  const Complex dz_dbeta = cdiv(dnum - z, beta);
  const Complex dbeta_dk = creciprocal(scale(beta, 2.0));
  dz[2 * stride] = dz_dbeta * dbeta_dk;
  dz[3 * stride] = dz_dbeta * dbeta_dk * w.s;
  return z;
}

using Gradient = Complex (*)(const double*, const FrequencyTerms&, const Prepared&, Complex*,
                             std::size_t);

// One kind's gradient at every frequency; the formula is a template argument
// so that each loop is compiled for its element.
template <Kind kind, Gradient gradient>
void fill(const double* p, const FrequencyTerms* w, std::size_t n, Complex* z, Complex* dz,
          std::size_t stride) {
  // A local copy of the fields: no store into z or dz can change them, so
  // their quotients are worked out once rather than per frequency.
  double fields[kMaxFields];
  for (std::size_t k = 0; k < kMaxFields; ++k) fields[k] = k < field_count(kind) ? p[k] : 0.0;
  const Prepared prep = prepare(kind, fields);
  for (std::size_t i = 0; i < n; ++i) z[i] = gradient(fields, w[i], prep, dz + i, stride);
}

}  // namespace

void kind_impedance_gradient_block(Kind kind, const double* p, const FrequencyTerms* w,
                                   std::size_t n, Complex* z, Complex* dz, std::size_t stride) {
  switch (kind) {
    case Kind::R: return fill<Kind::R, grad_r>(p, w, n, z, dz, stride);
    case Kind::C: return fill<Kind::C, grad_c>(p, w, n, z, dz, stride);
    case Kind::L: return fill<Kind::L, grad_l>(p, w, n, z, dz, stride);
    case Kind::La: return fill<Kind::La, grad_la>(p, w, n, z, dz, stride);
    case Kind::Cpe: return fill<Kind::Cpe, grad_cpe>(p, w, n, z, dz, stride);
    case Kind::W: return fill<Kind::W, grad_w>(p, w, n, z, dz, stride);
    case Kind::Wo: return fill<Kind::Wo, grad_wo>(p, w, n, z, dz, stride);
    case Kind::Ws: return fill<Kind::Ws, grad_ws>(p, w, n, z, dz, stride);
    case Kind::G: return fill<Kind::G, grad_g>(p, w, n, z, dz, stride);
    case Kind::Gs: return fill<Kind::Gs, grad_gs>(p, w, n, z, dz, stride);
    case Kind::K: return fill<Kind::K, grad_k>(p, w, n, z, dz, stride);
    case Kind::Zarc: return fill<Kind::Zarc, grad_zarc>(p, w, n, z, dz, stride);
    case Kind::Tlmq: return fill<Kind::Tlmq, grad_tlmq>(p, w, n, z, dz, stride);
    case Kind::T: return fill<Kind::T, grad_t>(p, w, n, z, dz, stride);
  }
  for (std::size_t i = 0; i < n; ++i) z[i] = {std::nan(""), std::nan("")};
}

Complex kind_impedance_gradient(Kind kind, const double* p, const FrequencyTerms& w, Complex* dz) {
  Complex z;
  kind_impedance_gradient_block(kind, p, &w, 1, &z, dz, 1);
  return z;
}

}  // namespace korvex
