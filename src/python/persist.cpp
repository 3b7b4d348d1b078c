#include "python/persist.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

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
  c.plan.reset();
}

std::vector<Bounds> read_bounds(nb::handle value) {
  std::vector<Bounds> out;
  std::vector<double> packed;
  if (unpack_doubles(value, "circuit state: 'bounds'", packed)) {
    if (packed.size() % 2) bad_state("'bounds' must hold (lo, hi) pairs");
    for (std::size_t i = 0; i < packed.size(); i += 2) out.emplace_back(packed[i], packed[i + 1]);
    return out;
  }
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
  for (const auto& [lo, hi] : param_bounds(c.nodes)) {
    bounds.append(nb::make_tuple(bits(lo), bits(hi)));
  }
  return nb::make_tuple(circuit_text(c.nodes), nb::tuple(values), nb::tuple(bounds));
}

nb::object element_key(const PyElement& e) {
  nb::list key;
  key.append(static_cast<int>(e.element.kind));
  for (double v : e.element.values()) key.append(bits(v));
  return nb::tuple(key);
}

}  // namespace

nb::dict circuit_state(const PyCircuit& c, bool packed) {
  nb::dict state;
  state["text"] = text_of(c.nodes);
  const auto values = param_values(c.nodes);
  const auto bounds = param_bounds(c.nodes);
  if (packed) {
    std::vector<double> flat;
    for (const auto& [lo, hi] : bounds) flat.insert(flat.end(), {lo, hi});
    state["values"] = pack_doubles(values);
    state["bounds"] = pack_doubles(flat);
  } else {
    nb::list pairs;
    for (const auto& [lo, hi] : bounds) {
      nb::list pair;
      pair.append(lo);
      pair.append(hi);
      pairs.append(pair);
    }
    state["values"] = nb::cast(values);
    state["bounds"] = pairs;
  }
  nb::list automatic;
  const auto leaves = collect_leaves(c.nodes);
  for (std::size_t i = 0; i < leaves.size(); ++i) {
    if (!*leaves[i].label) automatic.append(i);
  }
  state["automatic_labels"] = automatic;
  state["explicit_values"] = c.explicit_values;
  return state;
}

nb::bytes pack_doubles(const std::vector<double>& values) {
  std::string bytes(values.size() * sizeof(double), '\0');
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto bits = std::bit_cast<std::uint64_t>(values[i]);
    for (std::size_t k = 0; k < sizeof(double); ++k) {
      bytes[i * sizeof(double) + k] = static_cast<char>((bits >> (8 * k)) & 0xFF);
    }
  }
  return nb::bytes(bytes.data(), bytes.size());
}

bool unpack_doubles(nb::handle obj, const std::string& what, std::vector<double>& out) {
  if (!PyBytes_Check(obj.ptr())) return false;
  const auto bytes = nb::borrow<nb::bytes>(obj);
  if (bytes.size() % sizeof(double)) {
    throw nb::value_error((what + " must hold whole doubles").c_str());
  }
  out.resize(bytes.size() / sizeof(double));
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.c_str());
  for (std::size_t i = 0; i < out.size(); ++i) {
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < sizeof(double); ++k) {
      bits |= std::uint64_t{data[i * sizeof(double) + k]} << (8 * k);
    }
    out[i] = std::bit_cast<double>(bits);
  }
  return true;
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
  std::vector<double> values;
  if (!unpack_doubles(field(state, "values"), "circuit state: 'values'", values)) {
    values = as<std::vector<double>>(field(state, "values"), "values");
  }
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

nb::object to_state(const SeriesList& circuit) { return circuit_state(PyCircuit{circuit, true}); }
nb::object to_state(Termination reason) {
  const std::string_view name = termination_name(reason);
  return nb::str(name.data(), name.size());
}
nb::object to_state(const std::vector<bool>& flags) {
  nb::list out;
  for (bool flag : flags) out.append(flag);
  return out;
}
nb::object to_state(const std::vector<double>& values, const std::vector<std::string>& names) {
  nb::dict out;
  for (std::size_t i = 0; i < values.size() && i < names.size(); ++i) {
    out[nb::str(names[i].data(), names[i].size())] = values[i];
  }
  return out;
}

nb::object to_packed_state(const SeriesList& circuit) {
  return circuit_state(PyCircuit{circuit, true}, true);
}
nb::object to_packed_state(const std::vector<double>& values) { return pack_doubles(values); }
nb::object to_packed_state(const std::vector<double>& values, const std::vector<std::string>&) {
  return pack_doubles(values);
}

void bad_state_field(const char* key, const std::string& what) {
  throw nb::value_error(("FitResult state: '" + std::string(key) + "' " + what).c_str());
}
void from_state(nb::handle state, const char* key, std::vector<double>& out) {
  if (!unpack_doubles(state, "FitResult state: '" + std::string(key) + "'", out)) {
    from_state<std::vector<double>>(state, key, out);
  }
}
void from_state(nb::handle state, const char*, SeriesList& out) {
  out = circuit_from_state(state).nodes;
}
void from_state(nb::handle state, const char* key, Termination& out) {
  std::string name;
  if (nb::try_cast(state, name)) {
    // InvalidProblem is the last reason.
    for (int i = 0; i <= static_cast<int>(Termination::InvalidProblem); ++i) {
      if (termination_name(static_cast<Termination>(i)) == name) {
        out = static_cast<Termination>(i);
        return;
      }
    }
  }
  bad_state_field(key, "is not a fit status name");
}
void from_state(nb::handle state, const char* key, std::vector<bool>& out) {
  if (!PyList_Check(state.ptr())) bad_state_field(key, "must be a list of bools");
  for (nb::handle flag : state) {
    if (!PyBool_Check(flag.ptr())) bad_state_field(key, "must be a list of bools");
    out.push_back(flag.ptr() == Py_True);
  }
}
// {name: value} in parameter order, or packed values, one per parameter.
void from_state(nb::handle state, const char* key, std::vector<double>& out,
                const std::vector<std::string>& names) {
  if (PyBytes_Check(state.ptr())) {
    from_state(state, key, out);
  } else {
    if (!PyDict_Check(state.ptr())) bad_state_field(key, "must be a dict");
    std::size_t i = 0;
    for (auto [name, value] : nb::borrow<nb::dict>(state)) {
      double v;
      std::string n;
      if (!nb::try_cast(name, n) || !nb::try_cast(value, v)) {
        bad_state_field(key, "must map names to floats");
      }
      if (i >= names.size() || names[i++] != n) {
        bad_state_field(key, "must name the parameters in order");
      }
      out.push_back(v);
    }
  }
  if (out.size() != names.size()) bad_state_field(key, "must hold one value per parameter");
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
      "text", [](const PyCircuit& c) { return text_of(c.nodes); }, nb::sig("def text(self) -> str"),
      "The circuit as text, e.g. \"R0-p(R1,CPE1)\": `Circuit(c.text)` has the\n"
      "same elements, labels and parameter names (with default values).");
  cls.def("__getstate__", [](const PyCircuit& c) { return circuit_state(c, true); });
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
