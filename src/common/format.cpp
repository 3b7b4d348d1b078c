#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <system_error>

namespace korvex {
namespace {

std::string to_chars_string(double x, std::chars_format fmt) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, fmt);
  return std::string(buf, res.ptr);
}

std::string to_chars_string(double x, std::chars_format fmt, int precision) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, x, fmt, precision);
  return std::string(buf, res.ptr);
}

// "1.5e-07" -> "1.5e-7", "1e+16" -> "1e16".
std::string tidy_exponent(const std::string& s) {
  const auto e = s.find('e');
  if (e == std::string::npos) return s;
  std::string mantissa = s.substr(0, e);
  std::string exp = s.substr(e + 1);
  bool negative = false;
  if (!exp.empty() && (exp[0] == '+' || exp[0] == '-')) {
    negative = exp[0] == '-';
    exp.erase(0, 1);
  }
  const auto nz = exp.find_first_not_of('0');
  exp = nz == std::string::npos ? "0" : exp.substr(nz);
  return mantissa + "e" + (negative ? "-" : "") + exp;
}

const char* special(double x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  return nullptr;
}

}  // namespace

std::string debug_string(std::string_view text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const unsigned char c = static_cast<unsigned char>(ch);
    // C1 control characters U+0080..U+009F arrive as the UTF-8 pairs C2 80..C2 9F.
    if (c == 0xC2 && i + 1 < text.size()) {
      const unsigned char next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        char buf[16];
        std::snprintf(buf, sizeof buf, "\\u{%x}", next);
        out += buf;
        ++i;
        continue;
      }
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[16];
          std::snprintf(buf, sizeof buf, "\\u{%x}", c);
          out += buf;
        } else {
          out += ch;
        }
    }
  }
  out += '"';
  return out;
}

std::string debug_list(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i) out += ", ";
    out += debug_string(texts[i]);
  }
  return out + "]";
}

std::string debug_float(double x) {
  if (const char* s = special(x)) return s;
  const double a = std::fabs(x);
  if (a != 0.0 && (a < 1e-4 || a >= 1e16)) {
    return tidy_exponent(to_chars_string(x, std::chars_format::scientific));
  }
  std::string s = to_chars_string(x, std::chars_format::fixed);
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

std::string compact_float(double x) {
  const double a = std::fabs(x);
  if (x == 0.0 || std::isinf(x) || (a >= 1e-4 && a < 1e6)) {
    if (const char* s = special(x)) return s;
    return to_chars_string(x, std::chars_format::fixed);
  }
  if (const char* s = special(x)) return s;
  return tidy_exponent(to_chars_string(x, std::chars_format::scientific));
}

std::string scientific6(double x) {
  if (const char* s = special(x)) return s;
  return tidy_exponent(to_chars_string(x, std::chars_format::scientific, 6));
}

}  // namespace korvex
