#include <nanobind/stl/string.h>

#include "circuit/params.hpp"
#include "fit/driver.hpp"
#include "models/fit_start.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/fit_arguments.hpp"
#include "python/fit_controls.hpp"
#include "python/fit_result.hpp"
#include "python/fit_starts.hpp"
#include "python/guess.hpp"
#include "python/interruptible.hpp"
#include "python/spectrum_check.hpp"

namespace korvex::py {
namespace {

constexpr const char* kFitSignature =
    "def fit(self, frequencies: object, impedances: numpy.typing.ArrayLike | None = None, "
    "guess_init: bool | None = None, weights: str | None = None, weight: str = \"modulus\", "
    "method: str = \"levenberg_marquardt\", max_iterations: int = 200, ftol: float = 1e-8, "
    "xtol: float = 1e-8, num_particles: int = 200, generations: int = 1000, "
    "nelder_mead_iterations: int = 2000, de_evaluations: int = 20000, "
    "sa_iterations: int = 5000, sa_initial_temperature: float = 2.0, "
    "basin_hopping_hops: int = 20, basin_hopping_step_size: float = 1.0, "
    "basin_hopping_temperature: float = 1.0, seed: int | None = None, *, "
    "constants: typing.Mapping[str, float] | None = None, "
    "bounds: typing.Mapping[str, tuple[float | None, float | None]] | None = None, "
    "starts: int | str | None = None) -> FitResult";

// Word for word as published (help() and IPython show it); the keyword-only
// arguments are described in the README.
constexpr const char* kFitDoc =
    "Fit this circuit's parameters to a measured spectrum.\n"
    "\n"
    "Accepts two sequences of frequencies and impedances, or a single battery\n"
    "data format dataframe (`impedances` left as None).\n"
    "\n"
    "`guess_init` unset means start from a machine-learning guess whenever the\n"
    "circuit is not explicitly given starting parameters. If no model has been\n"
    "trained for the topology it warns and starts from placeholder values.\n"
    "\n"
    "`True` always guesses, and raises rather than warns when it cannot.\n"
    "`False` never guesses.";

// Settings converted from the arguments, in signature order.
struct FitArguments {
  std::optional<bool> guess_init;
  std::optional<std::string> weights;
  std::string weight;
  FitSettings settings;  // everything but circuit and spectrum
};

FitArguments convert_arguments(nb::handle guess_init, nb::handle weights, nb::handle weight,
                               nb::handle method, nb::handle max_iterations, nb::handle ftol,
                               nb::handle xtol, nb::handle num_particles, nb::handle generations,
                               nb::handle nelder_mead_iterations, nb::handle de_evaluations,
                               nb::handle sa_iterations, nb::handle sa_initial_temperature,
                               nb::handle basin_hopping_hops, nb::handle basin_hopping_step_size,
                               nb::handle basin_hopping_temperature, nb::handle seed,
                               nb::handle starts) {
  FitArguments a;
  a.guess_init = to_optional_bool(guess_init, "guess_init");
  a.weights = to_optional_str(weights, "weights");
  a.weight = to_str(weight, "weight");
  FitSettings& s = a.settings;
  s.method = to_str(method, "method");
  s.max_iterations = to_unsigned(max_iterations, "max_iterations", kMaxU32);
  s.ftol = to_tolerance(ftol, "ftol");
  s.xtol = to_tolerance(xtol, "xtol");
  s.num_particles = to_unsigned(num_particles, "num_particles", kMaxU32);
  s.generations = to_unsigned(generations, "generations", kMaxU64);
  s.nelder_mead_iterations = to_unsigned(nelder_mead_iterations, "nelder_mead_iterations", kMaxU64);
  s.de_evaluations = to_unsigned(de_evaluations, "de_evaluations", kMaxU32);
  s.sa_iterations = to_unsigned(sa_iterations, "sa_iterations", kMaxU64);
  s.sa_initial_temperature = to_double(sa_initial_temperature, "sa_initial_temperature");
  s.basin_hopping_hops = to_unsigned(basin_hopping_hops, "basin_hopping_hops", kMaxU32);
  s.basin_hopping_step_size = to_double(basin_hopping_step_size, "basin_hopping_step_size");
  s.basin_hopping_temperature = to_double(basin_hopping_temperature, "basin_hopping_temperature");
  s.seed = to_optional_u64(seed, "seed");
  s.starts = to_starts(starts);
  return a;
}

// A weight file only feeds the guess; with the guess turned off it would be
// ignored, so the call is refused rather than fitting without it.
void refuse_unused_weights(const FitArguments& a) {
  if (a.weights && a.guess_init == false) {
    throw nb::value_error(
        "weights= selects the model for the initial guess, but guess_init=False turns the "
        "guess off: pass one or the other");
  }
}

// The own values, a guess, or the own values after the warning.
SeriesList start_circuit(const PyCircuit& self, FitArguments& a, const SpectrumData& spectrum) {
  auto start = models::fit_start(self.nodes, self.explicit_values, a.guess_init, a.weights,
                                 spectrum.frequencies, spectrum.impedances);
  if (const auto* message = std::get_if<std::string>(&start)) {
    throw nb::value_error(message->c_str());
  }
  auto& chosen = std::get<models::FitStart>(start);
  if (chosen.no_model) {
    // A search adds the data-driven estimate to the placeholder values: it
    // needs no model, so there is nothing to warn about.
    if (!a.settings.starts)
      warn_no_model(1);
    else
      a.settings.starts->placeholder_start = true;
  }
  return std::move(chosen.circuit);
}

nb::object fit_method(const PyCircuit& self, nb::handle frequencies, nb::handle impedances,
                      nb::handle guess_init, nb::handle weights, nb::handle weight,
                      nb::handle method, nb::handle max_iterations, nb::handle ftol,
                      nb::handle xtol, nb::handle num_particles, nb::handle generations,
                      nb::handle nelder_mead_iterations, nb::handle de_evaluations,
                      nb::handle sa_iterations, nb::handle sa_initial_temperature,
                      nb::handle basin_hopping_hops, nb::handle basin_hopping_step_size,
                      nb::handle basin_hopping_temperature, nb::handle seed, nb::handle constants,
                      nb::handle bounds, nb::handle starts) {
  FitArguments a = convert_arguments(
      guess_init, weights, weight, method, max_iterations, ftol, xtol, num_particles, generations,
      nelder_mead_iterations, de_evaluations, sa_iterations, sa_initial_temperature,
      basin_hopping_hops, basin_hopping_step_size, basin_hopping_temperature, seed, starts);
  refuse_unused_weights(a);
  const FitControls controls = read_fit_controls(self.nodes, constants, bounds);
  SpectrumData spectrum = read_spectrum(frequencies, impedances);
  check_measured_spectrum(spectrum);
  a.settings.weighting = parse_weighting(a.weight);
  const SeriesList start = start_circuit(self, a, spectrum);
  ControlledStart controlled =
      apply_fit_controls(start, param_values(start) != param_values(self.nodes), controls);
  a.settings.circuit = std::move(controlled.circuit);
  a.settings.held = std::move(controlled.held);
  a.settings.frequencies = std::move(spectrum.frequencies);
  a.settings.impedances = std::move(spectrum.impedances);

  FitResultOr result = run_interruptible<FitResultOr>([&](const CancelFlag* cancel) {
    a.settings.cancel = cancel;
    return run_fit(a.settings);
  });
  if (const auto* error = std::get_if<FitError>(&result)) {
    throw nb::value_error(error->message().c_str());
  }
  return wrap_fit_result(std::get<FitOutcome>(result));
}

}  // namespace

void register_fit(nb::module_& m) {
  register_fit_result(m);
  nb::object circuit = m.attr("Circuit");
  auto cls = nb::borrow<nb::class_<PyCircuit>>(circuit);
  cls.def("fit", &fit_method, nb::arg("frequencies"), nb::arg("impedances") = nb::none(),
          nb::arg("guess_init") = nb::none(), nb::arg("weights") = nb::none(),
          nb::arg("weight") = "modulus", nb::arg("method") = "levenberg_marquardt",
          nb::arg("max_iterations") = 200, nb::arg("ftol") = 1e-8, nb::arg("xtol") = 1e-8,
          nb::arg("num_particles") = 200, nb::arg("generations") = 1000,
          nb::arg("nelder_mead_iterations") = 2000, nb::arg("de_evaluations") = 20000,
          nb::arg("sa_iterations") = 5000, nb::arg("sa_initial_temperature") = 2.0,
          nb::arg("basin_hopping_hops") = 20, nb::arg("basin_hopping_step_size") = 1.0,
          nb::arg("basin_hopping_temperature") = 1.0, nb::arg("seed") = nb::none(), nb::kw_only(),
          nb::arg("constants") = nb::none(), nb::arg("bounds") = nb::none(),
          nb::arg("starts") = nb::none(), nb::sig(kFitSignature), kFitDoc);
  register_circuit_bounds(m);
}

}  // namespace korvex::py
