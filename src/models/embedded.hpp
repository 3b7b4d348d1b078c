#pragma once
// Weight files compiled into the module at build time (see cmake/embed_models.cmake).
#include <cstddef>
#include <cstdint>

namespace korvex::models {

struct EmbeddedFile {
  const char* name;  // file stem, e.g. "randles"
  const std::uint8_t* data;
  std::size_t size;
};

// The embedded files sorted by name; *count receives their number.
const EmbeddedFile* embedded_files(std::size_t* count);

}  // namespace korvex::models
