#pragma once
// Marsaglia's xorshift generator with 128 bits of state (xor128), the fast
// generator of the differential-evolution population, drawing in single
// precision.
#include <array>
#include <cstddef>
#include <cstdint>

#include "common/chacha_rng.hpp"

namespace korvex {

class Xorshift128 {
 public:
  // An all-zero state is a fixed point of the recurrence, so it is replaced
  // by a fixed non-zero one.
  explicit Xorshift128(std::array<std::uint32_t, 4> state);
  // Four words from another generator.
  static Xorshift128 from_rng(ChaChaRng& seeder);

  std::uint32_t next_u32();
  // [0, 1) from the top 24 bits of one word: every value is exact in float.
  float next_unit() { return static_cast<float>(next_u32() >> 8) * 0x1.0p-24f; }
  // lo + (hi - lo) * next_unit().
  float uniform(float lo, float hi) { return lo + (hi - lo) * next_unit(); }
  // Uniform integer in [0, n), n > 0, without modulo bias (Lemire's method).
  std::size_t below(std::uint32_t n);

 private:
  std::uint32_t x_, y_, z_, w_;
};

}  // namespace korvex
