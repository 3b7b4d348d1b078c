#include "common/chacha_rng.hpp"

#include <bit>
#include <cstddef>
#include <cstring>

#include "common/entropy.hpp"

namespace korvex {
namespace {

inline void quarter_round(ChaChaState& x, int a, int b, int c, int d) {
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 16);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 12);
  x[a] += x[b];
  x[d] = std::rotl(x[d] ^ x[a], 8);
  x[c] += x[d];
  x[b] = std::rotl(x[b] ^ x[c], 7);
}

}  // namespace

ChaChaState chacha_block(const ChaChaState& input, int rounds) {
  ChaChaState x = input;
  for (int r = 0; r < rounds; r += 2) {
    quarter_round(x, 0, 4, 8, 12);
    quarter_round(x, 1, 5, 9, 13);
    quarter_round(x, 2, 6, 10, 14);
    quarter_round(x, 3, 7, 11, 15);
    quarter_round(x, 0, 5, 10, 15);
    quarter_round(x, 1, 6, 11, 12);
    quarter_round(x, 2, 7, 8, 13);
    quarter_round(x, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) x[i] += input[i];
  return x;
}

ChaChaKey pcg32_key(std::uint64_t seed) {
  constexpr std::uint64_t kMultiplier = 6364136223846793005ull;
  constexpr std::uint64_t kIncrement = 11634580027462260723ull;
  ChaChaKey key{};
  std::uint64_t state = seed;
  for (auto& word : key) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    word = std::rotr(xorshifted, rot);
  }
  return key;
}

double uniform_from_bits(std::uint64_t v, double low, double scale) {
  const std::uint64_t bits = (v >> 12) | 0x3FF0000000000000ull;  // exponent of 1.0
  const double u = std::bit_cast<double>(bits);
  return scale * (u - 1.0) + low;
}

ChaChaRng::ChaChaRng(const ChaChaKey& key, int rounds) : rounds_(rounds) {
  // "expand 32-byte k"
  input_[0] = 0x61707865;
  input_[1] = 0x3320646e;
  input_[2] = 0x79622d32;
  input_[3] = 0x6b206574;
  for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = key[i];
  // Words 12 and 13: the 64-bit block counter; 14 and 15: the zero nonce.
}

ChaChaRng ChaChaRng::from_entropy() {
  std::array<std::byte, 32> bytes;
  fill_from_entropy(bytes);
  ChaChaKey key;
  for (std::size_t i = 0; i < 8; ++i) {
    std::uint32_t w = 0;
    for (std::size_t b = 0; b < 4; ++b) {
      w |= static_cast<std::uint32_t>(bytes[4 * i + b]) << (8 * b);
    }
    key[i] = w;
  }
  return ChaChaRng(key);
}

void ChaChaRng::refill() {
  block_ = chacha_block(input_, rounds_);
  if (++input_[12] == 0) ++input_[13];
  index_ = 0;
}

std::uint32_t ChaChaRng::next_u32() {
  if (index_ >= 16) refill();
  return block_[index_++];
}

std::uint64_t ChaChaRng::next_u64() {
  const std::uint64_t lo = next_u32();
  const std::uint64_t hi = next_u32();
  return lo | (hi << 32);
}

}  // namespace korvex
