#include "python/fit_result.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "common/format.hpp"
#include "python/convert.hpp"
#include "python/persist.hpp"

namespace korvex::py {
namespace {

// Name -> value in parameter order; a repeated name keeps its first position
// and its last value, as a dict filled in that order would.
using NamedValues = std::vector<std::pair<std::string, double>>;

NamedValues pair_up(const std::vector<std::string>& names, const std::vector<double>& values) {
  NamedValues out;
  const std::size_t n = std::min(names.size(), values.size());
  for (std::size_t i = 0; i < n; ++i) {
    auto same = std::find_if(out.begin(), out.end(),
                             [&](const auto& entry) { return entry.first == names[i]; });
    if (same != out.end()) same->second = values[i];
    else out.emplace_back(names[i], values[i]);
  }
  return out;
}

struct PyFitResult {
  SeriesList circuit;
  NamedValues params;
  std::optional<NamedValues> stderr_;
  std::uint64_t iterations = 0;
  std::uint64_t impedance_evals = 0;
  double cost = 0.0;
  double chi_square = 0.0;
  bool success = false;
};

nb::dict to_dict(const NamedValues& values) {
  nb::dict out;
  for (const auto& [name, value] : values) out[nb::str(name.c_str(), name.size())] = value;
  return out;
}

std::string fit_result_repr(const PyFitResult& r) {
  std::string params = "{";
  for (std::size_t i = 0; i < r.params.size(); ++i) {
    if (i) params += ", ";
    params += debug_string(r.params[i].first) + ": " + debug_float(r.params[i].second);
  }
  params += "}";
  return "FitResult(success=" + std::string(r.success ? "true" : "false") +
         ", iterations=" + std::to_string(r.iterations) +
         ", impedance_evals=" + std::to_string(r.impedance_evals) +
         ", chi_square=" + scientific6(r.chi_square) + ", params=" + params + ")";
}

// The fields of the state that pickle, copy and to_dict() carry: visit(key,
// field) once per field, in this order. A new field of the state is one line.
template <class Result, class Visit>
void visit_state(Result& r, Visit&& visit) {
  visit("circuit", r.circuit);
  visit("params", r.params);
  visit("stderr", r.stderr_);
  visit("iterations", r.iterations);
  visit("impedance_evals", r.impedance_evals);
  visit("cost", r.cost);
  visit("chi_square", r.chi_square);
  visit("success", r.success);
}

[[noreturn]] void bad_state(const char* key, const std::string& what) {
  throw nb::value_error(("FitResult state: '" + std::string(key) + "' " + what).c_str());
}

nb::object to_state(const SeriesList& circuit) { return circuit_state(PyCircuit{circuit, true}); }
nb::object to_state(const NamedValues& values) { return to_dict(values); }
template <class T>
nb::object to_state(const std::optional<T>& value) {
  return value ? to_state(*value) : nb::none();
}
template <class T>
nb::object to_state(const T& value) {
  return nb::cast(value);
}

void from_state(nb::handle state, const char*, SeriesList& out) {
  out = circuit_from_state(state).nodes;
}
void from_state(nb::handle state, const char* key, NamedValues& out) {
  if (!PyDict_Check(state.ptr())) bad_state(key, "must be a dict");
  for (auto [name, value] : nb::borrow<nb::dict>(state)) {
    double v;
    if (!PyUnicode_Check(name.ptr()) || !nb::try_cast(value, v)) {
      bad_state(key, "must map names to floats");
    }
    out.emplace_back(nb::cast<std::string>(name), v);
  }
}
template <class T>
void from_state(nb::handle state, const char* key, std::optional<T>& out) {
  if (state.is_none()) return out.reset();
  from_state(state, key, out.emplace());
}
template <class T>
void from_state(nb::handle state, const char* key, T& out) {
  if (!nb::try_cast(state, out)) {
    bad_state(key, "has the wrong type '" + std::string(nb::type_name(state.type()).c_str()) + "'");
  }
}

nb::dict fit_result_state(const PyFitResult& r) {
  nb::dict state;
  visit_state(r, [&](const char* key, const auto& field) { state[key] = to_state(field); });
  return state;
}

PyFitResult fit_result_from_state(nb::handle state) {
  if (!PyDict_Check(state.ptr())) {
    throw nb::value_error(("FitResult state: expected a dict, got '" +
                           std::string(nb::type_name(state.type()).c_str()) + "'")
                              .c_str());
  }
  PyFitResult r;
  std::size_t known = 0;
  visit_state(r, [&](const char* key, auto& field) {
    PyObject* value = PyDict_GetItemString(state.ptr(), key);  // borrowed
    if (!value) bad_state(key, "is missing");
    from_state(nb::handle(value), key, field);
    ++known;
  });
  if (known != nb::len(state)) throw nb::value_error("FitResult state: unknown keys");
  return r;
}

nb::object result_key(const PyFitResult& r) { return state_key(fit_result_state(r)); }

}  // namespace

nb::object wrap_fit_result(const FitOutcome& outcome) {
  PyFitResult r;
  r.circuit = outcome.circuit;
  r.params = pair_up(outcome.param_names, outcome.params);
  if (outcome.stderr_) r.stderr_ = pair_up(outcome.param_names, *outcome.stderr_);
  r.iterations = outcome.iterations;
  r.impedance_evals = outcome.impedance_evals;
  r.cost = outcome.cost;
  r.chi_square = outcome.chi_square;
  r.success = outcome.success;
  return nb::cast(std::move(r), nb::rv_policy::move);
}

void register_fit_result(nb::module_& m) {
  auto cls = nb::class_<PyFitResult>(m, "FitResult", "");
  // Results come only from Circuit.fit().
  cls.def("__init__", [](PyFitResult*, nb::args, nb::kwargs) {
    raise_type_error("No constructor defined for FitResult");
  });
  cls.def_prop_ro(
      "circuit", [](const PyFitResult& r) { return wrap_circuit(r.circuit, true); },
      nb::sig("def circuit(self) -> Circuit"));
  cls.def_prop_ro("params", [](const PyFitResult& r) { return to_dict(r.params); },
                  nb::sig("def params(self) -> dict[str, float]"));
  cls.def_prop_ro(
      "stderr",
      [](const PyFitResult& r) -> nb::object {
        if (!r.stderr_) return nb::none();
        return to_dict(*r.stderr_);
      },
      nb::sig("def stderr(self) -> dict[str, float] | None"));
  cls.def_prop_ro("success", [](const PyFitResult& r) { return r.success; });
  cls.def_prop_ro("iterations", [](const PyFitResult& r) { return r.iterations; });
  cls.def_prop_ro("impedance_evals", [](const PyFitResult& r) { return r.impedance_evals; });
  cls.def_prop_ro("cost", [](const PyFitResult& r) { return r.cost; });
  cls.def_prop_ro("chi_square", [](const PyFitResult& r) { return r.chi_square; });
  cls.def("__repr__", &fit_result_repr);
  cls.def("to_dict", &fit_result_state,
          "The result as plain Python values (dicts, lists, str, float, int,\n"
          "bool, None), ready for `json.dump`; `FitResult.from_dict()` turns\n"
          "it back into an equal result.");
  cls.def_static(
      "from_dict",
      [](nb::handle state) { return nb::cast(fit_result_from_state(state), nb::rv_policy::move); },
      nb::arg("state"), nb::sig("def from_dict(state: dict[str, typing.Any]) -> FitResult"),
      "The result a `to_dict()` dict describes; ValueError naming the first\n"
      "entry that is missing or malformed.");
  cls.def("__getstate__", &fit_result_state);
  cls.def("__setstate__", [](PyFitResult& self, nb::handle state) {
    new (&self) PyFitResult(fit_result_from_state(state));
  });
  cls.def("__eq__", [](const PyFitResult& self, nb::handle other) -> nb::object {
    if (!nb::isinstance<PyFitResult>(other)) return nb::borrow(Py_NotImplemented);
    return nb::bool_(result_key(self).equal(result_key(nb::cast<const PyFitResult&>(other))));
  });
  cls.def("__hash__", [](const PyFitResult& self) { return nb::hash(result_key(self)); });
}

}  // namespace korvex::py
