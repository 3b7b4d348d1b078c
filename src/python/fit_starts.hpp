#pragma once
// fit()'s `starts` keyword: its conversion and the start it implies for a
// circuit that has neither its own values nor a trained model.
#include <optional>

#include "fit/driver.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"

namespace korvex::py {

// None, a positive int (extra starts) or "auto". TypeError for other types
// (bool included), ValueError for 0 or another string.
std::optional<StartCount> to_starts(nb::handle obj);

// The estimate from the spectrum, or the circuit's own values when the data
// cannot be estimated from (non-finite values).
SeriesList estimated_start(const SeriesList& circuit, const SpectrumData& spectrum);

}  // namespace korvex::py
