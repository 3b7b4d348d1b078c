#pragma once
// The standard generator of the searches: the ChaCha stream cipher with 12
// rounds, read as a stream of 32-bit words. The key is filled from a 64-bit
// seed by eight PCG32 outputs, or from the operating system's entropy.
#include <array>
#include <cstdint>
#include <optional>

namespace korvex {

using ChaChaState = std::array<std::uint32_t, 16>;
using ChaChaKey = std::array<std::uint32_t, 8>;

// The ChaCha block function: `rounds` rounds (two per double round) over the
// 16-word input, then the input added word by word.
ChaChaState chacha_block(const ChaChaState& input, int rounds);

// The eight 32-bit PCG32 XSH-RR outputs of a 64-bit state that starts at
// `seed`; the state advances before each output.
ChaChaKey pcg32_key(std::uint64_t seed);

// Uniform double in [0, 1): the top 53 bits of v times 2^-53.
inline double unit_from_bits(std::uint64_t v) { return static_cast<double>(v >> 11) * 0x1.0p-53; }

// low + scale * (u - 1) with u in [1, 2) made of the top 52 bits of v as
// mantissa: a uniform draw in [low, low + scale], up to the rounding of the
// final sum.
double uniform_from_bits(std::uint64_t v, double low, double scale);

class ChaChaRng {
 public:
  static constexpr int kRounds = 12;

  // 64-bit block counter from 0 and a zero nonce, djb's original layout.
  explicit ChaChaRng(const ChaChaKey& key, int rounds = kRounds);
  static ChaChaRng from_seed(std::uint64_t seed) { return ChaChaRng(pcg32_key(seed)); }
  static ChaChaRng from_entropy();
  // Seeded when a seed is given, from entropy otherwise.
  static ChaChaRng from_optional_seed(std::optional<std::uint64_t> seed) {
    return seed ? from_seed(*seed) : from_entropy();
  }

  std::uint32_t next_u32();
  // Two consecutive words, the first as the low half.
  std::uint64_t next_u64();
  // [0, 1) from one 64-bit draw.
  double next_unit() { return unit_from_bits(next_u64()); }
  // lo + (hi - lo) * next_unit(): uniform between the two, either order.
  double uniform(double lo, double hi) { return lo + (hi - lo) * next_unit(); }

 private:
  void refill();

  ChaChaState input_{};
  ChaChaState block_{};
  std::size_t index_ = 16;  // next unread word of block_; 16 means empty
  int rounds_;
};

}  // namespace korvex
