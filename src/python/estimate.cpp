#include <nanobind/stl/string.h>

#include "circuit/params.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/interruptible.hpp"
#include "starts/estimate.hpp"

namespace korvex::py {
namespace {

constexpr const char* kEstimateDoc =
    "A copy of this circuit holding starting values read from a measured\n"
    "spectrum, for any circuit and any element kind.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None). The high-frequency\n"
    "intercept goes to series resistors, the inductive tail to inductors, the\n"
    "low-frequency tail to series C, CPE, W, Wo and TLMQ elements, and the arcs\n"
    "of a quick distribution of relaxation times to the parallel groups (and K,\n"
    "Zarc, Ws, G, Gs, T elements) in text order, fastest first. Values the data\n"
    "cannot show are placeholders scaled by the data; every value is finite and\n"
    "inside its bounds. Non-finite data raise ValueError.";

nb::object estimate_method(const PyCircuit& self, nb::handle frequencies, nb::handle impedances) {
  const SpectrumData spectrum = read_spectrum(frequencies, impedances);
  using Estimate = std::variant<std::vector<double>, EstimateError>;
  auto result = run_interruptible<Estimate>([&](const CancelFlag* cancel) {
    return estimate_values(self.nodes, spectrum.frequencies, spectrum.impedances, cancel);
  });
  if (const auto* error = std::get_if<EstimateError>(&result)) {
    throw nb::value_error(error->message.c_str());
  }
  return wrap_circuit(rebuild(self.nodes, std::get<std::vector<double>>(result)), true);
}

}  // namespace

void register_estimate(nb::module_& m) {
  auto cls = nb::borrow<nb::class_<PyCircuit>>(m.attr("Circuit"));
  cls.def("estimate", &estimate_method, nb::arg("frequencies").none(),
          nb::arg("impedances").none() = nb::none(),
          nb::sig("def estimate(self, frequencies: object, impedances: "
                  "typing.Sequence[complex] | None = None) -> Circuit"),
          kEstimateDoc);
}

}  // namespace korvex::py
