#pragma once
// The errors of the guessing subsystem: reading and decoding weight files,
// running the network, and resolving a model for a circuit.
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace korvex::nn {

struct NnError {
  enum class Kind {
    Io,  // text: the system's description of the failure
    BadMagic,
    Truncated,
    Missing,               // text: metadata key or tensor name
    Unparsable,            // text: metadata key, or a free-form description
    UnsupportedEstimator,  // text: the estimator named by the file
    UnknownEncoding,       // actual: the encoding byte
    TensorSize,            // text: tensor or layer name; expected and actual counts
    TooFewPoints,          // actual: the number of points
  };
  Kind kind;
  std::string text;
  std::uint64_t expected = 0;
  std::uint64_t actual = 0;

  static NnError io(std::string description) { return {Kind::Io, std::move(description)}; }
  static NnError bad_magic() { return {Kind::BadMagic, {}}; }
  static NnError truncated() { return {Kind::Truncated, {}}; }
  static NnError missing(std::string name) { return {Kind::Missing, std::move(name)}; }
  static NnError unparsable(std::string what) { return {Kind::Unparsable, std::move(what)}; }
  static NnError unsupported_estimator(std::string name) {
    return {Kind::UnsupportedEstimator, std::move(name)};
  }
  static NnError unknown_encoding(std::uint8_t encoding) {
    return {Kind::UnknownEncoding, {}, 0, encoding};
  }
  static NnError tensor_size(std::string name, std::uint64_t expected, std::uint64_t actual) {
    return {Kind::TensorSize, std::move(name), expected, actual};
  }
  static NnError too_few_points(std::uint64_t count) { return {Kind::TooFewPoints, {}, 0, count}; }

  std::string message() const;
  friend bool operator==(const NnError&, const NnError&) = default;
};

// A value or the error that prevented it.
template <class T>
class NnResult {
 public:
  NnResult(T value) : v_(std::move(value)) {}
  NnResult(NnError error) : v_(std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  T& operator*() { return value(); }
  const T& operator*() const { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  const NnError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, NnError> v_;
};

}  // namespace korvex::nn
