#pragma once
// A trained initial-parameter model: the decoded weight file and the network
// that turns one measured spectrum into starting values for its parameters.
//
// The pass: two characteristic scales of the spectrum (reactive_centroid),
// three dimensionless channels on a logarithmic grid, a dilated residual
// 1-D convolution trunk, mean/max pooling, a three-layer head, then
// de-standardisation, clamping and rescaling by the two scales. All float64.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/exp.hpp"
#include "elements/complex_math.hpp"
#include "nn/nn_error.hpp"
#include "nn/weight_file.hpp"

namespace korvex::nn {

// Limits on a weight file's size fields, checked when it is decoded so that
// a small hostile file cannot make a guess allocate without bound. Every
// built-in model is far inside them (n_grid 64, at most 64 channels, kernel
// 5, four blocks). Dilations are at most n_grid: a wider one only reaches
// padding.
inline constexpr std::size_t kMaxGrid = 4096;
inline constexpr std::size_t kMaxChannels = 1024;
inline constexpr std::size_t kMaxKernel = 64;
inline constexpr std::size_t kMaxBlocks = 64;
// channels x n_grid: one activation buffer (8 MiB at most).
inline constexpr std::size_t kMaxActivations = std::size_t{1} << 20;
// channels x (n_grid + dilation x (kernel - 1)): the zero-padded input of the
// widest convolution (16 MiB at most).
inline constexpr std::size_t kMaxPaddedValues = std::size_t{1} << 21;

struct Scales {
  double z_scale;  // ohms
  double w_scale;  // radians per second
};

// The network's view of a spectrum.
struct Features {
  std::vector<double> inputs;  // 3 x L, channel-major: log10|Z|, phase, log10 frequency
  std::array<double, 2> extras{};
  double z_scale = 0.0;
  double w_scale = 0.0;
};

// Weighted centroid of the capacitive points in (ln w, ln|Z|); without any,
// the geometric mean of w and the upper median of |Z|.
Scales reactive_centroid(std::span<const double> frequencies, std::span<const Complex> impedances);

// The input channels on an `n_grid`-point grid. The training pipeline computes
// its inputs with this same function (korvex._korvex._features).
Features compute_features(std::span<const double> frequencies, std::span<const Complex> impedances,
                          std::size_t n_grid);

// Piecewise-linear over ascending xs, constant beyond either end.
double interpolate(std::span<const double> xs, std::span<const double> ys, double x);

// tanh form of GELU, x (1 + tanh u) / 2 with u = sqrt(2/pi) (x + 0.044715 x^3),
// written with one exp as x / (1 + e^(-2u)). Where e^(-2u) overflows the
// value is x * 0 (-0, or NaN at -inf), as with tanh u = -1.
inline double gelu(double x) {
  const double z = -2.0 * (0.7978845608028654 * (x + 0.044715 * (x * x * x)));
  const double clamped = std::min(std::max(z, -708.0), 709.0);
  const double e = korvex::exp_in_range<double, std::int64_t>(clamped);
  return z > 709.0 ? x * 0.0 : x / (1.0 + e);
}
// gelu of every value, bit for bit; four at a time.
void gelu_in_place(std::span<double> x);

struct Guesser {
  Tensors tensors;
  double alpha_min = 0.0;
  double alpha_max = 0.0;
  std::size_t n_grid = 0;
  std::size_t channels = 0;
  std::size_t kernel = 0;
  std::size_t groups = 0;
  std::string circuit;
  std::vector<std::string> param_names;
  std::vector<std::size_t> dilations;
  std::vector<double> target_mean;
  std::vector<double> target_std;
  std::vector<bool> log_params;
  std::vector<Scaling> scaling;

  // Decodes a whole EISNN001 file; keeps no reference to `bytes`.
  static NnResult<Guesser> from_bytes(std::span<const std::uint8_t> bytes);

  // The named tensor, or Missing(name).
  NnResult<const Tensor*> tensor(std::string_view name) const;

  Features features(std::span<const double> frequencies,
                    std::span<const Complex> impedances) const {
    return compute_features(frequencies, impedances, n_grid);
  }

  // "w.{layer}.weight" [O, in_channels, kernel] and "w.{layer}.bias" [O] over
  // `input` (in_channels x L): zero-padded, same length, O x L out.
  NnResult<std::vector<double>> conv1d(std::string_view layer, std::span<const double> input,
                                       std::size_t in_channels, std::size_t dilation) const;
  // Group normalisation of `signal` (channels x L) in place.
  std::optional<NnError> group_norm(std::string_view layer, std::span<double> signal) const;
  // "w.{layer}.weight" [out, in] times `input` plus "w.{layer}.bias".
  NnResult<std::vector<double>> linear(std::string_view layer, std::span<const double> input) const;

  // The P physical parameter values in param_names order.
  NnResult<std::vector<double>> predict(std::span<const double> frequencies,
                                        std::span<const Complex> impedances) const;

 private:
  std::optional<NnError> check_runnable() const;
  std::vector<double> decode_outputs(std::span<const double> z, const Scales& scales) const;
};

}  // namespace korvex::nn
