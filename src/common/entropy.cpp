#include "common/entropy.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

#if defined(__linux__)
#include <sys/random.h>
#endif

namespace korvex {
namespace {

#if defined(__linux__)
bool fill_from_getrandom(std::span<std::byte> out) {
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = getrandom(out.data() + done, out.size() - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}
#else
bool fill_from_getrandom(std::span<std::byte>) { return false; }
#endif

bool fill_from_urandom(std::span<std::byte> out) {
  std::FILE* f = std::fopen("/dev/urandom", "rb");
  if (f == nullptr) return false;
  const std::size_t n = std::fread(out.data(), 1, out.size(), f);
  std::fclose(f);
  return n == out.size();
}

// SplitMix64 over a mix of the steady and wall clocks, the thread id, a stack
// address and a counter that makes two calls in the same tick differ.
void fill_from_clocks(std::span<std::byte> out) {
  static std::atomic<std::uint64_t> calls{0};
  int local = 0;
  std::uint64_t state =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())
       << 1) ^
      static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id())) ^
      static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&local)) ^
      (calls.fetch_add(1, std::memory_order_relaxed) * 0x9E3779B97F4A7C15ull);
  for (std::size_t i = 0; i < out.size(); i += 8) {
    state += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    std::memcpy(out.data() + i, &z, std::min<std::size_t>(8, out.size() - i));
  }
}

}  // namespace

void fill_from_entropy(std::span<std::byte> out) {
  if (fill_from_getrandom(out)) return;
  if (fill_from_urandom(out)) return;
  fill_from_clocks(out);
}

}  // namespace korvex
