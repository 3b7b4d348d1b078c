#include "python/fit_starts.hpp"

#include <nanobind/stl/string.h>

#include "common/format.hpp"
#include "python/convert.hpp"
#include "python/fit_arguments.hpp"

namespace korvex::py {

std::optional<StartCount> to_starts(nb::handle obj) {
  if (obj.is_none()) return std::nullopt;
  if (PyUnicode_Check(obj.ptr())) {
    const std::string text = to_str(obj, "starts");
    if (text == "auto") return StartCount{0, true};
    throw nb::value_error(
        ("argument 'starts': expected a positive int or \"auto\", got " + debug_string(text))
            .c_str());
  }
  if (PyBool_Check(obj.ptr())) {
    raise_type_error("argument 'starts': expected a positive int, \"auto\" or None, got 'bool'");
  }
  const std::uint64_t count = to_unsigned(obj, "starts", kMaxU32);
  if (count == 0) {
    throw nb::value_error("argument 'starts': expected a positive int or \"auto\", got 0");
  }
  return StartCount{count, false};
}

}  // namespace korvex::py
