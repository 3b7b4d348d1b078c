#pragma once
// The EISNN001 weight-file format. All integers little-endian, no padding:
//   "EISNN001" | u32 M | M x (key string, value string) | u32 T | T x tensor
//   string = u32 byte length + UTF-8 bytes
//   tensor = name string | u8 encoding | u8 rank | rank x u32 dims | payload
// A tensor stores max(1, product of dims) elements: encoding 0 as binary32,
// 1 as binary16, 2 as one binary32 scale followed by signed 8-bit integers.
// Bytes after the last tensor are ignored.
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "nn/nn_error.hpp"

namespace korvex::nn {

inline constexpr std::string_view kMagic = "EISNN001";
inline constexpr std::string_view kReactiveCentroid = "reactive_centroid";

struct Tensor {
  std::vector<std::uint32_t> dims;  // as stored, outermost first
  std::vector<double> data;         // row-major, max(1, product of dims) entries
};

// How one predicted parameter scales with the spectrum's impedance scale Z_s
// and frequency scale w_s: value = w_s^(w_power + alpha_coefficient *
// u[alpha_index]) * u * Z_s^z_power, where u is the de-standardised output.
struct Scaling {
  double z_power = 0.0;
  double w_power = 0.0;
  double alpha_coefficient = 0.0;
  std::int32_t alpha_index = -1;  // -1: no dispersion exponent involved
};

using Metadata = std::map<std::string, std::string, std::less<>>;
using Tensors = std::map<std::string, Tensor, std::less<>>;

// The file's two tables, checked against the format only (what they hold is
// the guesser's business: Guesser::from_bytes).
struct WeightFile {
  Metadata metadata;
  Tensors tensors;
};
NnResult<WeightFile> read_weight_file(std::span<const std::uint8_t> bytes);

// Cursor over the input; every read that would pass the end is Truncated.
class Reader {
 public:
  explicit Reader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  NnResult<std::uint8_t> u8();
  NnResult<std::uint32_t> u32();
  // A length-prefixed UTF-8 string; invalid UTF-8 counts as truncation.
  NnResult<std::string> string();
  // The next `n` bytes, consumed.
  NnResult<std::span<const std::uint8_t>> bytes(std::size_t n);

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

// One tensor record, payload decoded to 64-bit floats.
NnResult<std::pair<std::string, Tensor>> read_tensor(Reader& reader);

// binary16 word to its exact value.
double half_to_double(std::uint16_t h);

// The value text of `key`, or Missing(key).
NnResult<std::string> meta(const Metadata& map, std::string_view key);
// "+"? digits, fitting std::size_t; otherwise Unparsable(key).
NnResult<std::size_t> parse_unsigned(const Metadata& map, std::string_view key);
// A decimal literal or inf/infinity/nan (any case), no white space; otherwise
// Unparsable(key).
NnResult<double> parse_float(const Metadata& map, std::string_view key);

// The syntax checks behind parse_unsigned / parse_float, for single texts.
bool parse_unsigned_text(std::string_view text, std::size_t& out);
bool parse_float_text(std::string_view text, double& out);

}  // namespace korvex::nn
