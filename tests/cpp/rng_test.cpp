#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "common/chacha_rng.hpp"
#include "fit/xorshift_rng.hpp"

namespace korvex {
namespace {

// RFC 8439, 2.3.2: key 00..1f, block count 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00
// (the RFC's layout: one counter word, three nonce words), 20 rounds.
TEST(ChaChaBlock, Rfc8439BlockFunction) {
  ChaChaState in = {0x61707865, 0x3320646e, 0x79622d32, 0x6b206574, 0x03020100, 0x07060504,
                    0x0b0a0908, 0x0f0e0d0c, 0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                    0x00000001, 0x09000000, 0x4a000000, 0x00000000};
  const ChaChaState expected = {0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
  EXPECT_EQ(chacha_block(in, 20), expected);
}

// RFC 8439, A.1 vectors 1 and 2: zero key and nonce, counters 0 and 1. Read
// through the generator they also check the word order and the counter step.
TEST(ChaChaRng, ZeroKeyKeystreamTwentyRounds) {
  ChaChaRng rng(ChaChaKey{}, 20);
  const std::array<std::uint32_t, 16> block0 = {0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653,
                                                0xb819d2bd, 0x1aed8da0, 0xccef36a8, 0xc70d778b,
                                                0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                                0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2};
  for (std::uint32_t w : block0) EXPECT_EQ(rng.next_u32(), w);
  EXPECT_EQ(rng.next_u32(), 0xbee7079fu);  // 9f 07 e7 be
  EXPECT_EQ(rng.next_u32(), 0x7a385155u);  // 55 51 38 7a
}

// The same stream with 12 rounds (published ChaCha12 vector, zero key and IV:
// 9b f4 9a 6a 07 55 f9 53 81 1f ce 12 5f 26 83 d5).
TEST(ChaChaRng, ZeroKeyKeystreamTwelveRounds) {
  ChaChaRng rng(ChaChaKey{});
  for (std::uint32_t w : {0x6a9af49bu, 0x53f95507u, 0x12ce1f81u, 0xd583265fu}) {
    EXPECT_EQ(rng.next_u32(), w);
  }
}

// Values from an independent reference implementation of the PCG32 key
// expansion and the 12-round stream.
TEST(ChaChaRng, SeedExpansionAndStream) {
  const ChaChaKey key0 = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                          0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
  EXPECT_EQ(pcg32_key(0), key0);

  ChaChaRng rng = ChaChaRng::from_seed(42);
  for (int i = 0; i < 14; ++i) rng.next_u32();
  EXPECT_EQ(rng.next_u32(), 0x2f8eb737u);
  // A 64-bit draw across the block boundary: word 15 low, word 16 high.
  EXPECT_EQ(rng.next_u64(), 0xa11c835ed9688d9bull);
}

TEST(ChaChaRng, SeededStreamsRepeatUnseededDiffer) {
  ChaChaRng a = ChaChaRng::from_seed(7), b = ChaChaRng::from_seed(7);
  ChaChaRng c = ChaChaRng::from_seed(8);
  ChaChaRng e1 = ChaChaRng::from_entropy(), e2 = ChaChaRng::from_entropy();
  bool seeded_differs = false, entropy_differs = false;
  for (int i = 0; i < 64; ++i) {
    const std::uint64_t va = a.next_u64();
    EXPECT_EQ(va, b.next_u64());
    seeded_differs |= va != c.next_u64();
    entropy_differs |= e1.next_u64() != e2.next_u64();
  }
  EXPECT_TRUE(seeded_differs);
  EXPECT_TRUE(entropy_differs);
  // from_optional_seed follows the seed when one is given.
  ChaChaRng o = ChaChaRng::from_optional_seed(7), p = ChaChaRng::from_seed(7);
  EXPECT_EQ(o.next_u64(), p.next_u64());
}

TEST(Draws, EndPoints) {
  const std::uint64_t all = ~std::uint64_t{0};
  EXPECT_EQ(unit_from_bits(0), 0.0);
  EXPECT_EQ(unit_from_bits(all), 1.0 - 0x1.0p-53);
  EXPECT_EQ(unit_from_bits(std::uint64_t{1} << 63), 0.5);

  EXPECT_EQ(uniform_from_bits(0, -1.5, 3.0), -1.5);
  EXPECT_EQ(uniform_from_bits(std::uint64_t{1} << 63, -1.5, 3.0), 0.0);
  EXPECT_LT(uniform_from_bits(all, -1.5, 3.0), 1.5);
  EXPECT_GT(uniform_from_bits(all, -1.5, 3.0), 1.5 - 1e-12);
  // A zero scale gives the low end whatever the bits: a zero-width step.
  for (std::uint64_t v : {std::uint64_t{0}, all, std::uint64_t{12345}}) {
    EXPECT_EQ(uniform_from_bits(v, -0.0, 0.0), 0.0);
  }
}

// Marsaglia (2003), "Xorshift RNGs": xor128 from its example state.
TEST(Xorshift128, ReferenceSequence) {
  Xorshift128 rng({123456789, 362436069, 521288629, 88675123});
  EXPECT_EQ(rng.next_u32(), 3701687786u);
  EXPECT_EQ(rng.next_u32(), 458299110u);
  EXPECT_EQ(rng.next_u32(), 2500872618u);
  // The all-zero state would only ever give zeros; it is replaced.
  Xorshift128 zero({0, 0, 0, 0});
  EXPECT_EQ(zero.next_u32(), 3701687786u);
}

TEST(Xorshift128, BoundedDraws) {
  ChaChaRng seeder = ChaChaRng::from_seed(11);
  Xorshift128 rng = Xorshift128::from_rng(seeder);
  std::vector<int> hits(100, 0);
  for (int i = 0; i < 100000; ++i) {
    const std::size_t k = rng.below(100);
    ASSERT_LT(k, 100u);
    ++hits[k];
    const float u = rng.next_unit();
    ASSERT_GE(u, 0.0f);
    ASSERT_LT(u, 1.0f);
  }
  for (int h : hits) {
    EXPECT_GT(h, 800);
    EXPECT_LT(h, 1200);
  }
  for (std::uint32_t n : {1u, 3u, 0x80000001u}) {
    for (int i = 0; i < 1000; ++i) ASSERT_LT(rng.below(n), n);
  }
}

}  // namespace
}  // namespace korvex
