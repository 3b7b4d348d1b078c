#include "python/guess.hpp"

#include <cstring>
#include <memory>

#include <nanobind/ndarray.h>

#include "models/circuit_guess.hpp"
#include "models/registry.hpp"
#include "nn/guesser.hpp"
#include "python/spectrum_check.hpp"

namespace korvex::py {
namespace {

constexpr const char* kGuessDoc =
    "Machine-learning guess of starting parameters for this circuit's\n"
    "topology, in `param_names()` order.\n"
    "\n"
    "Series and parallel elements may be written with any order and labels:\n"
    "`(R1,C2)-R3` uses the same model as `R0-(R1,C1)`. `K` and `Zarc` reach\n"
    "the models trained on the pairs they abbreviate, so `R0-Zarc1` uses the\n"
    "`R0-(R1,CPE1)` model and gets its guess back as `r`, `tau_k`, `gamma`.\n"
    "\n"
    "`weights` loads a `.eisnn` file from disk instead of looking for a\n"
    "bundled model.\n"
    "\n"
    "Raises if no model has been trained for this topology, or if `weights`\n"
    "was trained for a different one.";

constexpr const char* kMlCircuitsDoc =
    "Names accepted by the constructor that have trained initial-parameter\n"
    "models, and so get a guessed starting point from `fit()` by default.";

nb::list guess_method(const PyCircuit& self, nb::handle frequencies, nb::handle impedances,
                      nb::handle weights) {
  std::optional<std::string> path;
  if (!weights.is_none()) path = to_str(weights, "weights");
  const SpectrumData spectrum = read_spectrum(frequencies, impedances);
  check_measured_spectrum(spectrum);
  nb::list out;
  for (double v : guess_params(self, spectrum, path)) out.append(v);
  return out;
}

nb::list ml_circuits() {
  nb::list out;
  for (const std::string& name : models::names()) out.append(nb::str(name.c_str()));
  return out;
}

using FloatArray = nb::ndarray<nb::numpy, double>;

FloatArray to_array(const std::vector<double>& values, std::initializer_list<std::size_t> shape) {
  auto buffer = std::make_unique<double[]>(values.size());
  std::memcpy(buffer.get(), values.data(), values.size() * sizeof(double));
  nb::capsule owner(buffer.get(), [](void* p) noexcept { delete[] static_cast<double*>(p); });
  double* data = buffer.release();
  return FloatArray(data, shape.size(), shape.begin(), owner);
}

// The network's input features exactly as the guess computes them, for the
// training pipeline: (inputs of shape (3, n_grid), extras (2,), z_scale, w_scale).
nb::tuple features_hook(nb::handle frequencies, nb::handle impedances, std::size_t n_grid) {
  if (n_grid > nn::kMaxGrid) {
    throw nb::value_error(("n_grid must be at most " + std::to_string(nn::kMaxGrid)).c_str());
  }
  const SpectrumData spectrum = read_spectrum(frequencies, impedances);
  const nn::Features f = nn::compute_features(spectrum.frequencies, spectrum.impedances, n_grid);
  const std::vector<double> extras(f.extras.begin(), f.extras.end());
  return nb::make_tuple(to_array(f.inputs, {3, n_grid}), to_array(extras, {2}), f.z_scale,
                        f.w_scale);
}

}  // namespace

std::vector<double> guess_params(const PyCircuit& circuit, const SpectrumData& spectrum,
                                 const std::optional<std::string>& weights_path) {
  // Released: reading a weight file from disk may take a while.
  auto outcome = [&] {
    nb::gil_scoped_release release;
    return models::guess_params(circuit.nodes, spectrum.frequencies, spectrum.impedances,
                                weights_path);
  }();
  if (auto* message = std::get_if<std::string>(&outcome)) {
    throw nb::value_error(message->c_str());
  }
  return std::move(std::get<std::vector<double>>(outcome));
}

void warn_no_model(int stacklevel) {
  const std::string message =
      "There is no ML model to guess initial parameters for this circuit. Supply your own with "
      "Circuit.with_named_values({...}) or Circuit.with_values([...]), or pass guess_init=False "
      "to silence this. Models available for " +
      models::quoted_names();
  // The filters may turn the warning into an exception; then no fit runs.
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), stacklevel) < 0) raise_pending();
}

void register_guess(nb::module_& m) {
  auto cls = nb::borrow<nb::class_<PyCircuit>>(m.attr("Circuit"));
  cls.def_static("ml_circuits", &ml_circuits, nb::sig("def ml_circuits() -> list[str]"),
                 kMlCircuitsDoc);
  cls.def("guess", &guess_method, nb::arg("frequencies"), nb::arg("impedances") = nb::none(),
          nb::arg("weights") = nb::none(),
          nb::sig("def guess(self, frequencies: object, impedances: object = None, "
                  "weights: str | None = None) -> list[float]"),
          kGuessDoc);
  m.def("_features", &features_hook, nb::arg("frequencies"), nb::arg("impedances") = nb::none(),
        nb::arg("n_grid") = 64,
        nb::sig("def _features(frequencies: object, impedances: object = None, n_grid: int = 64) "
                "-> tuple[numpy.typing.NDArray[numpy.float64], "
                "numpy.typing.NDArray[numpy.float64], float, float]"),
        "Private: the guesser's input features, for the training pipeline.");
}

}  // namespace korvex::py
