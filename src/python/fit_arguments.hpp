#pragma once
// Conversions of Circuit.fit()'s arguments. Each failure raises with the
// argument named: TypeError for a wrong type, OverflowError for an integer
// outside its range, ValueError for a tolerance the minimiser cannot use.
#include <cstdint>
#include <optional>
#include <string>

#include "python/bindings.hpp"

namespace korvex::py {

inline constexpr std::uint64_t kMaxU32 = 0xFFFFFFFFull;
inline constexpr std::uint64_t kMaxU64 = 0xFFFFFFFFFFFFFFFFull;

// None, a Python bool, or a NumPy boolean scalar (its truth value).
std::optional<bool> to_optional_bool(nb::handle obj, const char* arg);
// None or str.
std::optional<std::string> to_optional_str(nb::handle obj, const char* arg);
// An int or an object usable as an index, 0..max; floats are refused.
std::uint64_t to_unsigned(nb::handle obj, const char* arg, std::uint64_t max);
// None or to_unsigned(obj, arg, 2^64 - 1).
std::optional<std::uint64_t> to_optional_u64(nb::handle obj, const char* arg);
// A float that is neither negative nor NaN (a convergence tolerance).
double to_tolerance(nb::handle obj, const char* arg);

}  // namespace korvex::py
