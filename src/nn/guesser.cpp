// Vector values only pass between functions that are always inlined into
// gelu_in_place, so the calling convention for AVX arguments never applies.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "nn/guesser.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>

#include "common/units.hpp"
#include "common/utf8.hpp"
#include "nn/convolution.hpp"

namespace korvex::nn {
namespace {

// The limits of guesser.hpp, as Unparsable(key) of the first field past them.
std::optional<NnError> check_size_limits(const Guesser& g) {
  if (g.n_grid == 0 || g.n_grid > kMaxGrid) return NnError::unparsable("n_grid");
  if (g.channels == 0 || g.channels > kMaxChannels) return NnError::unparsable("channels");
  if (g.kernel == 0 || g.kernel > kMaxKernel) return NnError::unparsable("kernel");
  if (g.groups == 0 || g.groups > g.channels) return NnError::unparsable("groups");
  if (g.channels * g.n_grid > kMaxActivations) return NnError::unparsable("channels");
  if (g.dilations.size() > kMaxBlocks) return NnError::unparsable("dilations");
  for (const std::size_t d : g.dilations) {
    // Each factor is bounded above, so the products cannot overflow.
    if (d > g.n_grid || g.channels * (g.n_grid + d * (g.kernel - 1)) > kMaxPaddedValues) {
      return NnError::unparsable("dilations");
    }
  }
  return std::nullopt;
}

std::int32_t saturating_round(double x) {
  if (std::isnan(x)) return 0;
  const double r = std::round(x);
  if (r <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
    return std::numeric_limits<std::int32_t>::min();
  }
  if (r >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::numeric_limits<std::int32_t>::max();
  }
  return static_cast<std::int32_t>(r);
}

std::vector<std::string> split(std::string_view text, char separator) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) {
      out.emplace_back(text.substr(start));
      return out;
    }
    out.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
}

NnResult<std::vector<double>> copy_data(const std::map<std::string, Tensor, std::less<>>& tensors,
                                        std::string_view name) {
  const auto it = tensors.find(name);
  if (it == tensors.end()) return NnError::missing(std::string(name));
  return it->second.data;
}

constexpr double kPi = 3.141592653589793;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Orders doubles as IEEE 754 totalOrder does: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
std::int64_t total_order_key(double x) {
  const auto bits = std::bit_cast<std::int64_t>(x);
  return bits ^ ((bits >> 63) & std::numeric_limits<std::int64_t>::max());
}

double modulus(Complex z) { return std::hypot(z.re, z.im); }

std::string weight_name(std::string_view layer) { return "w." + std::string(layer) + ".weight"; }
std::string bias_name(std::string_view layer) { return "w." + std::string(layer) + ".bias"; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return a * b;
}

// The sum of term(l) over l < n in eight interleaved partial sums, added
// pairwise at the end: the additions overlap and vectorise instead of
// waiting on each other.
template <class F>
double interleaved_sum(std::size_t n, F term) {
  constexpr std::size_t kWays = 8;
  double partial[kWays] = {};
  std::size_t l = 0;
  for (; l + kWays <= n; l += kWays) {
    for (std::size_t k = 0; k < kWays; ++k) partial[k] += term(l + k);
  }
  for (std::size_t k = 0; l < n; ++l, ++k) partial[k] += term(l);
  for (std::size_t width = kWays / 2; width > 0; width /= 2) {
    for (std::size_t k = 0; k < width; ++k) partial[k] += partial[k + width];
  }
  return partial[0];
}

}  // namespace

Scales reactive_centroid(std::span<const double> frequencies, std::span<const Complex> impedances) {
  const std::size_t n = std::min(frequencies.size(), impedances.size());
  double weight_sum = 0.0, log_w_sum = 0.0, log_z_sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double f = frequencies[i];
    const double m = modulus(impedances[i]);
    if (f <= 0.0 || m <= 0.0) continue;
    double w = -impedances[i].im / m;
    // Only capacitive points (negative imaginary part) pull the centroid.
    if (std::isnan(w) || !(w > 0.0)) w = 0.0;
    weight_sum += w;
    log_w_sum += w * std::log(kTwoPi * f);
    log_z_sum += w * std::log(m);
  }
  if (weight_sum >= 1e-9) {
    return {std::exp(log_z_sum / weight_sum), std::exp(log_w_sum / weight_sum)};
  }
  double mean_log_w = 0.0;
  for (double f : frequencies) mean_log_w += std::log(kTwoPi * f);
  mean_log_w /= static_cast<double>(frequencies.size());
  std::vector<double> moduli;
  moduli.reserve(impedances.size());
  for (const Complex& z : impedances) moduli.push_back(modulus(z));
  std::sort(moduli.begin(), moduli.end(),
            [](double a, double b) { return total_order_key(a) < total_order_key(b); });
  const double upper_median = moduli.empty() ? kNaN : moduli[moduli.size() / 2];
  return {upper_median, std::exp(mean_log_w)};
}

double interpolate(std::span<const double> xs, std::span<const double> ys, double x) {
  const std::size_t n = std::min(xs.size(), ys.size());
  if (n == 0) return kNaN;
  if (x <= xs[0]) return ys[0];
  if (x >= xs[n - 1]) return ys[n - 1];
  if (n == 1) return ys[0];  // x is NaN
  // i = number of xs <= x. NaN entries can break the ordering; the search
  // still ends inside the list, and i is kept where both neighbours exist.
  std::size_t lo = 0, hi = n;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (xs[mid] <= x) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  const std::size_t i = std::clamp<std::size_t>(lo, 1, n - 1);
  const double x0 = xs[i - 1], x1 = xs[i];
  if (x0 == x1) return ys[i - 1];
  return ys[i - 1] + (x - x0) * (ys[i] - ys[i - 1]) / (x1 - x0);
}

Features compute_features(std::span<const double> frequencies, std::span<const Complex> impedances,
                          std::size_t n_grid) {
  const std::size_t n = std::min(frequencies.size(), impedances.size());
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return total_order_key(frequencies[a]) < total_order_key(frequencies[b]);
  });

  std::vector<double> lf(n), lz(n), ph(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t i = order[k];
    const Complex z = impedances[i];
    lf[k] = std::log10(frequencies[i]);
    lz[k] = std::log10(modulus(z));
    const double a = std::atan2(z.im, z.re);
    if (k == 0) {
      ph[k] = a;
      continue;
    }
    // Unwrap: step by the representative of a - previous in [-pi, pi).
    const double prev = ph[k - 1];
    double d = (a - prev) - kTwoPi * std::floor((a - prev + kPi) / kTwoPi);
    if (d == -kPi && a > prev) d = kPi;
    ph[k] = prev + d;
  }

  const Scales scales = reactive_centroid(frequencies, impedances);
  const double lf_first = n ? lf.front() : kNaN;
  const double lf_last = n ? lf.back() : kNaN;
  const std::size_t L = n_grid;
  const double step = L < 2 ? 0.0 : (lf_last - lf_first) / static_cast<double>(L - 1);
  const double log_z_scale = std::log10(scales.z_scale);
  const double log_f_scale = std::log10(scales.w_scale / kTwoPi);

  Features out;
  out.inputs.resize(3 * L);
  for (std::size_t t = 0; t < L; ++t) {
    const double g = lf_first + static_cast<double>(t) * step;
    out.inputs[t] = interpolate(lf, lz, g) - log_z_scale;
    out.inputs[L + t] = interpolate(lf, ph, g) / (kPi / 2.0);
    out.inputs[2 * L + t] = (g - log_f_scale) * 0.25;
  }
  out.extras = {(lf_last - lf_first) * 0.125,
                std::log10(static_cast<double>(frequencies.size())) * 0.5};
  out.z_scale = scales.z_scale;
  out.w_scale = scales.w_scale;
  return out;
}

namespace {

// Four doubles and their 64-bit integer views. Without AVX the compiler
// carries them in pairs of 128-bit registers.
typedef double Vec4 __attribute__((vector_size(32)));
typedef std::int64_t Int4 __attribute__((vector_size(32)));

// gelu() on four values at once, the same operations in the same order.
__attribute__((always_inline)) inline Vec4 gelu4(Vec4 x) {
  const Vec4 z = -2.0 * (0.7978845608028654 * (x + 0.044715 * (x * x * x)));
  const Vec4 lo = z < -708.0 ? Vec4{} - 708.0 : z;
  const Vec4 clamped = 709.0 < lo ? Vec4{} + 709.0 : lo;
  const Vec4 e = korvex::exp_in_range<Vec4, Int4>(clamped);
  return z > 709.0 ? x * 0.0 : x / (1.0 + e);
}

}  // namespace

// Where the processor has AVX2 the clone works on whole 256-bit registers
// (no FMA in either clone, so both give the same bits).
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void gelu_in_place(std::span<double> x) {
  double* v = x.data();
  const std::size_t n = x.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    Vec4 block;
    std::memcpy(&block, v + i, sizeof block);
    block = gelu4(block);
    std::memcpy(v + i, &block, sizeof block);
  }
  for (; i < n; ++i) v[i] = gelu(v[i]);
}

NnResult<std::vector<double>> Guesser::conv1d(std::string_view layer, std::span<const double> input,
                                              std::size_t in_channels, std::size_t dilation) const {
  const std::string wname = weight_name(layer);
  const auto weight = tensor(wname);
  if (!weight) return weight.error();
  const auto bias = tensor(bias_name(layer));
  if (!bias) return bias.error();

  const Tensor& w = **weight;
  const std::size_t out_channels = w.dims.empty() ? 1 : w.dims[0];
  const std::uint64_t expected = saturating_mul(saturating_mul(out_channels, in_channels), kernel);
  if (w.data.size() != expected) return NnError::tensor_size(wname, expected, w.data.size());
  if ((*bias)->data.size() != out_channels) {
    return NnError::tensor_size(bias_name(layer), out_channels, (*bias)->data.size());
  }
  const std::size_t L = n_grid;
  if (input.size() != saturating_mul(in_channels, L)) {
    return NnError::tensor_size(std::string(layer), saturating_mul(in_channels, L), input.size());
  }

  std::vector<double> y(out_channels * L);
  convolve({in_channels, out_channels, L, kernel, dilation}, input.data(), w.data.data(),
           (*bias)->data.data(), y.data());
  return y;
}

std::optional<NnError> Guesser::group_norm(std::string_view layer, std::span<double> signal) const {
  const auto weight = tensor(weight_name(layer));
  if (!weight) return weight.error();
  const auto bias = tensor(bias_name(layer));
  if (!bias) return bias.error();
  const auto& gamma = (*weight)->data;
  const auto& beta = (*bias)->data;
  if (gamma.size() != channels) {
    return NnError::tensor_size(weight_name(layer), channels, gamma.size());
  }
  if (beta.size() != channels) return NnError::tensor_size(bias_name(layer), channels, beta.size());
  if (groups == 0) return NnError::unparsable("groups");
  const std::size_t L = n_grid;
  if (signal.size() != saturating_mul(channels, L)) {
    return NnError::tensor_size(std::string(layer), saturating_mul(channels, L), signal.size());
  }
  const std::size_t per_group = channels / groups;
  const std::size_t size = per_group * L;
  if (size == 0) return std::nullopt;  // more groups than channels: nothing to normalise
  const double count = static_cast<double>(size);
  for (std::size_t g = 0; g < groups; ++g) {
    double* x = signal.data() + g * size;
    const double mean = interleaved_sum(size, [x](std::size_t l) { return x[l]; }) / count;
    const double squares =
        interleaved_sum(size, [x, mean](std::size_t l) { return (x[l] - mean) * (x[l] - mean); });
    const double r = 1.0 / std::sqrt(squares / count + 1e-5);
    // Channel by channel: no division per value, and the inner loop vectorises.
    for (std::size_t c = 0; c < per_group; ++c) {
      const std::size_t k = g * per_group + c;
      double* row = x + c * L;
      for (std::size_t t = 0; t < L; ++t) row[t] = beta[k] + r * (row[t] - mean) * gamma[k];
    }
  }
  return std::nullopt;
}

NnResult<std::vector<double>> Guesser::linear(std::string_view layer,
                                              std::span<const double> input) const {
  const std::string wname = weight_name(layer);
  const auto weight = tensor(wname);
  if (!weight) return weight.error();
  const auto bias = tensor(bias_name(layer));
  if (!bias) return bias.error();
  const Tensor& w = **weight;
  const std::uint64_t out = w.dims.empty() ? 1 : w.dims[0];
  std::uint64_t in = 1;
  for (std::size_t i = 1; i < w.dims.size(); ++i) in = saturating_mul(in, w.dims[i]);
  if (input.size() != in) return NnError::tensor_size(std::string(layer), in, input.size());
  if (w.data.size() != saturating_mul(out, in)) {
    return NnError::tensor_size(wname, saturating_mul(out, in), w.data.size());
  }
  const auto& b = (*bias)->data;
  if (b.size() != out) return NnError::tensor_size(bias_name(layer), out, b.size());

  std::vector<double> y(out);
  for (std::size_t e = 0; e < out; ++e) {
    const double* row = w.data.data() + e * in;
    const double* x = input.data();
    y[e] = b[e] + interleaved_sum(in, [row, x](std::size_t i) { return row[i] * x[i]; });
  }
  return y;
}

std::optional<NnError> Guesser::check_runnable() const {
  const std::size_t p = target_mean.size();
  if (target_std.size() < p) return NnError::tensor_size("target_std", p, target_std.size());
  if (log_params.size() < p) return NnError::tensor_size("log_params", p, log_params.size());
  if (scaling.size() < p) return NnError::tensor_size("scaling", 4 * p, 4 * scaling.size());
  for (const Scaling& s : scaling) {
    if (s.alpha_index >= 0 && static_cast<std::size_t>(s.alpha_index) >= p) {
      return NnError::unparsable("scaling");
    }
  }
  if (n_grid == 0 || n_grid > kMaxGrid) return NnError::unparsable("n_grid");
  if (groups == 0) return NnError::unparsable("groups");
  if (std::isnan(alpha_min) || alpha_min > alpha_max) return NnError::unparsable("alpha_min");
  if (std::isnan(alpha_max)) return NnError::unparsable("alpha_max");
  return std::nullopt;
}

std::vector<double> Guesser::decode_outputs(std::span<const double> z, const Scales& scales) const {
  const std::size_t p = target_mean.size();
  std::vector<double> u(p);
  for (std::size_t k = 0; k < p; ++k) {
    const double v = target_mean[k] + z[k] * target_std[k];
    if (log_params[k]) {
      u[k] = std::pow(10.0, v);
    } else if (std::isnan(v)) {
      u[k] = v;
    } else {
      u[k] = v < alpha_min ? alpha_min : v > alpha_max ? alpha_max : v;
    }
  }
  // A CPE's q is rescaled with its own clamped alpha, read from this copy.
  const std::vector<double> clamped = u;
  std::vector<double> values(p);
  for (std::size_t k = 0; k < p; ++k) {
    const Scaling& s = scaling[k];
    const double exponent =
        s.w_power + (s.alpha_index >= 0 ? s.alpha_coefficient * clamped[s.alpha_index] : 0.0);
    values[k] =
        std::pow(scales.w_scale, exponent) * (clamped[k] * std::pow(scales.z_scale, s.z_power));
  }
  return values;
}

NnResult<std::vector<double>> Guesser::predict(std::span<const double> frequencies,
                                               std::span<const Complex> impedances) const {
  if (auto error = check_runnable()) return *error;
  const std::size_t C = channels, L = n_grid;
  const Features in = features(frequencies, impedances);

  // Every trunk layer must yield C channels: the residual sums and the group
  // normalisations are sized by it.
  const auto trunk_conv = [&](const std::string& layer, std::span<const double> x,
                              std::size_t in_channels,
                              std::size_t dilation) -> NnResult<std::vector<double>> {
    auto y = conv1d(layer, x, in_channels, dilation);
    if (y && y->size() != saturating_mul(C, L)) {
      const auto w = tensor(weight_name(layer));
      return NnError::tensor_size(weight_name(layer),
                                  saturating_mul(saturating_mul(C, in_channels), kernel),
                                  (*w)->data.size());
    }
    return y;
  };

  auto stem = trunk_conv("stem", in.inputs, 3, 1);
  if (!stem) return stem.error();
  std::vector<double> h = std::move(*stem);
  for (std::size_t i = 0; i < dilations.size(); ++i) {
    const std::string prefix = "blocks." + std::to_string(i) + ".";
    auto a = trunk_conv(prefix + "conv1", h, C, dilations[i]);
    if (!a) return a.error();
    if (auto error = group_norm(prefix + "norm1", *a)) return *error;
    gelu_in_place(*a);
    auto b = trunk_conv(prefix + "conv2", *a, C, dilations[i]);
    if (!b) return b.error();
    if (auto error = group_norm(prefix + "norm2", *b)) return *error;
    for (std::size_t k = 0; k < h.size(); ++k) h[k] += (*b)[k];
    gelu_in_place(h);
  }

  std::vector<double> pooled(2 * C + 2);
  for (std::size_t c = 0; c < C; ++c) {
    const double* row = h.data() + c * L;
    double sum = 0.0;
    double max = -std::numeric_limits<double>::infinity();
    for (std::size_t t = 0; t < L; ++t) {
      sum += row[t];
      if (row[t] > max) max = row[t];  // NaN never compares greater
    }
    pooled[c] = sum / static_cast<double>(L);
    pooled[C + c] = max;
  }
  pooled[2 * C] = in.extras[0];
  pooled[2 * C + 1] = in.extras[1];

  auto z = linear("head.0", pooled);
  if (!z) return z.error();
  gelu_in_place(*z);
  z = linear("head.2", *z);
  if (!z) return z.error();
  gelu_in_place(*z);
  z = linear("head.4", *z);
  if (!z) return z.error();
  const std::size_t p = target_mean.size();
  if (z->size() < p) return NnError::tensor_size("w.head.4.bias", 2 * p, z->size());
  return decode_outputs(*z, {in.z_scale, in.w_scale});
}

NnResult<Guesser> Guesser::from_bytes(std::span<const std::uint8_t> bytes) {
  auto file = read_weight_file(bytes);
  if (!file) return file.error();
  const Metadata& metadata = file->metadata;
  Guesser g;
  g.tensors = std::move(file->tensors);

  auto mean = copy_data(g.tensors, "target_mean");
  if (!mean) return mean.error();
  auto std_dev = copy_data(g.tensors, "target_std");
  if (!std_dev) return std_dev.error();
  const auto log_params = copy_data(g.tensors, "log_params");
  if (!log_params) return log_params.error();
  g.target_mean = std::move(*mean);
  g.target_std = std::move(*std_dev);
  g.log_params.reserve(log_params->size());
  for (double v : *log_params) g.log_params.push_back(v != 0.0);

  const auto scaling = g.tensor("scaling");
  if (!scaling) return scaling.error();
  const auto& s = (*scaling)->data;
  const std::size_t p = g.target_mean.size();
  // p entries came from the same input, so 4p cannot overflow.
  if (s.size() != 4 * p) {
    return NnError::tensor_size("scaling", 4 * static_cast<std::uint64_t>(p), s.size());
  }
  g.scaling.reserve(p);
  for (std::size_t k = 0; k < p; ++k) {
    g.scaling.push_back({s[4 * k], s[4 * k + 1], s[4 * k + 2], saturating_round(s[4 * k + 3])});
  }

  const auto dilations = meta(metadata, "dilations");
  if (!dilations) return dilations.error();
  for (const std::string& piece : split(*dilations, ',')) {
    std::size_t d;
    if (!parse_unsigned_text(trim_white_space(piece), d)) {
      return NnError::unparsable("dilations");
    }
    g.dilations.push_back(d);
  }

  const auto estimator = meta(metadata, "estimator");
  if (!estimator) return estimator.error();
  if (*estimator != kReactiveCentroid) return NnError::unsupported_estimator(*estimator);

  auto circuit = meta(metadata, "circuit");
  if (!circuit) return circuit.error();
  const auto names = meta(metadata, "param_names");
  if (!names) return names.error();
  g.circuit = std::move(*circuit);
  g.param_names = split(*names, ',');

  std::size_t* const sizes[] = {&g.n_grid, &g.channels, &g.kernel, &g.groups};
  const std::string_view size_keys[] = {"n_grid", "channels", "kernel", "groups"};
  for (int i = 0; i < 4; ++i) {
    const auto v = parse_unsigned(metadata, size_keys[i]);
    if (!v) return v.error();
    *sizes[i] = *v;
  }
  const auto alpha_min = parse_float(metadata, "alpha_min");
  if (!alpha_min) return alpha_min.error();
  const auto alpha_max = parse_float(metadata, "alpha_max");
  if (!alpha_max) return alpha_max.error();
  g.alpha_min = *alpha_min;
  g.alpha_max = *alpha_max;
  if (auto error = check_size_limits(g)) return *error;
  return g;
}

NnResult<const Tensor*> Guesser::tensor(std::string_view name) const {
  const auto it = tensors.find(name);
  if (it == tensors.end()) return NnError::missing(std::string(name));
  return &it->second;
}

}  // namespace korvex::nn
