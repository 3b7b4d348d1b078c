#include "elements/element.hpp"

#include <cmath>

#include "elements/jw_power.hpp"

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

FrequencyTerms::FrequencyTerms(double w, bool with_log)
    : omega(w), s{0.0 * w, w}, log_omega(with_log ? std::log(w) : std::nan("")) {
  const double root = std::sqrt(w);
  warburg = root / (root * root);
  const double h = std::sqrt(std::fabs(w) / 2.0);
  sqrt_s = {h, std::copysign(h, w)};
}

namespace {

// The per-kind formulas, shared by the single-frequency and the block forms so
// that both perform the same operations in the same order.

inline Complex z_r(const double* p, const FrequencyTerms&) { return {p[0], 0.0}; }
inline Complex z_c(const double* p, const FrequencyTerms& w) { return creciprocal(p[0] * w.s); }
inline Complex z_l(const double* p, const FrequencyTerms& w) { return p[0] * w.s; }
inline Complex z_la(const double*, const FrequencyTerms& w, const Prepared& prep) {
  return prep.power(w);
}
// 1 / (q (j omega)^alpha). On the power's exp form, with q > 0 finite, one exp
// and no division: (q omega^alpha)^-1 (cos t - j sin t). Moduli beyond 1e152
// or below 1e-152 take the reciprocal, which under- and overflows there as
// it always did (a fit's wild trial steps are rejected on it).
inline Complex z_cpe(const double* p, const FrequencyTerms& w, const Prepared& prep) {
  Complex z;
  if (prep.power.scaled(prep.log_q, -1.0, w, z)) return z;
  const Complex s_alpha = p[1] == 0.5 ? w.sqrt_s : prep.power(w);
  return creciprocal(p[0] * s_alpha);
}
inline Complex z_w(const double* p, const FrequencyTerms& w) {
  const double re = p[0] * w.warburg;
  return {re, -re};
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
inline Complex z_zarc(const double* p, const FrequencyTerms& w, const Prepared& prep) {
  const Complex one{1.0, 0.0};
  return cdiv({p[0], 0.0}, one + prep.power(w));
}
inline Complex z_tlmq(const double* p, const FrequencyTerms& w, const Prepared& prep) {
  const Complex s_gamma = p[2] == 0.5 ? w.sqrt_s : prep.power(w);
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

// One kind's formula at one frequency, with its frequency-free terms.
inline Complex formula(Kind kind, const double* p, const FrequencyTerms& w, const Prepared& prep) {
  switch (kind) {
    case Kind::R: return z_r(p, w);
    case Kind::C: return z_c(p, w);
    case Kind::L: return z_l(p, w);
    case Kind::La: return z_la(p, w, prep);
    case Kind::Cpe: return z_cpe(p, w, prep);
    case Kind::W: return z_w(p, w);
    case Kind::Wo: return z_wo(p, w);
    case Kind::Ws: return z_ws(p, w);
    case Kind::G: return z_g(p, w);
    case Kind::Gs: return z_gs(p, w);
    case Kind::K: return z_k(p, w);
    case Kind::Zarc: return z_zarc(p, w, prep);
    case Kind::Tlmq: return z_tlmq(p, w, prep);
    case Kind::T: return z_t(p, w);
  }
  return {std::nan(""), std::nan("")};
}

// 1 / Z of R, C and CPE (has_direct_admittance), z the impedance formula's value.
inline Complex admittance(Kind kind, const double* p, const FrequencyTerms& w,
                          const Prepared& prep) {
  // Away from under- and overflow of the reciprocals, where both forms differ
  // in the last bits only.
  if (kind == Kind::C) {
    const double m = p[0] * std::fabs(w.omega);
    if (m > 1e-150 && m < 1e150) return p[0] * w.s;
  }
  Complex y;
  if (kind == Kind::Cpe && prep.power.scaled(prep.log_q, 1.0, w, y)) return y;
  return creciprocal(formula(kind, p, w, prep));
}

// `value` (formula or admittance) of one kind at every frequency: the
// kind is a template argument so that each loop is compiled for its element.
template <Kind kind, Complex (*value)(Kind, const double*, const FrequencyTerms&, const Prepared&)>
void fill_with(const double* p, const FrequencyTerms* w, std::size_t n, double* __restrict re,
               double* __restrict im) {
  const Prepared prep = prepare(kind, p);
  for (std::size_t i = 0; i < n; ++i) {
    const Complex v = value(kind, p, w[i], prep);
    re[i] = v.re;
    im[i] = v.im;
  }
}

template <Kind kind>
void fill_admittance(const double* p, const FrequencyTerms* w, std::size_t n, double* __restrict re,
                     double* __restrict im) {
  fill_with<kind, admittance>(p, w, n, re, im);
}

template <Kind kind>
void fill(const double* p, const FrequencyTerms* w, std::size_t n, double* __restrict re,
          double* __restrict im) {
  fill_with<kind, formula>(p, w, n, re, im);
}

}  // namespace

Complex kind_impedance(Kind kind, const double* p, const FrequencyTerms& w) {
  return formula(kind, p, w, prepare(kind, p));
}

Complex kind_admittance(Kind kind, const double* p, const FrequencyTerms& w) {
  return admittance(kind, p, w, prepare(kind, p));
}

void kind_admittance_block(Kind kind, const double* p, const FrequencyTerms* w, std::size_t n,
                           double* re, double* im) {
  switch (kind) {
    case Kind::R: {
      // The same value at every frequency.
      const Complex y = creciprocal({p[0], 0.0});
      for (std::size_t i = 0; i < n; ++i) {
        re[i] = y.re;
        im[i] = y.im;
      }
      return;
    }
    case Kind::C: return fill_admittance<Kind::C>(p, w, n, re, im);
    case Kind::Cpe: return fill_admittance<Kind::Cpe>(p, w, n, re, im);
    default: break;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const Complex y = kind_admittance(kind, p, w[i]);
    re[i] = y.re;
    im[i] = y.im;
  }
}

void kind_impedance_block(Kind kind, const double* p, const FrequencyTerms* w, std::size_t n,
                          double* re, double* im) {
  switch (kind) {
    case Kind::R: return fill<Kind::R>(p, w, n, re, im);
    case Kind::C: return fill<Kind::C>(p, w, n, re, im);
    case Kind::L: return fill<Kind::L>(p, w, n, re, im);
    case Kind::La: return fill<Kind::La>(p, w, n, re, im);
    case Kind::Cpe: return fill<Kind::Cpe>(p, w, n, re, im);
    case Kind::W: return fill<Kind::W>(p, w, n, re, im);
    case Kind::Wo: return fill<Kind::Wo>(p, w, n, re, im);
    case Kind::Ws: return fill<Kind::Ws>(p, w, n, re, im);
    case Kind::G: return fill<Kind::G>(p, w, n, re, im);
    case Kind::Gs: return fill<Kind::Gs>(p, w, n, re, im);
    case Kind::K: return fill<Kind::K>(p, w, n, re, im);
    case Kind::Zarc: return fill<Kind::Zarc>(p, w, n, re, im);
    case Kind::Tlmq: return fill<Kind::Tlmq>(p, w, n, re, im);
    case Kind::T: return fill<Kind::T>(p, w, n, re, im);
  }
  for (std::size_t i = 0; i < n; ++i) re[i] = im[i] = std::nan("");
}

}  // namespace korvex
