#include "models/registry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <stdexcept>

#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "common/format.hpp"
#include "models/builtin_topologies.hpp"
#include "models/embedded.hpp"

namespace korvex::models {
namespace {

std::optional<std::span<const std::uint8_t>> embedded_weights(std::string_view name) {
  std::size_t count = 0;
  const EmbeddedFile* files = embedded_files(&count);
  for (std::size_t i = 0; i < count; ++i) {
    if (name == files[i].name) return std::span<const std::uint8_t>(files[i].data, files[i].size);
  }
  return std::nullopt;
}

nn::NnResult<std::vector<std::uint8_t>> read_whole_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return nn::NnError::io("the path contains a NUL character");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nn::NnError::io(std::strerror(errno));
  std::vector<std::uint8_t> bytes;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    bytes.reserve(static_cast<std::size_t>(st.st_size));
  }
  std::uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      return nn::NnError::io(std::strerror(error));
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return bytes;
}

GuesserOrError decode_and_check(const Model& model,
                                std::optional<std::span<const std::uint8_t>> weights) {
  if (!weights) return missing_weights_message(model.name());
  auto decoded = nn::Guesser::from_bytes(*weights);
  if (!decoded) return decoded.error().message();
  nn::Guesser& g = *decoded;
  if (g.circuit != model.circuit()) {
    return nn::NnError::unparsable("model " + debug_string(model.name()) +
                                   " is registered as " + debug_string(model.circuit()) +
                                   " but its weights were trained for " +
                                   debug_string(g.circuit))
        .message();
  }
  if (!model.topology()) {
    return nn::NnError::unparsable("registry circuit " + debug_string(model.circuit())).message();
  }
  const std::vector<std::string> expected = param_names(*model.topology());
  if (g.param_names != expected) {
    return nn::NnError::unparsable("model " + debug_string(model.name()) + " has parameters " +
                                   debug_list(g.param_names) + ", expected " +
                                   debug_list(expected))
        .message();
  }
  return std::move(g);
}

struct ExternalCache {
  std::mutex mutex;
  bool poisoned = false;
  // Node-based, so the Guessers handed out never move.
  std::map<std::string, nn::Guesser> entries;
};

// Never destroyed: the Guessers it hands out live until the process ends.
ExternalCache& external_cache() {
  static ExternalCache* cache = new ExternalCache;
  return *cache;
}

}  // namespace

Model::Model(std::string name, std::string circuit,
             std::optional<std::span<const std::uint8_t>> weights)
    : name_(std::move(name)), circuit_(std::move(circuit)), weights_(weights) {
  auto parsed = parse(circuit_);
  if (auto* series = std::get_if<SeriesList>(&parsed)) topology_ = std::move(*series);
}

const GuesserOrError& Model::guesser() const {
  std::call_once(once_, [this] { outcome_.emplace(decode_and_check(*this, weights_)); });
  return *outcome_;
}

std::string missing_weights_message(const std::string& name) {
  return "the built-in model " + debug_string(name) +
         " has no trained weights in this build of korvex";
}

const std::vector<const Model*>& builtin_models() {
  static const std::vector<const Model*>* models = [] {
    auto* list = new std::vector<const Model*>;
    for (const BuiltinTopology& t : kBuiltinTopologies) {
      list->push_back(new Model(std::string(t.name), std::string(t.circuit),
                                embedded_weights(t.name)));
    }
    return list;
  }();
  return *models;
}

std::optional<ModelMatch> find_for_topology(const SeriesList& user) {
  for (const Model* model : builtin_models()) {
    if (!model->topology()) continue;
    if (auto match = match_or_expand(*model->topology(), user)) {
      return ModelMatch{model, std::move(match->map), match->expanded};
    }
  }
  return std::nullopt;
}

std::vector<std::string> names() {
  std::vector<std::string> out;
  out.reserve(std::size(kBuiltinTopologies));
  for (const BuiltinTopology& t : kBuiltinTopologies) out.emplace_back(t.name);
  return out;
}

std::string quoted_names() {
  std::string out;
  for (const BuiltinTopology& t : kBuiltinTopologies) {
    if (!out.empty()) out += ", ";
    out += '\'';
    out += t.name;
    out += '\'';
  }
  return out;
}

ExternalCacheLock::ExternalCacheLock()
    : lock_(external_cache().mutex), uncaught_(std::uncaught_exceptions()) {
  if (external_cache().poisoned) {
    throw std::runtime_error(
        "weights cache poisoned: an earlier load of a weight file failed while holding it");
  }
}

ExternalCacheLock::~ExternalCacheLock() {
  if (std::uncaught_exceptions() > uncaught_) external_cache().poisoned = true;
}

nn::NnResult<const nn::Guesser*> ExternalCacheLock::load(const std::string& path) {
  auto& entries = external_cache().entries;
  if (const auto it = entries.find(path); it != entries.end()) return &it->second;
  const auto bytes = read_whole_file(path);
  if (!bytes) return bytes.error();
  auto decoded = nn::Guesser::from_bytes(*bytes);
  if (!decoded) return decoded.error();
  const auto inserted = entries.emplace(path, std::move(*decoded));
  return &inserted.first->second;
}

std::size_t ExternalCacheLock::size() const { return external_cache().entries.size(); }

nn::NnResult<const nn::Guesser*> load_external(const std::string& path) {
  ExternalCacheLock lock;
  return lock.load(path);
}

}  // namespace korvex::models
