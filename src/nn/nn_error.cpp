#include "nn/nn_error.hpp"

#include "common/format.hpp"

namespace korvex::nn {

std::string NnError::message() const {
  switch (kind) {
    case Kind::Io: return "reading weights: " + text;
    case Kind::BadMagic: return "not an eisnn weight file (bad magic bytes)";
    case Kind::Truncated: return "weight file is truncated";
    case Kind::Missing: return "weight file is missing " + debug_string(text);
    case Kind::Unparsable: return "weight file has an unparsable value for " + debug_string(text);
    case Kind::UnsupportedEstimator:
      return "weight file was normalised with the " + debug_string(text) +
             " scale estimator, which this build does not implement (supported: "
             "reactive_centroid)";
    case Kind::UnknownEncoding:
      return "weight file uses tensor encoding " + std::to_string(actual) +
             ", which this build does not know";
    case Kind::TensorSize:
      return "tensor " + debug_string(text) + " has " + std::to_string(actual) +
             " elements, expected " + std::to_string(expected);
    case Kind::TooFewPoints:
      return "need at least 2 frequency points to guess, got " + std::to_string(actual);
  }
  return {};
}

}  // namespace korvex::nn
