#include "python/fit_result.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/format.hpp"
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
}

}  // namespace korvex::py
