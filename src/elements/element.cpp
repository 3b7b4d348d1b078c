#include "elements/element.hpp"

#include <cmath>

namespace korvex {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

const std::array<KindInfo, kKindCount> kCatalogue = {{
    {Kind::R, "R", "R", 1, {"r"}, {"ohm"}, {1.0}},
    {Kind::C, "C", "C", 1, {"c"}, {"F"}, {0.001}},
    {Kind::L, "L", "L", 1, {"l"}, {"H"}, {1e-6}},
    {Kind::La, "La", "La", 2, {"l", "alpha"}, {"H*s", "-"}, {1e-6, 0.8}},
    {Kind::Cpe, "Cpe", "CPE", 2, {"q", "alpha"}, {"ohm^-1*s^alpha", "-"}, {0.001, 0.8}},
    {Kind::W, "W", "W", 1, {"aw"}, {"ohm*s^-0.5"}, {1.0}},
    {Kind::Wo, "Wo", "Wo", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {Kind::Ws, "Ws", "Ws", 2, {"z0", "tau"}, {"ohm", "s"}, {1.0, 10.0}},
    {Kind::G, "G", "G", 2, {"rg", "tg"}, {"ohm", "s"}, {1.0, 1.0}},
    {Kind::Gs, "Gs", "Gs", 3, {"rg", "tg", "phi"}, {"ohm", "s", "-"}, {1.0, 1.0, 1.0}},
    {Kind::K, "K", "K", 2, {"r", "tau_k"}, {"ohm", "s"}, {1.0, 0.001}},
    {Kind::Zarc, "Zarc", "Zarc", 3, {"r", "tau_k", "gamma"}, {"ohm", "s", "-"}, {1.0, 0.001, 0.8}},
    {Kind::Tlmq,
     "Tlmq",
     "TLMQ",
     3,
     {"r_ion", "qs", "gamma"},
     {"ohm", "F*s^(gamma-1)", "-"},
     {1.0, 0.001, 0.8}},
    {Kind::T,
     "T",
     "T",
     4,
     {"a", "b", "k_tau", "tau"},
     {"ohm*m^2", "ohm*m^2", "-", "s"},
     {1.0, 1.0, 1.0, 1.0}},
}};

Element make_default(const KindInfo& info) {
  Element e;
  e.kind = info.kind;
  for (std::size_t i = 0; i < info.field_count; ++i) e.fields[i] = info.defaults[i];
  return e;
}

}  // namespace

std::span<const double> Element::values() const { return {fields.data(), field_count(kind)}; }

const KindInfo& kind_info(Kind kind) { return kCatalogue[static_cast<std::size_t>(kind)]; }

const std::array<std::string_view, kKindCount>& codes() {
  static const std::array<std::string_view, kKindCount> list = [] {
    std::array<std::string_view, kKindCount> out{};
    for (std::size_t i = 0; i < kKindCount; ++i) out[i] = kCatalogue[i].codes_entry;
    return out;
  }();
  return list;
}

std::optional<Element> default_for_code(std::string_view text) {
  for (const KindInfo& info : kCatalogue) {
    if (text == info.code) return make_default(info);
  }
  if (text == "CPE") return make_default(kind_info(Kind::Cpe));
  if (text == "TLMQ") return make_default(kind_info(Kind::Tlmq));
  return std::nullopt;
}

std::pair<double, double> bounds(std::string_view field_name) {
  if (field_name == "alpha" || field_name == "gamma") return {0.0, 1.0};
  return {1e-12, kInf};
}

FrequencyTerms::FrequencyTerms(double w)
    : omega(w), s{0.0 * w, w}, sqrt_omega(std::sqrt(w)), sqrt_omega_sq(sqrt_omega * sqrt_omega) {
  const double h = std::sqrt(std::fabs(w) / 2.0);
  sqrt_s = {h, std::copysign(h, w)};
}

namespace {

// The per-kind formulas, shared by the single-frequency and the block forms so
// that both perform the same operations in the same order. `power(z, e)` is
// z^e: cpow itself, or a PreparedPower for e that returns the same bits.

// z^e with the angle terms of the purely imaginary case worked out once: for
// z = jy (y non-zero) cpow takes t = e * copysign(pi/2, y), which only
// depends on the sign of y, so cos(t) and sin(t) are the same two pairs for
// every frequency. Everything else runs exactly as in cpow.
class PreparedPower {
 public:
  explicit PreparedPower(double e) : e_(e) {
    if (e == 1.0 || e == 0.5 || e == 0.0) return;  // cpow's exact shortcuts
    const double t_pos = e * kHalfPi;
    const double t_neg = e * -kHalfPi;
    cos_pos_ = std::cos(t_pos);
    sin_pos_ = std::sin(t_pos);
    cos_neg_ = std::cos(t_neg);
    sin_neg_ = std::sin(t_neg);
  }

  // `e` is always the exponent given at construction.
  Complex operator()(Complex z, double /*e*/) const {
    const double e = e_;
    if (e == 1.0) return z;
    if (e == 0.5) return csqrt(z);
    if (e == 0.0) return {1.0, 0.0};
    if (z.re == 0.0 && (z.im > 0.0 || z.im < 0.0)) {
      const double m = std::pow(std::fabs(z.im), e);
      return z.im > 0.0 ? Complex{m * cos_pos_, m * sin_pos_} : Complex{m * cos_neg_, m * sin_neg_};
    }
    return cpow(z, e);  // not purely imaginary: the general path
  }

 private:
  double e_;
  double cos_pos_ = 0.0, sin_pos_ = 0.0, cos_neg_ = 0.0, sin_neg_ = 0.0;
};

struct PlainPower {
  Complex operator()(Complex z, double e) const { return cpow(z, e); }
};

inline Complex z_r(const double* p, const FrequencyTerms&) { return {p[0], 0.0}; }
inline Complex z_c(const double* p, const FrequencyTerms& w) { return creciprocal(p[0] * w.s); }
inline Complex z_l(const double* p, const FrequencyTerms& w) { return p[0] * w.s; }
template <class Power>
inline Complex z_la(const double* p, const FrequencyTerms& w, const Power& power) {
  return power(p[0] * w.s, p[1]);
}
template <class Power>
inline Complex z_cpe(const double* p, const FrequencyTerms& w, const Power& power) {
  const double alpha = p[1];
  const Complex s_alpha = alpha == 0.5 ? w.sqrt_s : power(w.s, alpha);
  return creciprocal(p[0] * s_alpha);
}
inline Complex z_w(const double* p, const FrequencyTerms& w) {
  const double re = p[0] * w.sqrt_omega / w.sqrt_omega_sq;
  return {re, -(p[0] * w.sqrt_omega / w.sqrt_omega_sq)};
}
inline Complex z_wo(const double* p, const FrequencyTerms& w) {
  const Complex u = csqrt(p[1] * w.s);
  return cdiv({p[0], 0.0}, u * ctanh(u));
}
inline Complex z_ws(const double* p, const FrequencyTerms& w) {
  const Complex u = csqrt(p[1] * w.s);
  return cdiv(p[0] * ctanh(u), u);
}
inline Complex z_g(const double* p, const FrequencyTerms& w) {
  const Complex one{1.0, 0.0};
  return cdiv({p[0], 0.0}, csqrt(one + p[1] * w.s));
}
inline Complex z_gs(const double* p, const FrequencyTerms& w) {
  const Complex one{1.0, 0.0};
  const Complex v = csqrt(one + p[1] * w.s);
  return cdiv({p[0], 0.0}, v * ctanh(p[2] * v));
}
inline Complex z_k(const double* p, const FrequencyTerms& w) {
  const Complex one{1.0, 0.0};
  return cdiv({p[0], 0.0}, one + p[1] * w.s);
}
template <class Power>
inline Complex z_zarc(const double* p, const FrequencyTerms& w, const Power& power) {
  const Complex one{1.0, 0.0};
  return cdiv({p[0], 0.0}, one + power(p[1] * w.s, p[2]));
}
template <class Power>
inline Complex z_tlmq(const double* p, const FrequencyTerms& w, const Power& power) {
  const double gamma = p[2];
  const Complex s_gamma = gamma == 0.5 ? w.sqrt_s : power(w.s, gamma);
  const Complex zq = creciprocal(p[1] * s_gamma);
  const Complex num = csqrt(p[0] * zq);
  return cdiv(num, ctanh(csqrt(cdiv({p[0], 0.0}, zq))));
}
inline Complex z_t(const double* p, const FrequencyTerms& w) {
  const Complex beta = csqrt(Complex{p[2], 0.0} + p[3] * w.s);
  Complex coth, csch;
  coth_csch(beta, coth, csch);
  return cdiv(p[0] * coth + p[1] * csch, beta);
}

template <class Formula>
inline void fill(const FrequencyTerms* w, std::size_t n, double* __restrict re,
                 double* __restrict im, Formula formula) {
  for (std::size_t i = 0; i < n; ++i) {
    const Complex z = formula(w[i]);
    re[i] = z.re;
    im[i] = z.im;
  }
}

}  // namespace

Complex kind_impedance(Kind kind, const double* p, const FrequencyTerms& w) {
  const PlainPower power;
  switch (kind) {
    case Kind::R: return z_r(p, w);
    case Kind::C: return z_c(p, w);
    case Kind::L: return z_l(p, w);
    case Kind::La: return z_la(p, w, power);
    case Kind::Cpe: return z_cpe(p, w, power);
    case Kind::W: return z_w(p, w);
    case Kind::Wo: return z_wo(p, w);
    case Kind::Ws: return z_ws(p, w);
    case Kind::G: return z_g(p, w);
    case Kind::Gs: return z_gs(p, w);
    case Kind::K: return z_k(p, w);
    case Kind::Zarc: return z_zarc(p, w, power);
    case Kind::Tlmq: return z_tlmq(p, w, power);
    case Kind::T: return z_t(p, w);
  }
  return {std::nan(""), std::nan("")};
}

void kind_impedance_block(Kind kind, const double* p, const FrequencyTerms* w, std::size_t n,
                          double* re, double* im) {
  switch (kind) {
    case Kind::R: {
      const double r = p[0];
      for (std::size_t i = 0; i < n; ++i) {
        re[i] = r;
        im[i] = 0.0;
      }
      return;
    }
    case Kind::C: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_c(p, t); });
    case Kind::L: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_l(p, t); });
    case Kind::La: {
      const PreparedPower power(p[1]);
      return fill(w, n, re, im, [&](const FrequencyTerms& t) { return z_la(p, t, power); });
    }
    case Kind::Cpe: {
      const PreparedPower power(p[1]);
      return fill(w, n, re, im, [&](const FrequencyTerms& t) { return z_cpe(p, t, power); });
    }
    case Kind::W: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_w(p, t); });
    case Kind::Wo: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_wo(p, t); });
    case Kind::Ws: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_ws(p, t); });
    case Kind::G: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_g(p, t); });
    case Kind::Gs: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_gs(p, t); });
    case Kind::K: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_k(p, t); });
    case Kind::Zarc: {
      const PreparedPower power(p[2]);
      return fill(w, n, re, im, [&](const FrequencyTerms& t) { return z_zarc(p, t, power); });
    }
    case Kind::Tlmq: {
      const PreparedPower power(p[2]);
      return fill(w, n, re, im, [&](const FrequencyTerms& t) { return z_tlmq(p, t, power); });
    }
    case Kind::T: return fill(w, n, re, im, [p](const FrequencyTerms& t) { return z_t(p, t); });
  }
  for (std::size_t i = 0; i < n; ++i) re[i] = im[i] = std::nan("");
}

}  // namespace korvex
