#include "python/persist.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"
#include "common/format.hpp"
#include "python/convert.hpp"

namespace korvex::py {
namespace {

constexpr const char* kNoText =
    "a circuit with an empty parallel group or branch, or with two elements of the same "
    "label, has no text form";

std::string text_of(const SeriesList& nodes) {
  if (!has_text_form(nodes)) throw nb::value_error(kNoText);
  return circuit_text(nodes);
}

std::string debug_key(const char* key) { return "'" + std::string(key) + "'"; }

[[noreturn]] void bad_state(const std::string& what) {
  throw nb::value_error(("circuit state: " + what).c_str());
}

nb::object field(nb::handle state, const char* key) {
  PyObject* value = PyDict_GetItemString(state.ptr(), key);  // borrowed
  if (!value) bad_state("missing " + debug_key(key));
  return nb::borrow(value);
}

template <class T>
T as(nb::handle value, const char* key) {
  T out;
  if (!nb::try_cast(value, out)) {
    bad_state(debug_key(key) + " has the wrong type '" +
              std::string(nb::type_name(value.type()).c_str()) + "'");
  }
  return out;
}

// Re-applies the bounds saved with a circuit: the one place where a restored
// circuit gets bounds of its own (as Circuit.with_bounds gives them), checked
// as with_bounds checks them.
void restore_bounds(PyCircuit& c, const std::vector<Bounds>& saved) {
  if (saved.size() != param_count(c.nodes)) {
    bad_state("'bounds' holds " + std::to_string(saved.size()) + " pairs for " +
              std::to_string(param_count(c.nodes)) + " parameters");
  }
  for (const auto& [lo, hi] : saved) {
    if (!std::isfinite(lo) || !(lo < hi)) {
      bad_state("'bounds' holds (" + compact_float(lo) + ", " + compact_float(hi) +
                "), which is not a finite lo below hi");
    }
  }
  c.nodes = with_param_bounds(c.nodes, saved);
}

std::vector<Bounds> read_bounds(nb::handle value) {
  std::vector<Bounds> out;
  for (nb::handle pair : as<nb::list>(value, "bounds")) {
    const auto lo_hi = as<std::vector<double>>(pair, "bounds");
    if (lo_hi.size() != 2) bad_state("'bounds' entries must be [lo, hi] pairs");
    out.emplace_back(lo_hi[0], lo_hi[1]);
  }
  return out;
}

nb::object bits(double x) { return nb::int_(std::bit_cast<std::uint64_t>(x)); }

nb::object circuit_key(const PyCircuit& c) {
  nb::list values, bounds;
  for (double v : param_values(c.nodes)) values.append(bits(v));
  for (const auto& [lo, hi] : param_bounds(c.nodes)) bounds.append(nb::make_tuple(bits(lo), bits(hi)));
  return nb::make_tuple(circuit_text(c.nodes), nb::tuple(values), nb::tuple(bounds));
}

nb::object element_key(const PyElement& e) {
  nb::list key;
  key.append(static_cast<int>(e.element.kind));
  for (double v : e.element.values()) key.append(bits(v));
  return nb::tuple(key);
}

}  // namespace

nb::dict circuit_state(const PyCircuit& c) {
  nb::dict state;
  state["text"] = text_of(c.nodes);
  nb::list values, bounds, automatic;
  for (double v : param_values(c.nodes)) values.append(v);
  for (const auto& [lo, hi] : param_bounds(c.nodes)) {
    nb::list pair;
    pair.append(lo);
    pair.append(hi);
    bounds.append(pair);
  }
  const auto leaves = collect_leaves(c.nodes);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    if (!*leaves[i].label) automatic.append(i);
  }
  state["values"] = values;
  state["bounds"] = bounds;
  state["automatic_labels"] = automatic;
  state["explicit_values"] = c.explicit_values;
  return state;
}

PyCircuit circuit_from_state(nb::handle state) {
  if (!PyDict_Check(state.ptr())) {
    bad_state("expected a dict, got '" + std::string(nb::type_name(state.type()).c_str()) + "'");
  }
  const auto text = as<std::string>(field(state, "text"), "text");
  SeriesList nodes;
  if (!text.empty()) {
    auto parsed = parse(text);
    if (auto* error = std::get_if<ParseError>(&parsed)) bad_state("'text': " + error->message());
    nodes = std::move(std::get<SeriesList>(parsed));
  }
  const auto values = as<std::vector<double>>(field(state, "values"), "values");
  if (values.size() != param_count(nodes)) {
    bad_state("'values' holds " + std::to_string(values.size()) + " values for " +
              std::to_string(param_count(nodes)) + " parameters");
  }
  const auto automatic =
      as<std::vector<std::size_t>>(field(state, "automatic_labels"), "automatic_labels");
  PyCircuit c{without_labels(rebuild(nodes, values), automatic),
              as<bool>(field(state, "explicit_values"), "explicit_values")};
  restore_bounds(c, read_bounds(field(state, "bounds")));
  if (nb::len(state) != 5) bad_state("unknown keys");
  return c;
}

nb::object state_key(nb::handle state) {
  if (PyFloat_Check(state.ptr())) return bits(PyFloat_AS_DOUBLE(state.ptr()));
  if (PyDict_Check(state.ptr())) {
    nb::list items;
    for (auto [key, value] : nb::borrow<nb::dict>(state)) {
      items.append(nb::make_tuple(key, state_key(value)));
    }
    return nb::tuple(items);
  }
  if (PyList_Check(state.ptr()) || PyTuple_Check(state.ptr())) {
    nb::list items;
    for (nb::handle item : state) items.append(state_key(item));
    return nb::tuple(items);
  }
  return nb::borrow(state);
}

void register_circuit_persistence(nb::class_<PyCircuit>& cls) {
  cls.def_prop_ro(
      "text", [](const PyCircuit& c) { return text_of(c.nodes); },
      nb::sig("def text(self) -> str"),
      "The circuit as text, e.g. \"R0-p(R1,CPE1)\": `Circuit(c.text)` has the\n"
      "same elements, labels and parameter names (with default values).");
  cls.def("__getstate__", &circuit_state);
  cls.def("__setstate__", [](PyCircuit& self, nb::handle state) {
    new (&self) PyCircuit(circuit_from_state(state));
  });
  cls.def("__eq__", [](const PyCircuit& self, nb::handle other) -> nb::object {
    if (!nb::isinstance<PyCircuit>(other)) return nb::borrow(Py_NotImplemented);
    return nb::bool_(circuit_key(self).equal(circuit_key(nb::cast<const PyCircuit&>(other))));
  });
  cls.def("__hash__", [](const PyCircuit& self) { return nb::hash(circuit_key(self)); });
}

void register_element_persistence(nb::class_<PyElement>& cls) {
  cls.def("__reduce__", [](nb::handle self) {
    nb::list fields;
    for (double v : nb::cast<const PyElement&>(self).element.values()) fields.append(v);
    return nb::make_tuple(self.type(), nb::tuple(fields));
  });
  cls.def("__eq__", [](const PyElement& self, nb::handle other) -> nb::object {
    if (!nb::isinstance<PyElement>(other)) return nb::borrow(Py_NotImplemented);
    return nb::bool_(element_key(self).equal(element_key(nb::cast<const PyElement&>(other))));
  });
  cls.def("__hash__", [](const PyElement& self) { return nb::hash(element_key(self)); });
}

}  // namespace korvex::py
