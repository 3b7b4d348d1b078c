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
    {Kind::Tlmq, "Tlmq", "TLMQ", 3, {"r_ion", "qs", "gamma"}, {"ohm", "F*s^(gamma-1)", "-"},
     {1.0, 0.001, 0.8}},
    {Kind::T, "T", "T", 4, {"a", "b", "k_tau", "tau"}, {"ohm*m^2", "ohm*m^2", "-", "s"},
     {1.0, 1.0, 1.0, 1.0}},
}};

Element make_default(const KindInfo& info) {
  Element e;
  e.kind = info.kind;
  for (std::size_t i = 0; i < info.field_count; ++i) e.fields[i] = info.defaults[i];
  return e;
}

// coth and csch of the T element, saturating once |Re b| > 20.
void coth_csch(Complex b, Complex& coth, Complex& csch) {
  if (std::fabs(b.re) > 20.0) {
    coth = {std::copysign(1.0, b.re), 0.0};
    csch = {0.0, 0.0};
    return;
  }
  const Complex sinh_b{std::sinh(b.re) * std::cos(b.im), std::cosh(b.re) * std::sin(b.im)};
  const Complex cosh_b{std::cosh(b.re) * std::cos(b.im), std::sinh(b.re) * std::sin(b.im)};
  coth = cdiv(cosh_b, sinh_b);
  csch = creciprocal(sinh_b);
}

}  // namespace

std::span<const double> Element::values() const {
  return {fields.data(), field_count(kind)};
}

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
    : omega(w),
      s{0.0 * w, w},
      sqrt_omega(std::sqrt(w)),
      sqrt_omega_sq(sqrt_omega * sqrt_omega) {
  const double h = std::sqrt(std::fabs(w) / 2.0);
  sqrt_s = {h, std::copysign(h, w)};
}

Complex kind_impedance(Kind kind, const double* p, const FrequencyTerms& w) {
  const Complex one{1.0, 0.0};
  switch (kind) {
    case Kind::R:
      return {p[0], 0.0};
    case Kind::C:
      return creciprocal(p[0] * w.s);
    case Kind::L:
      return p[0] * w.s;
    case Kind::La:
      return cpow(p[0] * w.s, p[1]);
    case Kind::Cpe: {
      const double alpha = p[1];
      const Complex s_alpha = alpha == 0.5 ? w.sqrt_s : cpow(w.s, alpha);
      return creciprocal(p[0] * s_alpha);
    }
    case Kind::W: {
      const double re = p[0] * w.sqrt_omega / w.sqrt_omega_sq;
      return {re, -(p[0] * w.sqrt_omega / w.sqrt_omega_sq)};
    }
    case Kind::Wo: {
      const Complex u = csqrt(p[1] * w.s);
      return cdiv({p[0], 0.0}, u * ctanh(u));
    }
    case Kind::Ws: {
      const Complex u = csqrt(p[1] * w.s);
      return cdiv(p[0] * ctanh(u), u);
    }
    case Kind::G:
      return cdiv({p[0], 0.0}, csqrt(one + p[1] * w.s));
    case Kind::Gs: {
      const Complex v = csqrt(one + p[1] * w.s);
      return cdiv({p[0], 0.0}, v * ctanh(p[2] * v));
    }
    case Kind::K:
      return cdiv({p[0], 0.0}, one + p[1] * w.s);
    case Kind::Zarc:
      return cdiv({p[0], 0.0}, one + cpow(p[1] * w.s, p[2]));
    case Kind::Tlmq: {
      const double gamma = p[2];
      const Complex s_gamma = gamma == 0.5 ? w.sqrt_s : cpow(w.s, gamma);
      const Complex zq = creciprocal(p[1] * s_gamma);
      const Complex num = csqrt(p[0] * zq);
      return cdiv(num, ctanh(csqrt(cdiv({p[0], 0.0}, zq))));
    }
    case Kind::T: {
      const Complex beta = csqrt(Complex{p[2], 0.0} + p[3] * w.s);
      Complex coth, csch;
      coth_csch(beta, coth, csch);
      return cdiv(p[0] * coth + p[1] * csch, beta);
    }
  }
  return {std::nan(""), std::nan("")};
}

}  // namespace korvex
