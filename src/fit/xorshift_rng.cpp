#include "fit/xorshift_rng.hpp"

namespace korvex {

Xorshift128::Xorshift128(std::array<std::uint32_t, 4> state)
    : x_(state[0]), y_(state[1]), z_(state[2]), w_(state[3]) {
  if ((x_ | y_ | z_ | w_) == 0) {
    // Marsaglia's example state.
    x_ = 123456789;
    y_ = 362436069;
    z_ = 521288629;
    w_ = 88675123;
  }
}

Xorshift128 Xorshift128::from_rng(ChaChaRng& seeder) {
  std::array<std::uint32_t, 4> state;
  for (auto& s : state) s = seeder.next_u32();
  return Xorshift128(state);
}

std::uint32_t Xorshift128::next_u32() {
  const std::uint32_t t = x_ ^ (x_ << 11);
  x_ = y_;
  y_ = z_;
  z_ = w_;
  w_ = w_ ^ (w_ >> 19) ^ (t ^ (t >> 8));
  return w_;
}

std::size_t Xorshift128::below(std::uint32_t n) {
  std::uint64_t m = static_cast<std::uint64_t>(next_u32()) * n;
  auto low = static_cast<std::uint32_t>(m);
  if (low < n) {
    const std::uint32_t threshold = static_cast<std::uint32_t>(-n) % n;
    while (low < threshold) {
      m = static_cast<std::uint64_t>(next_u32()) * n;
      low = static_cast<std::uint32_t>(m);
    }
  }
  return static_cast<std::size_t>(m >> 32);
}

}  // namespace korvex
