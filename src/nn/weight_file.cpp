#include "nn/weight_file.hpp"

#include <locale.h>
#include <bit>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "common/utf8.hpp"

namespace korvex::nn {
namespace {

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();

std::uint32_t load_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

double load_f32(const std::uint8_t* p) { return std::bit_cast<float>(load_u32(p)); }

// a * b, or false when it does not fit.
bool checked_mul(std::size_t a, std::size_t b, std::size_t& out) {
  if (a != 0 && b > kSizeMax / a) return false;
  out = a * b;
  return true;
}

bool ascii_digit(char c) { return c >= '0' && c <= '9'; }

bool iequals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// Decimal literal: digits with optional fraction and exponent, at least one
// mantissa digit ("1.", ".5" and "1e-3" qualify; ".", "e3" and "1e" do not).
bool decimal_literal(std::string_view s) {
  std::size_t i = 0, mantissa_digits = 0;
  while (i < s.size() && ascii_digit(s[i])) ++i, ++mantissa_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && ascii_digit(s[i])) ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < s.size() && ascii_digit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == s.size();
}

// Correctly rounded, whatever LC_NUMERIC the embedding process has set.
double c_locale_strtod(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
  return strtod_l(text.c_str(), nullptr, c_locale);
}

}  // namespace

NnResult<std::uint8_t> Reader::u8() {
  if (remaining() < 1) return NnError::truncated();
  return bytes_[pos_++];
}

NnResult<std::uint32_t> Reader::u32() {
  if (remaining() < 4) return NnError::truncated();
  const std::uint32_t v = load_u32(bytes_.data() + pos_);
  pos_ += 4;
  return v;
}

NnResult<std::span<const std::uint8_t>> Reader::bytes(std::size_t n) {
  if (n > remaining()) return NnError::truncated();
  const auto out = bytes_.subspan(pos_, n);
  pos_ += n;
  return out;
}

NnResult<std::string> Reader::string() {
  const auto length = u32();
  if (!length) return length.error();
  const auto raw = bytes(*length);
  if (!raw) return raw.error();
  if (!valid_utf8({reinterpret_cast<const char*>(raw->data()), raw->size()})) {
    return NnError::truncated();
  }
  return std::string(reinterpret_cast<const char*>(raw->data()), raw->size());
}

double half_to_double(std::uint16_t h) {
  const bool negative = (h & 0x8000) != 0;
  const int e = (h >> 10) & 0x1F;
  const int m = h & 0x3FF;
  double v;
  if (e == 0) {
    v = std::ldexp(static_cast<double>(m), -24);
  } else if (e == 31) {
    v = m == 0 ? std::numeric_limits<double>::infinity() : std::numeric_limits<double>::quiet_NaN();
  } else {
    v = std::ldexp(static_cast<double>(1024 + m), e - 25);
  }
  return negative ? -v : v;
}

NnResult<std::pair<std::string, Tensor>> read_tensor(Reader& reader) {
  auto name = reader.string();
  if (!name) return name.error();
  const auto encoding = reader.u8();
  if (!encoding) return encoding.error();
  const auto rank = reader.u8();
  if (!rank) return rank.error();

  Tensor t;
  t.dims.reserve(*rank);
  bool has_zero = false;
  bool overflow = false;
  std::size_t count = 1;
  for (unsigned i = 0; i < *rank; ++i) {
    const auto d = reader.u32();
    if (!d) return d.error();
    t.dims.push_back(*d);
    if (*d == 0) has_zero = true;
    if (!overflow && !checked_mul(count, *d, count)) overflow = true;
  }
  // A zero dimension still stores one element.
  if (has_zero) {
    count = 1;
    overflow = false;
  }
  if (*encoding > 2) return NnError::unknown_encoding(*encoding);
  // A count whose payload cannot even be sized cannot be present in the input.
  if (overflow) return NnError::truncated();

  std::size_t payload_size = 0;
  bool sized;
  switch (*encoding) {
    case 0: sized = checked_mul(count, 4, payload_size); break;
    case 1: sized = checked_mul(count, 2, payload_size); break;
    default: sized = count <= kSizeMax - 4; payload_size = count + 4;
  }
  if (!sized) return NnError::truncated();
  const auto payload = reader.bytes(payload_size);
  if (!payload) return payload.error();

  const std::uint8_t* p = payload->data();
  t.data.resize(count);
  switch (*encoding) {
    case 0:
      for (std::size_t i = 0; i < count; ++i) t.data[i] = load_f32(p + 4 * i);
      break;
    case 1:
      for (std::size_t i = 0; i < count; ++i) {
        t.data[i] = half_to_double(static_cast<std::uint16_t>(p[2 * i] | p[2 * i + 1] << 8));
      }
      break;
    default: {
      const double scale = load_f32(p);
      for (std::size_t i = 0; i < count; ++i) {
        t.data[i] = scale * static_cast<double>(static_cast<std::int8_t>(p[4 + i]));
      }
    }
  }
  return std::pair<std::string, Tensor>{std::move(*name), std::move(t)};
}

NnResult<std::string> meta(const Metadata& map, std::string_view key) {
  const auto it = map.find(key);
  if (it == map.end()) return NnError::missing(std::string(key));
  return it->second;
}

bool parse_unsigned_text(std::string_view text, std::size_t& out) {
  if (!text.empty() && text[0] == '+') text.remove_prefix(1);
  if (text.empty()) return false;
  std::size_t v = 0;
  for (char c : text) {
    if (!ascii_digit(c)) return false;
    const std::size_t digit = static_cast<std::size_t>(c - '0');
    if (v > (kSizeMax - digit) / 10) return false;
    v = v * 10 + digit;
  }
  out = v;
  return true;
}

bool parse_float_text(std::string_view text, double& out) {
  std::string_view body = text;
  bool negative = false;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (iequals(body, "inf") || iequals(body, "infinity")) {
    out = negative ? -std::numeric_limits<double>::infinity()
                   : std::numeric_limits<double>::infinity();
    return true;
  }
  if (iequals(body, "nan")) {
    out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  if (!decimal_literal(body)) return false;
  const double v = c_locale_strtod(std::string(body));
  out = negative ? -v : v;
  return true;
}

NnResult<std::size_t> parse_unsigned(const Metadata& map, std::string_view key) {
  const auto text = meta(map, key);
  if (!text) return text.error();
  std::size_t v;
  if (!parse_unsigned_text(*text, v)) return NnError::unparsable(std::string(key));
  return v;
}

NnResult<double> parse_float(const Metadata& map, std::string_view key) {
  const auto text = meta(map, key);
  if (!text) return text.error();
  double v;
  if (!parse_float_text(*text, v)) return NnError::unparsable(std::string(key));
  return v;
}

NnResult<WeightFile> read_weight_file(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kMagic.size()) return NnError::truncated();
  if (std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) return NnError::bad_magic();
  Reader reader(bytes);
  reader.bytes(kMagic.size());

  WeightFile file;
  const auto meta_count = reader.u32();
  if (!meta_count) return meta_count.error();
  for (std::uint32_t i = 0; i < *meta_count; ++i) {
    auto key = reader.string();
    if (!key) return key.error();
    auto value = reader.string();
    if (!value) return value.error();
    file.metadata.insert_or_assign(std::move(*key), std::move(*value));
  }

  const auto tensor_count = reader.u32();
  if (!tensor_count) return tensor_count.error();
  for (std::uint32_t i = 0; i < *tensor_count; ++i) {
    auto record = read_tensor(reader);
    if (!record) return record.error();
    file.tensors.insert_or_assign(std::move(record->first), std::move(record->second));
  }
  return file;
}

}  // namespace korvex::nn
