#include "common/utf8.hpp"

#include <utility>

namespace korvex {
namespace {

bool continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Length of the sequence that `lead` begins, or 0 when it begins none.
std::size_t sequence_length(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead >> 5) == 0x6) return 2;
  if ((lead >> 4) == 0xE) return 3;
  if ((lead >> 3) == 0x1E) return 4;
  return 0;
}

// The code point of the sequence at `text[i]`, and its length; U+FFFD and
// length 1 when the bytes there do not form a sequence.
std::pair<char32_t, std::size_t> decode_at(std::string_view text, std::size_t i) {
  const auto lead = static_cast<unsigned char>(text[i]);
  const std::size_t len = sequence_length(lead);
  if (len == 0 || len > text.size() - i) return {0xFFFD, 1};
  char32_t cp = len == 1   ? lead
                : len == 2 ? (lead & 0x1F)
                : len == 3 ? (lead & 0x0F)
                           : (lead & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    const auto c = static_cast<unsigned char>(text[i + k]);
    if (!continuation(c)) return {0xFFFD, 1};
    cp = (cp << 6) | (c & 0x3F);
  }
  return {cp, len};
}

}  // namespace

std::u32string decode_utf8(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto [cp, len] = decode_at(text, i);
    out.push_back(cp);
    i += len;
  }
  return out;
}

bool valid_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (text.size() - i < len) return false;
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < lo || second > hi) return false;
    for (std::size_t k = 2; k < len; ++k) {
      if (!continuation(static_cast<unsigned char>(text[i + k]))) return false;
    }
    i += len;
  }
  return true;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end) {
    const auto [cp, len] = decode_at(text.substr(0, end), begin);
    if (!is_white_space(cp)) break;
    begin += len;
  }
  while (end > begin) {
    std::size_t start = end - 1;
    while (start > begin && continuation(static_cast<unsigned char>(text[start]))) --start;
    const auto [cp, len] = decode_at(text.substr(0, end), start);
    if (len != end - start || !is_white_space(cp)) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

}  // namespace korvex
