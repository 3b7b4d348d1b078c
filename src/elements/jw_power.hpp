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

 private:
  double c_ = 1.0, e_ = 1.0;
  bool fast_ = false;
  double log_c_ = 0.0, cos_t_ = 0.0, sin_t_ = 0.0;
};

}  // namespace korvex
