#pragma once
// Powers of c*j*omega with the frequency-free work done once per element:
// shared by the impedance formulas and their derivatives, so that both take
// the same value of a power at the same frequency.
#include <cmath>
#include <limits>

#include "elements/element.hpp"

namespace korvex {

// (c*j*omega)^e for a fixed c and e. At a finite omega > 0 with c > 0 finite
// this is exp(e * (ln c + ln omega)) * (cos t + j sin t), t = e*pi/2: one exp
// per frequency, with the angle terms and ln c worked out once per call. The
// exact shortcuts of cpow (e = 1, 0.5, 0) and every other case (c or omega
// zero, negative, infinite or NaN) take cpow itself.
class JwPower {
 public:
  JwPower() = default;
  JwPower(double c, double e) : c_(c), e_(e) {
    fast_ = e != 1.0 && e != 0.5 && e != 0.0 && c > 0.0 &&
            c < std::numeric_limits<double>::infinity() && std::isfinite(e);
    if (!fast_) return;
    log_c_ = std::log(c);
    cos_t_ = std::cos(e * kHalfPi);
    sin_t_ = std::sin(e * kHalfPi);
  }

  // True where operator() takes the exp form.
  bool fast_at(const FrequencyTerms& w) const { return fast_ && std::isfinite(w.log_omega); }
  double e() const { return e_; }
  double log_c() const { return log_c_; }
  double cos_t() const { return cos_t_; }
  double sin_t() const { return sin_t_; }

  Complex operator()(const FrequencyTerms& w) const {
    if (!fast_at(w)) return cpow(c_ * w.s, e_);
    const double m = std::exp(e_ * (log_c_ + w.log_omega));
    return {m * cos_t_, m * sin_t_};
  }

  // q (j omega)^e (sign 1) or its reciprocal (sign -1) for c = 1, with
  // log_q = ln q of a q > 0 finite: one exp and no division. False where the
  // power takes cpow, where log_q is not finite, or where the modulus lies
  // beyond 1e+-152: the callers then take the reciprocal, which under- and
  // overflows there as it always did (a fit's wild trial steps are rejected
  // on it).
  bool scaled(double log_q, double sign, const FrequencyTerms& w, Complex& out) const {
    if (!fast_at(w) || !(log_q < std::numeric_limits<double>::infinity())) return false;
    const double x = sign * (e_ * w.log_omega + log_q);
    if (!(std::fabs(x) < 350.0)) return false;
    const double m = std::exp(x);
    out = {m * cos_t_, sign * (m * sin_t_)};
    return true;
  }

 private:
  double c_ = 1.0, e_ = 1.0;
  bool fast_ = false;
  double log_c_ = 0.0, cos_t_ = 0.0, sin_t_ = 0.0;
};

// What an element's formula needs that does not depend on the frequency.
struct Prepared {
  JwPower power;
  double log_q = std::numeric_limits<double>::infinity();  // CPE: ln q where q > 0 is finite
};

inline Prepared prepare(Kind kind, const double* p) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  Prepared out;
  switch (kind) {
    case Kind::La: out.power = JwPower(p[0], p[1]); break;
    case Kind::Cpe:
      out.power = JwPower(1.0, p[1]);
      if (p[0] > 0.0 && p[0] < kInf) out.log_q = std::log(p[0]);
      break;
    case Kind::Zarc: out.power = JwPower(p[1], p[2]); break;
    case Kind::Tlmq: out.power = JwPower(1.0, p[2]); break;
    default: break;
  }
  return out;
}

}  // namespace korvex
