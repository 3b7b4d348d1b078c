#pragma once
// The trained models: the eleven built-in ones compiled into the module, and
// the cache of models read from ".eisnn" files by path.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "circuit/node.hpp"
#include "models/topology.hpp"
#include "nn/guesser.hpp"

namespace korvex::models {

// A decoded and checked model, or why it cannot be used.
using GuesserOrError = std::variant<nn::Guesser, std::string>;

class Model {
 public:
  // `weights` is borrowed for the model's lifetime; none when the build has
  // no weight file for it.
  Model(std::string name, std::string circuit,
        std::optional<std::span<const std::uint8_t>> weights);
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  const std::string& name() const { return name_; }
  const std::string& circuit() const { return circuit_; }
  bool has_weights() const { return weights_.has_value(); }
  // The parsed circuit text; none if it does not parse.
  const std::optional<SeriesList>& topology() const { return topology_; }

  // Decoded and checked against the registered circuit on first use, once
  // per process; concurrent first callers wait for that one decode. A
  // failure is stored as its message and returned ever after.
  const GuesserOrError& guesser() const;

 private:
  std::string name_;
  std::string circuit_;
  std::optional<std::span<const std::uint8_t>> weights_;
  std::optional<SeriesList> topology_;
  mutable std::once_flag once_;
  mutable std::optional<GuesserOrError> outcome_;
};

// The message of a built-in model that has no weight file in this build.
std::string missing_weights_message(const std::string& name);

// The built-in models in lookup order: rc first, sei_randles_wo last.
const std::vector<const Model*>& builtin_models();

struct ModelMatch {
  const Model* model;
  ParamMap map;
  bool expanded;
};
// The first built-in model whose topology matches (weights not decoded).
std::optional<ModelMatch> find_for_topology(const SeriesList& user);

std::vector<std::string> names();
// 'rc', 'rc_l', ..., 'sei_randles_wo'
std::string quoted_names();

// Models read from ".eisnn" files. Only regular files of at most
// kMaxWeightFileBytes are read; anything else is refused before a byte is
// read. Decoded models are cached by path text (exactly as given) together
// with the file's identity, size and modification time, so a replaced file is
// read again; at most kExternalCacheCapacity models are kept, the least
// recently used dropped first. A failed load caches nothing.
inline constexpr std::uint64_t kMaxWeightFileBytes = std::uint64_t{16} << 20;
inline constexpr std::size_t kExternalCacheCapacity = 16;

using SharedGuesser = std::shared_ptr<const nn::Guesser>;

// The model in the file at `path`, from the cache when the file is unchanged.
// Safe to call from several threads; no lock is held while reading.
nn::NnResult<SharedGuesser> load_external(const std::string& path);

// Models held in the cache now.
std::size_t external_cache_size();

}  // namespace korvex::models
