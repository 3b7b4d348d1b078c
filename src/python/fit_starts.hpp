#pragma once
// Conversion of fit()'s `starts` keyword.
#include <optional>

#include "python/bindings.hpp"
#include "starts/start_options.hpp"

namespace korvex::py {

// None, a positive int (extra starts) or "auto". TypeError for other types
// (bool included), ValueError for 0 or another string.
std::optional<StartCount> to_starts(nb::handle obj);

}  // namespace korvex::py
