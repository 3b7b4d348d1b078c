// korvex._fit_shared: the compiled half of korvex.fit_shared.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "circuit/impedance.hpp"
#include "fit/shared_fit.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/fit_controls.hpp"
#include "python/fit_options.hpp"
#include "python/interruptible.hpp"

namespace korvex::py {
namespace {

std::vector<bool> constant_mask(const PyCircuit& circuit, nb::dict options) {
  return read_fit_controls(circuit.nodes, read_fit_options(options, "fit_shared")).held();
}

nb::dict fit_shared(const PyCircuit& circuit, nb::handle spectra,
                    std::vector<std::vector<double>> starts, std::vector<bool> shared,
                    nb::dict options) {
  const FitOptions chosen = read_fit_options(options, "fit_shared");
  const Weighting weighting = chosen.weighting;
  SharedFitSettings settings;
  settings.shared = std::move(shared);
  const FitControls controls = read_fit_controls(circuit.nodes, chosen);
  settings.held = controls.held();
  settings.bounds = controls.bounds;
  settings.max_iterations = chosen.max_iterations;
  std::vector<SharedSpectrum> batch;
  for (nb::handle pair : spectra) {
    nb::tuple t = nb::cast<nb::tuple>(pair);
    SpectrumData data = read_spectrum(t[0], t[1]);
    if (data.frequencies.size() != data.impedances.size()) {
      throw nb::value_error("frequencies and impedances must have the same length");
    }
    SharedSpectrum s;
    for (double f : data.frequencies) s.omegas.push_back(kTwoPi * f);
    s.weights = compute_weights(data.impedances, weighting);
    s.impedances = std::move(data.impedances);
    batch.push_back(std::move(s));
  }
  if (starts.size() != batch.size()) throw nb::value_error("one start vector per spectrum");
  for (std::size_t k = 0; k < batch.size(); ++k) batch[k].start = std::move(starts[k]);

  SharedFitOutcome outcome;
  run_interruptible([&](const CancelFlag* cancel) {
    const CancelScope scope(cancel);
    outcome = shared_fit(circuit.nodes, batch, settings);
  });
  nb::dict out;
  out["params"] = outcome.params;
  out["stderr"] = outcome.stderr_ ? nb::cast(*outcome.stderr_) : nb::none();
  out["chi_square"] = outcome.chi_square;
  out["total_chi_square"] = outcome.total_chi_square;
  out["iterations"] = outcome.iterations;
  out["success"] = outcome.success;
  out["status"] = std::string(termination_name(outcome.termination));
  out["message"] = std::string(termination_message(outcome.termination));
  return out;
}

}  // namespace

void register_shared_fit(nb::module_& m) {
  m.def("_fit_shared", &fit_shared, nb::arg("circuit"), nb::arg("spectra"), nb::arg("starts"),
        nb::arg("shared"), nb::arg("options"),
        "The joint fit behind korvex.fit_shared: per-spectrum parameter vectors with the "
        "`shared` ones common to all, from the per-spectrum `starts`, under the fit "
        "keywords in `options` (the weighting, the iteration limit, the constants, the bounds over "
        "the circuit's own).");
  m.def("_constant_mask", &constant_mask, nb::arg("circuit"), nb::arg("options"),
        "Per parameter of `circuit`: whether the fit keywords in `options` hold it constant.");
}

}  // namespace korvex::py
