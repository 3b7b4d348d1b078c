#include "python/fit_controls.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include <nanobind/stl/string.h>

#include "common/format.hpp"
#include "python/convert.hpp"

namespace korvex::py {
namespace {

std::string type_name_of(nb::handle obj) { return nb::type_name(obj.type()).c_str(); }

[[noreturn]] void raise_value_error(const std::string& message) {
  throw nb::value_error(message.c_str());
}

// (name, value) pairs of a mapping, in its iteration order.
std::vector<std::pair<nb::object, nb::object>> mapping_items(nb::handle obj, const char* arg,
                                                             const char* what) {
  if (!PyDict_Check(obj.ptr()) && !nb::hasattr(obj, "items")) {
    raise_type_error(std::string("argument '") + arg +
                     "': expected a mapping of parameter names "
                     "to " +
                     what + ", got '" + type_name_of(obj) + "'");
  }
  std::vector<std::pair<nb::object, nb::object>> out;
  for (nb::handle item : obj.attr("items")()) {
    nb::object key = item[0], value = item[1];
    out.emplace_back(key, value);
  }
  return out;
}

// Index of the parameter `key` names; unknown names get the closest name.
std::size_t parameter_index(nb::handle key, const char* arg,
                            const std::vector<std::string>& names) {
  if (!PyUnicode_Check(key.ptr())) {
    raise_type_error(std::string("argument '") + arg + "': keys must be str, got '" +
                     type_name_of(key) + "'");
  }
  const std::string name = to_str(key, arg);
  const auto at = std::find(names.begin(), names.end(), name);
  if (at != names.end()) return static_cast<std::size_t>(at - names.begin());
  const auto suggestion = closest_param_name(name, names);
  raise_value_error(std::string("argument '") + arg + "': unknown parameter " + debug_string(name) +
                    (suggestion ? " (did you mean " + debug_string(*suggestion) + "?)" : "") +
                    "; valid parameters are " + debug_list(names));
}

std::string interval(const Bounds& b) {
  return "(" + compact_float(b.first) + ", " + compact_float(b.second) + ")";
}

// One side of a bound: None keeps `current`; anything else a float, not NaN.
double bound_side(nb::handle obj, const char* arg, const std::string& name, double current) {
  if (obj.is_none()) return current;
  const double v = to_double(obj, arg);
  if (std::isnan(v)) {
    raise_value_error(std::string("argument '") + arg + "': the bounds of " + name +
                      " must not be NaN");
  }
  return v;
}

nb::object with_bounds_method(const PyCircuit& c, nb::handle bounds) {
  if (bounds.is_none()) {
    raise_type_error(
        "argument 'bounds': expected a mapping of parameter names to (lo, hi) "
        "pairs, got 'NoneType'");
  }
  const auto merged = read_bounds(bounds, "bounds", c.nodes, param_bounds(c.nodes));
  return nb::cast(PyCircuit{with_param_bounds(c.nodes, merged), c.explicit_values},
                  nb::rv_policy::move);
}

}  // namespace

std::vector<Bounds> read_bounds(nb::handle bounds, const char* arg, const SeriesList& circuit,
                                std::vector<Bounds> current) {
  if (bounds.is_none()) return current;
  const auto names = param_names(circuit);
  for (const auto& [key, value] : mapping_items(bounds, arg, "(lo, hi) pairs")) {
    const std::size_t j = parameter_index(key, arg, names);
    const std::string& name = names[j];
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr()) ||
        PySequence_Size(value.ptr()) != 2) {
      if (PyErr_Occurred()) PyErr_Clear();
      raise_type_error(std::string("argument '") + arg + "': the bounds of " + name +
                       " must be a (lo, hi) pair, got '" + type_name_of(value) + "'");
    }
    const double lo = bound_side(value[0], arg, name, current[j].first);
    const double hi = bound_side(value[1], arg, name, current[j].second);
    if (!std::isfinite(lo)) {
      raise_value_error(std::string("argument '") + arg + "': the lower bound of " + name +
                        " must be finite, got " + compact_float(lo));
    }
    if (!(lo < hi)) {
      raise_value_error(std::string("argument '") + arg + "': the bounds of " + name +
                        " are empty or inverted: " + interval({lo, hi}) + " needs lo < hi");
    }
    current[j] = {lo, hi};
  }
  return current;
}

std::vector<std::optional<double>> read_constants(nb::handle constants, const SeriesList& circuit) {
  const auto names = param_names(circuit);
  std::vector<std::optional<double>> out(names.size());
  if (constants.is_none()) return out;
  for (const auto& [key, value] : mapping_items(constants, "constants", "values")) {
    const std::size_t j = parameter_index(key, "constants", names);
    const double v = to_double(value, "constants");
    if (!std::isfinite(v)) {
      raise_value_error("argument 'constants': the value of " + names[j] + " must be finite, got " +
                        compact_float(v));
    }
    out[j] = v;
  }
  return out;
}

FitControls read_fit_controls(const SeriesList& circuit, nb::handle constants, nb::handle bounds) {
  return {read_bounds(bounds, "bounds", circuit, param_bounds(circuit)),
          read_constants(constants, circuit)};
}

ControlledStart apply_fit_controls(const SeriesList& start, bool guessed,
                                   const FitControls& controls) {
  const auto names = param_names(start);
  const auto catalogue = catalogue_bounds(start);
  const auto& merged = controls.bounds;
  const auto& held_values = controls.constants;
  std::vector<double> values = param_values(start);
  std::vector<bool> held(values.size(), false);
  for (std::size_t j = 0; j < values.size(); ++j) {
    const auto [lo, hi] = merged[j];
    if (held_values[j]) {
      values[j] = *held_values[j];
      held[j] = true;
      if (values[j] < lo || values[j] > hi) {
        raise_value_error("argument 'constants': " + names[j] + " = " + compact_float(values[j]) +
                          " is outside its bounds " + interval(merged[j]));
      }
      continue;
    }
    // Catalogue bounds keep their established treatment: the fit clamps.
    if (merged[j] == catalogue[j] || (values[j] >= lo && values[j] <= hi)) continue;
    if (guessed) {
      values[j] = std::clamp(values[j], lo, hi);
      continue;
    }
    raise_value_error("argument 'bounds': the start value of " + names[j] + " (" +
                      compact_float(values[j]) + ") is outside its bounds " + interval(merged[j]) +
                      "; give a start value inside them");
  }
  return {with_param_bounds(rebuild(start, values), merged), std::move(held)};
}

void register_circuit_bounds(nb::module_& m) {
  auto cls = nb::borrow<nb::class_<PyCircuit>>(m.attr("Circuit"));
  cls.def("with_bounds", &with_bounds_method, nb::arg("bounds").none(),
          nb::sig("def with_bounds(self, bounds: typing.Mapping[str, tuple[float | None, float "
                  "| None]]) -> Circuit"),
          "A new circuit whose named parameters have the given `(lo, hi)` bounds\n"
          "(either side None keeps the current one); the others keep theirs. Every\n"
          "fit of the new circuit uses them, and `param_bounds()` reports them.\n"
          "`lo` must be finite and below `hi`; `hi` may be `inf` (then the fit\n"
          "searches `log10(p - lo)`).");
}

}  // namespace korvex::py
