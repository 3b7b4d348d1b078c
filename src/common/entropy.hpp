#pragma once
// Seed material from the operating system for generators made without a seed.
#include <cstddef>
#include <span>

namespace korvex {

// Fills `out` from getrandom(2), or /dev/urandom where that call is missing.
// Should both be unavailable (a sandbox without /dev), the bytes come from
// clocks, addresses and a process-wide counter: an unseeded search only needs
// streams that differ between calls, not secrecy.
void fill_from_entropy(std::span<std::byte> out);

}  // namespace korvex
