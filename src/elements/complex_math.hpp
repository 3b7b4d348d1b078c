#pragma once
// Complex helpers with the exact special cases the element formulas rely on.
// std::complex is avoided on purpose: its division and pow take different
// branches (e.g. Smith's algorithm) and would change results in the last bits.
#include <cmath>

namespace korvex {

inline constexpr double kSmallestNormal = 2.2250738585072014e-308;

struct Complex {
  double re = 0.0;
  double im = 0.0;
};

inline Complex operator+(Complex a, Complex b) { return {a.re + b.re, a.im + b.im}; }
inline Complex operator-(Complex a, Complex b) { return {a.re - b.re, a.im - b.im}; }
inline Complex operator*(Complex a, Complex b) {
  return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
inline Complex operator*(double s, Complex a) { return {s * a.re, s * a.im}; }

// a / b as (a * conj b) / |b|^2; a zero divisor gives inf/NaN components.
inline Complex cdiv(Complex a, Complex b) {
  const double den = b.re * b.re + b.im * b.im;
  return {(a.re * b.re + a.im * b.im) / den, (a.im * b.re - a.re * b.im) / den};
}
// 1 / b as conj b / |b|^2. Where |b|^2 is a normal number, with one division
// (every parallel group pays two reciprocals per frequency); below that, as
// cdiv takes it, so that tiny divisors give the same huge or infinite values.
inline Complex creciprocal(Complex b) {
  const double den = b.re * b.re + b.im * b.im;
  if (!(den >= kSmallestNormal)) return cdiv({1.0, 0.0}, b);
  const double inv = 1.0 / den;
  return {b.re * inv, -b.im * inv};
}

// Principal square root.
inline Complex csqrt(Complex z) {
  if (z.im == 0.0) {
    if (z.re >= 0.0) return {std::sqrt(z.re), 0.0};
    if (z.re < 0.0) return {0.0, std::sqrt(-z.re)};
    return {std::sqrt(z.re), 0.0};  // NaN
  }
  if (z.re == 0.0) {
    const double h = std::sqrt(std::fabs(z.im) / 2.0);
    return {h, std::copysign(h, z.im)};
  }
  const double r = std::sqrt(std::hypot(z.re, z.im));
  const double half = std::atan2(z.im, z.re) / 2.0;
  return {r * std::cos(half), r * std::sin(half)};
}

inline constexpr double kHalfPi = 1.5707963267948966;  // atan2(y, ±0) for y > 0

// z^p for real p, with exact shortcuts for p = 1, 0.5 and 0.
inline Complex cpow(Complex z, double p) {
  if (p == 1.0) return z;
  if (p == 0.5) return csqrt(z);
  if (p == 0.0) return {1.0, 0.0};
  // The powers of the element formulas are taken of c*j*omega, whose real
  // part is zero: there hypot(0, y) is |y| and atan2(y, ±0) is ±pi/2 exactly,
  // so both calls are skipped without changing a bit of the result.
  const bool imaginary = z.re == 0.0 && (z.im > 0.0 || z.im < 0.0);
  const double m = std::pow(imaginary ? std::fabs(z.im) : std::hypot(z.re, z.im), p);
  const double t = p * (imaginary ? std::copysign(kHalfPi, z.im) : std::atan2(z.im, z.re));
  return {m * std::cos(t), m * std::sin(t)};
}

// tanh, saturating to +-1 once |Re z| > 20.
inline Complex ctanh(Complex z) {
  if (std::fabs(z.re) > 20.0) return {std::copysign(1.0, z.re), 0.0};
  const double den = std::cosh(2.0 * z.re) + std::cos(2.0 * z.im);
  return {std::sinh(2.0 * z.re) / den, std::sin(2.0 * z.im) / den};
}

// coth and csch, as the T element and its derivative use them; both saturate
// once |Re b| > 20, where sinh and cosh would overflow.
inline void coth_csch(Complex b, Complex& coth, Complex& csch) {
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

}  // namespace korvex
