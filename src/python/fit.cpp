#include <nanobind/stl/string.h>

#include "common/units.hpp"
#include "fit/driver.hpp"
#include "fit/outcome_checks.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/fit_controls.hpp"
#include "python/fit_options.hpp"
#include "python/fit_result.hpp"
#include "python/guess.hpp"
#include "python/interruptible.hpp"
#include "python/spectrum_check.hpp"
#include "starts/fit_start.hpp"

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

// Circuit.fit's arguments: the spectrum, then the options in the order of
// the signature (the core's table).
struct FitCall {
  nb::handle frequencies;
  nb::handle impedances = nb::none();
  FitOptions options;
};

constexpr const char* kSpectrumArgs[] = {"frequencies", "impedances"};
constexpr std::size_t kSpectrumCount = 2;

// Appended when the argument after the impedances is an array: the real and
// imaginary parts were passed as two.
constexpr const char* kSplitImpedanceHint =
    " (the impedances are one complex array: pass re + 1j*im, not re and im)";

bool is_array_like(nb::handle obj) {
  return !PyUnicode_Check(obj.ptr()) &&
         (PySequence_Check(obj.ptr()) || nb::hasattr(obj, "__array__"));
}

// Whether the keyword `name` is one of the spectrum's two arguments.
bool is_spectrum_arg(const std::string& name) {
  return name == kSpectrumArgs[0] || name == kSpectrumArgs[1];
}

[[noreturn]] void raise_multiple_values(const char* name) {
  raise_type_error(std::string("fit() got multiple values for argument '") + name + "'");
}

FitCall read_call(nb::args args, nb::kwargs kwargs) {
  const auto table = fit_option_table();
  std::size_t positional = kSpectrumCount;
  for (const OptionField& field : table) positional += !field.keyword_only;
  if (args.size() > positional) {
    raise_type_error("fit() takes from 2 to " + std::to_string(positional + 1) +
                     " positional arguments but " + std::to_string(args.size() + 1) +
                     " were given");
  }
  for (auto [key, value] : kwargs) {
    const std::string name = nb::cast<std::string>(key);
    if (!is_spectrum_arg(name) && !find_fit_option(name)) raise_unexpected_keyword("fit", name);
  }
  FitCall call;
  nb::handle spectrum[kSpectrumCount] = {nb::handle(), nb::none()};
  for (std::size_t i = 0; i < kSpectrumCount; ++i) {
    const bool named = kwargs.contains(kSpectrumArgs[i]);
    if (i < args.size() && named) raise_multiple_values(kSpectrumArgs[i]);
    if (i < args.size()) spectrum[i] = args[i];
    if (named) spectrum[i] = kwargs[kSpectrumArgs[i]];
  }
  if (!spectrum[0].is_valid()) {
    raise_type_error("fit() missing 1 required positional argument: 'frequencies'");
  }
  call.frequencies = spectrum[0];
  call.impedances = spectrum[1];
  // Positional arguments fill the options in table order, as the signature
  // lists them; a keyword-only option is never positional.
  std::size_t index = kSpectrumCount;
  for (const OptionField& field : table) {
    const std::size_t position = index;
    if (!field.keyword_only) ++index;
    const bool given = !field.keyword_only && position < args.size();
    const bool named = kwargs.contains(field.name);
    if (given && named) raise_multiple_values(field.name);
    if (!given && !named) continue;
    nb::handle value = given ? nb::handle(args[position]) : nb::handle(kwargs[field.name]);
    try {
      set_fit_option(call.options, field, value);
    } catch (const nb::builtin_exception& e) {
      if (!given || position != kSpectrumCount || !is_array_like(value)) throw;
      raise_type_error(e.what() + std::string(kSplitImpedanceHint));
    }
  }
  return call;
}

nb::object fit_method(const PyCircuit& self, nb::args args, nb::kwargs kwargs) {
  FitCall call = read_call(args, kwargs);
  FitOptions& options = call.options;
  if (auto problem = check_start_options(options)) throw nb::value_error(problem->c_str());
  const FitControls controls = read_fit_controls(self.nodes, options);
  SpectrumData spectrum = read_spectrum(call.frequencies, call.impedances);
  check_measured_spectrum(spectrum);
  const StartDecision decision = decide_start(self.nodes, self.explicit_values, options, false);
  if (decision.warn_no_model) warn_no_model(1);
  options.starts = decision.starts;
  auto start = fit_start(self.nodes, decision, options.weights, controls, spectrum.frequencies,
                         spectrum.impedances);
  if (const auto* message = std::get_if<std::string>(&start)) {
    throw nb::value_error(with_weights_hint(*message, options).c_str());
  }
  ControlledStart& controlled = std::get<ControlledStart>(start);
  FitSettings settings{options,
                       FitProblem{std::move(controlled.circuit), std::move(spectrum.frequencies),
                                  std::move(spectrum.impedances), std::move(controlled.held)}};
  FitResultOr result = run_interruptible<FitResultOr>([&](const CancelFlag* cancel) {
    settings.cancel = cancel;
    return run_fit(settings);
  });
  if (const auto* error = std::get_if<FitError>(&result)) {
    throw nb::value_error(error->message().c_str());
  }
  FitOutcome& outcome = std::get<FitOutcome>(result);
  const bool single_start = decision.guess || decision.warn_no_model;
  if (single_start && !options.starts && options.local_method()) {
    add_search_hint(outcome, angular_frequencies(settings.frequencies));
  }
  return wrap_fit_result(outcome);
}

}  // namespace

void register_fit(nb::module_& m) {
  register_fit_result(m);
  register_fit_options(m);
  nb::object circuit = m.attr("Circuit");
  auto cls = nb::borrow<nb::class_<PyCircuit>>(circuit);
  cls.def("fit", &fit_method, nb::sig(kFitSignature), kFitDoc);
  register_circuit_bounds(m);
}

}  // namespace korvex::py
