#include "python/fit_controls.hpp"

#include <string>

#include <nanobind/stl/string.h>

#include "python/convert.hpp"

namespace korvex::py {
namespace {

std::string type_name_of(nb::handle obj) { return nb::type_name(obj.type()).c_str(); }

// (name, value) pairs of a mapping, in its iteration order; the names str.
std::vector<std::pair<std::string, nb::object>> mapping_items(nb::handle obj, const char* arg,
                                                              const char* what) {
  if (!PyDict_Check(obj.ptr()) && !nb::hasattr(obj, "items")) {
    raise_type_error(std::string("argument '") + arg +
                     "': expected a mapping of parameter names "
                     "to " +
                     what + ", got '" + type_name_of(obj) + "'");
  }
  std::vector<std::pair<std::string, nb::object>> out;
  for (nb::handle item : obj.attr("items")()) {
    nb::object key = item[0], value = item[1];
    if (!PyUnicode_Check(key.ptr())) {
      raise_type_error(std::string("argument '") + arg + "': keys must be str, got '" +
                       type_name_of(key) + "'");
    }
    out.emplace_back(to_str(key, arg), value);
  }
  return out;
}

// One side of a bound: None keeps the current one.
std::optional<double> bound_side(nb::handle obj, const char* arg) {
  if (obj.is_none()) return std::nullopt;
  return to_double(obj, arg);
}

nb::object with_bounds_method(const PyCircuit& c, nb::handle bounds) {
  if (bounds.is_none()) {
    raise_type_error(
        "argument 'bounds': expected a mapping of parameter names to (lo, hi) "
        "pairs, got 'NoneType'");
  }
  const auto merged = value_or_raise(
      merge_bounds(c.nodes, to_named_bounds(bounds, "bounds"), param_bounds(c.nodes), "bounds"));
  return nb::cast(PyCircuit{with_param_bounds(c.nodes, merged), c.explicit_values},
                  nb::rv_policy::move);
}

}  // namespace

NamedValues to_named_values(nb::handle constants, const char* arg) {
  NamedValues out;
  if (constants.is_none()) return out;
  for (const auto& [name, value] : mapping_items(constants, arg, "values")) {
    out.emplace_back(name, to_double(value, arg));
  }
  return out;
}

NamedBounds to_named_bounds(nb::handle bounds, const char* arg) {
  NamedBounds out;
  if (bounds.is_none()) return out;
  for (const auto& [name, value] : mapping_items(bounds, arg, "(lo, hi) pairs")) {
    if (!PySequence_Check(value.ptr()) || PyUnicode_Check(value.ptr()) ||
        PySequence_Size(value.ptr()) != 2) {
      if (PyErr_Occurred()) PyErr_Clear();
      raise_type_error(std::string("argument '") + arg + "': the bounds of " + name +
                       " must be a (lo, hi) pair, got '" + type_name_of(value) + "'");
    }
    out.emplace_back(name, BoundSides{bound_side(value[0], arg), bound_side(value[1], arg)});
  }
  return out;
}

FitControls read_fit_controls(const SeriesList& circuit, const FitOptions& options) {
  return value_or_raise(resolve_fit_controls(circuit, options.constants, options.bounds));
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
