#include "models/registry.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <list>

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

// What identifies one version of a file: a replaced or rewritten file has
// another inode, size or modification time, and is read again.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  std::int64_t modified_ns = 0;
  friend bool operator==(const FileStamp&, const FileStamp&) = default;
};

// An open regular file of at most kMaxWeightFileBytes, with its stamp.
struct OpenFile {
  int fd;
  FileStamp stamp;
};

// Opened without blocking (a FIFO without a writer would otherwise hang the
// open) and refused unless regular and small enough, before any read.
nn::NnResult<OpenFile> open_weight_file(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return nn::NnError::io("the path contains a NUL character");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nn::NnError::io(std::strerror(errno));
  struct stat st{};
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    return nn::NnError::io(std::strerror(error));
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    return nn::NnError::io(path + " is not a regular file");
  }
  if (static_cast<std::uint64_t>(st.st_size) > kMaxWeightFileBytes) {
    ::close(fd);
    return nn::NnError::io(path + " is larger than the limit of " +
                           std::to_string(kMaxWeightFileBytes) + " bytes for a weight file");
  }
  const std::int64_t modified_ns =
      static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  return OpenFile{fd, {st.st_dev, st.st_ino, st.st_size, modified_ns}};
}

// The whole file; refused if it grows past the limit while being read.
nn::NnResult<std::vector<std::uint8_t>> read_whole_file(const OpenFile& file) {
  std::vector<std::uint8_t> bytes;
  bytes.reserve(static_cast<std::size_t>(file.stamp.size));
  std::uint8_t buffer[1 << 16];
  for (;;) {
    const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return nn::NnError::io(std::strerror(errno));
    }
    if (bytes.size() + static_cast<std::size_t>(n) > kMaxWeightFileBytes) {
      return nn::NnError::io("the file grew past the limit of " +
                             std::to_string(kMaxWeightFileBytes) + " bytes while being read");
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

GuesserOrError decode_and_check(const Model& model,
                                std::optional<std::span<const std::uint8_t>> weights) {
  if (!weights) return missing_weights_message(model.name());
  auto decoded = nn::Guesser::from_bytes(*weights);
  if (!decoded) return decoded.error().message();
  nn::Guesser& g = *decoded;
  if (g.circuit != model.circuit()) {
    return nn::NnError::unparsable("model " + debug_string(model.name()) + " is registered as " +
                                   debug_string(model.circuit()) +
                                   " but its weights were trained for " + debug_string(g.circuit))
        .message();
  }
  if (!model.topology()) {
    return nn::NnError::unparsable("registry circuit " + debug_string(model.circuit())).message();
  }
  const std::vector<std::string> expected = param_names(*model.topology());
  if (g.param_names != expected) {
    return nn::NnError::unparsable("model " + debug_string(model.name()) + " has parameters " +
                                   debug_list(g.param_names) + ", expected " + debug_list(expected))
        .message();
  }
  return std::move(g);
}

struct CacheEntry {
  std::string path;
  FileStamp stamp;
  SharedGuesser guesser;
};

// Most recently used first. The lock is held only to look up and update the
// list, never while a file is read or decoded.
struct ExternalCache {
  std::mutex mutex;
  std::list<CacheEntry> entries;
};

// Never destroyed: a guess may still hold an entry at interpreter exit.
ExternalCache& external_cache() {
  static ExternalCache* cache = new ExternalCache;
  return *cache;
}

SharedGuesser cached(const std::string& path, const FileStamp& stamp) {
  ExternalCache& cache = external_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  for (auto it = cache.entries.begin(); it != cache.entries.end(); ++it) {
    if (it->path != path || it->stamp != stamp) continue;
    cache.entries.splice(cache.entries.begin(), cache.entries, it);
    return it->guesser;
  }
  return nullptr;
}

void remember(const std::string& path, const FileStamp& stamp, SharedGuesser guesser) {
  ExternalCache& cache = external_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  // An older version of the file is of no further use.
  cache.entries.remove_if([&](const CacheEntry& e) { return e.path == path; });
  cache.entries.push_front({path, stamp, std::move(guesser)});
  if (cache.entries.size() > kExternalCacheCapacity) cache.entries.pop_back();
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
      list->push_back(
          new Model(std::string(t.name), std::string(t.circuit), embedded_weights(t.name)));
    }
    return list;
  }();
  return *models;
}

namespace {

// The tree's shape and element kinds, as written: everything a topology match
// depends on (labels and values do not enter it).
void append_signature(const SeriesList& list, std::string& out) {
  for (const Node& node : list) {
    if (!node.parallel) {
      out += static_cast<char>('a' + static_cast<int>(node.element.kind));
      continue;
    }
    out += '(';
    for (const SeriesList& branch : node.branches) {
      append_signature(branch, out);
      out += '|';
    }
    out += ')';
  }
}

std::optional<ModelMatch> search_builtin(const SeriesList& user) {
  for (const Model* model : builtin_models()) {
    if (!model->topology()) continue;
    if (auto match = match_or_expand(*model->topology(), user)) {
      return ModelMatch{model, std::move(match->map), match->expanded};
    }
  }
  return std::nullopt;
}

// Repeated guesses and fits of one circuit skip the search: its outcome is
// kept per signature. Bounded, so that a stream of distinct circuits cannot
// grow it without limit; when full it starts over.
constexpr std::size_t kMatchCacheSize = 64;

}  // namespace

std::optional<ModelMatch> find_for_topology(const SeriesList& user) {
  static std::mutex mutex;
  static auto* cache = new std::map<std::string, std::optional<ModelMatch>, std::less<>>;
  std::string key;
  append_signature(user, key);
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (auto it = cache->find(key); it != cache->end()) return it->second;
  }
  std::optional<ModelMatch> found = search_builtin(user);
  std::lock_guard<std::mutex> lock(mutex);
  if (cache->size() >= kMatchCacheSize) cache->clear();
  cache->emplace(std::move(key), found);
  return found;
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

nn::NnResult<SharedGuesser> load_external(const std::string& path) {
  auto file = open_weight_file(path);
  if (!file) return file.error();
  const int fd = file->fd;
  const struct CloseOnExit {
    int fd;
    ~CloseOnExit() { ::close(fd); }
  } closer{fd};
  if (SharedGuesser hit = cached(path, file->stamp)) return hit;
  const auto bytes = read_whole_file(*file);
  if (!bytes) return bytes.error();
  auto decoded = nn::Guesser::from_bytes(*bytes);
  if (!decoded) return decoded.error();
  auto guesser = std::make_shared<const nn::Guesser>(std::move(*decoded));
  remember(path, file->stamp, guesser);
  return guesser;
}

std::size_t external_cache_size() {
  ExternalCache& cache = external_cache();
  std::lock_guard<std::mutex> lock(cache.mutex);
  return cache.entries.size();
}

}  // namespace korvex::models
