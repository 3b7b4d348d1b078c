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
      "\"nonfinite\", \"invalid_problem\" otherwise. `success` is read from it.");
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
  r.outcome = outcome;
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
  register_outcome_details(cls);
}

}  // namespace korvex::py
