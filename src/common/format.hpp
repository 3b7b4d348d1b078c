#pragma once
// Number and text forms used in messages and representations.
#include <string>
#include <string_view>
#include <vector>

namespace korvex {

// Text in double quotes; quotes, backslashes and control characters escaped.
std::string debug_string(std::string_view text);
// ["a", "b"]
std::string debug_list(const std::vector<std::string>& texts);

// Shortest round-trip float, always with a fractional part or an exponent:
// "1.0", "0.001", "1e-6", "1.5e16", "NaN", "inf". Exponent form when the
// magnitude is non-zero and below 1e-4, or at least 1e16.
std::string debug_float(double x);

// Compact form of circuit representations: positional ("100", "0.00012",
// "-0", "inf") for zero, infinities and 1e-4 <= |x| < 1e6, else scientific
// ("1e-5", "1.5e6", "NaN").
std::string compact_float(double x);

// Six digits after the point, exponent without plus sign or leading zeros:
// "1.234568e-3", "0.000000e0", "inf", "NaN".
std::string scientific6(double x);

}  // namespace korvex
