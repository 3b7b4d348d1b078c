#pragma once
// Builds EISNN001 weight files in memory for the tests.
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace korvex::test {

class EisnnBuilder {
 public:
  EisnnBuilder& meta(std::string key, std::string value) {
    meta_.emplace_back(std::move(key), std::move(value));
    return *this;
  }
  EisnnBuilder& erase_meta(const std::string& key) {
    std::erase_if(meta_, [&](const auto& kv) { return kv.first == key; });
    return *this;
  }
  EisnnBuilder& erase_tensor(const std::string& name) {
    std::erase_if(tensors_, [&](const Record& r) { return r.name == name; });
    return *this;
  }
  // Encoding and payload exactly as given.
  EisnnBuilder& raw(std::string name, std::uint8_t encoding, std::vector<std::uint32_t> dims,
                    std::vector<std::uint8_t> payload) {
    tensors_.push_back({std::move(name), encoding, std::move(dims), std::move(payload)});
    return *this;
  }
  EisnnBuilder& f32(std::string name, std::vector<std::uint32_t> dims,
                    const std::vector<double>& values) {
    std::vector<std::uint8_t> payload;
    for (double v : values) put_u32(payload, std::bit_cast<std::uint32_t>(static_cast<float>(v)));
    return raw(std::move(name), 0, std::move(dims), std::move(payload));
  }
  EisnnBuilder& f16(std::string name, std::vector<std::uint32_t> dims,
                    const std::vector<double>& values) {
    std::vector<std::uint8_t> payload;
    for (double v : values) {
      const auto h = std::bit_cast<std::uint16_t>(static_cast<_Float16>(v));
      payload.push_back(static_cast<std::uint8_t>(h));
      payload.push_back(static_cast<std::uint8_t>(h >> 8));
    }
    return raw(std::move(name), 1, std::move(dims), std::move(payload));
  }

  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out{'E', 'I', 'S', 'N', 'N', '0', '0', '1'};
    put_u32(out, static_cast<std::uint32_t>(meta_.size()));
    for (const auto& [k, v] : meta_) {
      put_string(out, k);
      put_string(out, v);
    }
    put_u32(out, static_cast<std::uint32_t>(tensors_.size()));
    for (const Record& r : tensors_) {
      put_string(out, r.name);
      out.push_back(r.encoding);
      out.push_back(static_cast<std::uint8_t>(r.dims.size()));
      for (std::uint32_t d : r.dims) put_u32(out, d);
      out.insert(out.end(), r.payload.begin(), r.payload.end());
    }
    return out;
  }

  static void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  static void put_string(std::vector<std::uint8_t>& out, const std::string& s) {
    put_u32(out, static_cast<std::uint32_t>(s.size()));
    out.insert(out.end(), s.begin(), s.end());
  }

 private:
  struct Record {
    std::string name;
    std::uint8_t encoding;
    std::vector<std::uint32_t> dims;
    std::vector<std::uint8_t> payload;
  };
  std::vector<std::pair<std::string, std::string>> meta_;
  std::vector<Record> tensors_;
};

// Metadata of a model with the built-in architecture settings.
inline EisnnBuilder with_metadata(const std::string& circuit, const std::string& names,
                                  std::size_t channels, std::size_t n_grid = 64) {
  EisnnBuilder b;
  b.meta("circuit", circuit)
      .meta("param_names", names)
      .meta("estimator", "reactive_centroid")
      .meta("n_grid", std::to_string(n_grid))
      .meta("channels", std::to_string(channels))
      .meta("kernel", "5")
      .meta("groups", "8")
      .meta("dilations", "1,2,4,8")
      .meta("alpha_min", "0.05")
      .meta("alpha_max", "1.0");
  return b;
}

// One normalisation record per parameter: (z_power, w_power, alpha
// coefficient, alpha index, logarithmic).
struct ParamScaling {
  double z_power, w_power, alpha_coefficient, alpha_index;
  bool log;
};

inline EisnnBuilder& add_normalisation(EisnnBuilder& b, const std::vector<ParamScaling>& params,
                                       double mean = 0.0, double std_dev = 0.5) {
  const auto p = static_cast<std::uint32_t>(params.size());
  std::vector<double> scaling, log_params;
  for (const ParamScaling& s : params) {
    scaling.insert(scaling.end(), {s.z_power, s.w_power, s.alpha_coefficient, s.alpha_index});
    log_params.push_back(s.log ? 1.0 : 0.0);
  }
  b.f32("target_mean", {p}, std::vector<double>(p, mean))
      .f32("target_std", {p}, std::vector<double>(p, std_dev))
      .f32("log_params", {p}, log_params)
      .f32("scaling", {p, 4}, scaling);
  return b;
}

// Network tensors of the built-in shapes with random binary16 weights.
inline EisnnBuilder& add_network(EisnnBuilder& b, std::size_t p, std::size_t channels,
                                 unsigned seed = 1, std::size_t blocks = 4) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> normal(0.0, 1.0);
  const auto c = static_cast<std::uint32_t>(channels);
  const auto layer = [&](const std::string& name, std::vector<std::uint32_t> dims) {
    std::size_t n = 1, fan_in = 1;
    for (std::size_t i = 0; i < dims.size(); ++i) {
      n *= dims[i];
      if (i) fan_in *= dims[i];
    }
    std::vector<double> w(n), bias(dims[0]);
    for (double& v : w) v = normal(rng) / std::sqrt(static_cast<double>(fan_in));
    for (double& v : bias) v = 0.1 * normal(rng);
    b.f16("w." + name + ".weight", dims, w).f16("w." + name + ".bias", {dims[0]}, bias);
  };
  const auto norm = [&](const std::string& name) {
    std::vector<double> g(c), beta(c);
    for (double& v : g) v = 1.0 + 0.1 * normal(rng);
    for (double& v : beta) v = 0.1 * normal(rng);
    b.f16("w." + name + ".weight", {c}, g).f16("w." + name + ".bias", {c}, beta);
  };
  layer("stem", {c, 3, 5});
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::string prefix = "blocks." + std::to_string(i) + ".";
    layer(prefix + "conv1", {c, c, 5});
    norm(prefix + "norm1");
    layer(prefix + "conv2", {c, c, 5});
    norm(prefix + "norm2");
  }
  layer("head.0", {4 * c, 2 * c + 2});
  layer("head.2", {4 * c, 4 * c});
  layer("head.4", {static_cast<std::uint32_t>(2 * p), 4 * c});
  return b;
}

inline const std::vector<ParamScaling>& rc_scaling() {
  static const std::vector<ParamScaling> s = {
      {1, 0, 0, -1, true}, {1, 0, 0, -1, true}, {-1, -1, 0, -1, true}};
  return s;
}
inline const std::vector<ParamScaling>& rq_scaling() {
  static const std::vector<ParamScaling> s = {
      {1, 0, 0, -1, true}, {1, 0, 0, -1, true}, {-1, 0, -1, 3, true}, {0, 0, 0, -1, false}};
  return s;
}

// A complete rc model ("R0-(R1,C1)") with random weights.
inline std::vector<std::uint8_t> rc_model(std::size_t channels = 16, unsigned seed = 1) {
  EisnnBuilder b = with_metadata("R0-(R1,C1)", "R0.r,R1.r,C1.c", channels);
  add_network(b, 3, channels, seed);
  add_normalisation(b, rc_scaling());
  return b.bytes();
}

// A complete rq model ("R0-(R1,CPE1)") with random weights.
inline std::vector<std::uint8_t> rq_model(std::size_t channels = 16, unsigned seed = 2) {
  EisnnBuilder b = with_metadata("R0-(R1,CPE1)", "R0.r,R1.r,CPE1.q,CPE1.alpha", channels);
  add_network(b, 4, channels, seed);
  add_normalisation(b, rq_scaling());
  return b.bytes();
}

}  // namespace korvex::test
