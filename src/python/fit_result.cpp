#include "python/fit_result.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "common/format.hpp"
#include "fit/covariance.hpp"
#include "fit/outcome_report.hpp"
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
    if (same != out.end())
      same->second = values[i];
    else
      out.emplace_back(names[i], values[i]);
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
  FitOutcome outcome;  // everything else the result shows is read from here
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

using FloatArray = nb::ndarray<nb::numpy, double>;

// A NumPy array owning a copy of `values` with the given shape.
nb::object float_array(const std::vector<double>& values,
                       std::initializer_list<std::size_t> shape) {
  auto* data = new double[values.empty() ? 1 : values.size()];
  std::copy(values.begin(), values.end(), data);
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
  return nb::cast(FloatArray(data, shape.size(), shape.begin(), owner), nb::rv_policy::move);
}

nb::object square_or_none(const std::optional<std::vector<double>>& m, std::size_t p) {
  if (!m) return nb::none();
  return float_array(*m, {p, p});
}

std::vector<std::string> names_where(const FitOutcome& o, const std::vector<bool>& flags) {
  std::vector<std::string> out;
  for (std::size_t j = 0; j < flags.size() && j < o.param_names.size(); ++j) {
    if (flags[j]) out.push_back(o.param_names[j]);
  }
  return out;
}

void register_outcome_details(nb::class_<PyFitResult>& cls) {
  cls.def_prop_ro(
      "status",
      [](const PyFitResult& r) { return std::string(termination_name(r.outcome.termination)); },
      "Why the fit ended, as a short name: \"converged_ftol\", \"converged_xtol\",\n"
      "\"converged_ftol_xtol\", \"converged_gtol\", \"global_search_done\", \"evaluated\"\n"
      "(every parameter held) on success; \"budget_exhausted\", \"tolerance_too_small\",\n"
      "\"nonfinite\", \"runaway\" (a resistance above 1000 times the largest |Z|, or an\n"
      "exponent at 0), \"invalid_problem\" otherwise. `success` is read from it.");
  cls.def_prop_ro(
      "message",
      [](const PyFitResult& r) { return std::string(termination_message(r.outcome.termination)); },
      "The status as one plain sentence.");
  cls.def_prop_ro(
      "at_bounds", [](const PyFitResult& r) { return names_where(r.outcome, r.outcome.at_bound); },
      nb::sig("def at_bounds(self) -> list[str]"),
      "Names of the fitted parameters that ended on (or within 1e-9 relative of)\n"
      "a bound.");
  cls.def_prop_ro(
      "warnings", [](const PyFitResult& r) { return r.outcome.warnings; },
      nb::sig("def warnings(self) -> list[str]"),
      "Plain sentences on what deserves a second look: parameters at a bound,\n"
      "standard errors larger than their value or not finite, residuals that are\n"
      "not white (chi-square above what the noise allows). Nothing is emitted\n"
      "through Python's warnings module.");
  cls.def(
      "report", [](const PyFitResult& r) { return fit_report_text(r.outcome); },
      "A readable multi-line report: status, chi-square, each parameter with its\n"
      "value, standard error, relative error, unit and flags, then the warnings.");
  cls.def("_repr_html_", [](const PyFitResult& r) { return fit_report_html(r.outcome); });
  cls.def_prop_ro(
      "residuals",
      [](const PyFitResult& r) {
        return float_array(r.outcome.residuals, {r.outcome.residuals.size()});
      },
      nb::sig("def residuals(self) -> numpy.typing.NDArray[numpy.float64]"),
      "Weighted residuals at the fitted parameters, interleaved\n"
      "`[re0, im0, re1, im1, ...]` as `Circuit.residuals()`.");
  cls.def_prop_ro(
      "covariance",
      [](const PyFitResult& r) {
        return square_or_none(r.outcome.covariance, r.outcome.params.size());
      },
      nb::sig("def covariance(self) -> numpy.typing.NDArray[numpy.float64] | None"),
      "P x P covariance of the parameters in `params` order, chi2 / (2N - F) *\n"
      "(J^T J)^-1 over the F fitted parameters; held parameters have zero rows and\n"
      "columns. None where `stderr` is None.");
  cls.def_prop_ro(
      "correlation",
      [](const PyFitResult& r) -> nb::object {
        const auto& c = r.outcome.covariance;
        const std::size_t p = r.outcome.params.size();
        if (!c) return nb::none();
        return square_or_none(correlation(*c, p), p);
      },
      nb::sig("def correlation(self) -> numpy.typing.NDArray[numpy.float64] | None"),
      "The covariance scaled to correlations; NaN in the rows and columns of held\n"
      "parameters. None where `stderr` is None.");
  cls.def_prop_ro(
      "initial",
      [](const PyFitResult& r) {
        return to_dict(pair_up(r.outcome.param_names, r.outcome.initial));
      },
      nb::sig("def initial(self) -> dict[str, float]"),
      "The starting values the fit used (guessed or given, constants applied).");
}

// The fields of the state that pickle, copy and to_dict() carry: visit(key,
// field) once per field, in this order; fields kept per parameter also get the
// parameter names (to_dict() shows them as {name: value}). A new field of the
// state is one line.
template <class Outcome, class Visit>
void visit_state(Outcome& o, Visit&& visit) {
  visit("circuit", o.circuit);
  visit("param_names", o.param_names);
  visit("params", o.params, o.param_names);
  visit("stderr", o.stderr_, o.param_names);
  visit("iterations", o.iterations);
  visit("impedance_evals", o.impedance_evals);
  visit("cost", o.cost);
  visit("chi_square", o.chi_square);
  visit("success", o.success);
  visit("status", o.termination);
  visit("covariance", o.covariance);  // P x P, row-major, or None
  visit("residuals", o.residuals);
  visit("held", o.held);
  visit("at_bound", o.at_bound);
  visit("warnings", o.warnings);
  visit("initial", o.initial, o.param_names);
}

// The Python result of an outcome: what fit() returns and a state restores.
PyFitResult from_outcome(FitOutcome outcome) {
  PyFitResult r;
  r.circuit = outcome.circuit;
  r.params = pair_up(outcome.param_names, outcome.params);
  if (outcome.stderr_) r.stderr_ = pair_up(outcome.param_names, *outcome.stderr_);
  r.iterations = outcome.iterations;
  r.impedance_evals = outcome.impedance_evals;
  r.cost = outcome.cost;
  r.chi_square = outcome.chi_square;
  r.success = outcome.success;
  r.outcome = std::move(outcome);
  return r;
}

// The to_dict() state, or with `packed` the one pickle carries.
nb::dict fit_result_state(const PyFitResult& r, bool packed) {
  nb::dict state;
  visit_state(r.outcome, [&](const char* key, const auto&... field) {
    state[key] = packed ? to_packed_state(field...) : to_state(field...);
  });
  return state;
}

PyFitResult fit_result_from_state(nb::handle state) {
  if (!PyDict_Check(state.ptr())) {
    throw nb::value_error(("FitResult state: expected a dict, got '" +
                           std::string(nb::type_name(state.type()).c_str()) + "'")
                              .c_str());
  }
  FitOutcome o;
  std::size_t known = 0;
  visit_state(o, [&](const char* key, auto&... field) {
    PyObject* value = PyDict_GetItemString(state.ptr(), key);  // borrowed
    if (!value) {
      throw nb::value_error(("FitResult state: '" + std::string(key) + "' is missing").c_str());
    }
    from_state(nb::handle(value), key, field...);
    ++known;
  });
  if (known != nb::len(state)) throw nb::value_error("FitResult state: unknown keys");
  // What the result's properties index by parameter must cover every parameter.
  const std::size_t p = o.param_names.size();
  const auto refuse = [](const char* key, const char* what) {
    throw nb::value_error(("FitResult state: '" + std::string(key) + "' " + what).c_str());
  };
  if (o.param_names != param_names(o.circuit)) {
    refuse("params", "must name the circuit's parameters");
  }
  if (o.held.size() != p) refuse("held", "must hold one flag per parameter");
  if (o.at_bound.size() != p) refuse("at_bound", "must hold one flag per parameter");
  if (o.covariance && o.covariance->size() != p * p) refuse("covariance", "must hold P x P values");
  return from_outcome(std::move(o));
}

nb::object result_key(const PyFitResult& r) { return state_key(fit_result_state(r, true)); }

}  // namespace

nb::object wrap_fit_result(const FitOutcome& outcome) {
  return nb::cast(from_outcome(outcome), nb::rv_policy::move);
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
  cls.def_prop_ro(
      "params", [](const PyFitResult& r) { return to_dict(r.params); },
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
  register_outcome_details(cls);
  cls.def(
      "to_dict", [](const PyFitResult& r) { return fit_result_state(r, false); },
      "The result as plain Python values (dicts, lists, str, float, int,\n"
      "bool, None), ready for `json.dump`; `FitResult.from_dict()` turns\n"
      "it back into an equal result.");
  cls.def_static(
      "from_dict",
      [](nb::handle state) { return nb::cast(fit_result_from_state(state), nb::rv_policy::move); },
      nb::arg("state"), nb::sig("def from_dict(state: dict[str, typing.Any]) -> FitResult"),
      "The result a `to_dict()` dict describes; ValueError naming the first\n"
      "entry that is missing or malformed.");
  cls.def("__getstate__", [](const PyFitResult& r) { return fit_result_state(r, true); });
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
