#pragma once
// An exp that vectorises: the guesser's GELU takes it on whole activation
// arrays, four lanes at a time. (One at a time, libm's exp is faster.)
#include <bit>
#include <cstdint>

namespace korvex {

// e^x for x in [-708, 709], within about two units in the last place: a
// rounded multiple k of ln 2 split off, a degree-13 Taylor polynomial on the
// rest (|r| <= ln 2 / 2), and 2^k put in the exponent bits. Written for any
// T with double arithmetic (double, or a vector of doubles) and I, the
// matching 64-bit integer type, so that the guesser's GELU runs it four lanes at a
// time with every lane's bits those of the scalar form.
// Always inlined: a caller built for another instruction set (the GELU's
// AVX2 clone) passes vectors in other registers than an out-of-line copy
// built for the baseline would read them from.
template <class T, class I>
__attribute__((always_inline)) inline T exp_in_range(T x) {
  constexpr double kLog2e = 1.4426950408889634;
  constexpr double kShifter = 6755399441055744.0;  // 1.5 * 2^52: adding it rounds to an integer
  constexpr double kLn2Hi = 6.93147180369123816490e-01;  // k * kLn2Hi is exact for |k| < 2^11
  constexpr double kLn2Lo = 1.90821492927058770002e-10;
  const T t = x * kLog2e + kShifter;
  const T k = t - kShifter;
  const T r = (x - k * kLn2Hi) - k * kLn2Lo;
  // The degree-13 polynomial in Estrin's form: pairs, then powers r^2, r^4
  // and r^8, so that its latency is five steps rather than thirteen.
  const T r2 = r * r;
  const T r4 = r2 * r2;
  const T r8 = r4 * r4;
  const T q0 = 1.0 + r;
  const T q1 = 0.5 + r * (1.0 / 6.0);
  const T q2 = 1.0 / 24.0 + r * (1.0 / 120.0);
  const T q3 = 1.0 / 720.0 + r * (1.0 / 5040.0);
  const T q4 = 1.0 / 40320.0 + r * (1.0 / 362880.0);
  const T q5 = 1.0 / 3628800.0 + r * (1.0 / 39916800.0);
  const T q6 = 1.0 / 479001600.0 + r * (1.0 / 6227020800.0);
  const T low = (q0 + q1 * r2) + (q2 + q3 * r2) * r4;
  const T high = (q4 + q5 * r2) + q6 * r4;
  const T p = low + high * r8;
  const I ki = std::bit_cast<I>(t) - std::bit_cast<std::int64_t>(kShifter);
  return p * std::bit_cast<T>((ki + 1023) << 52);
}

}  // namespace korvex
