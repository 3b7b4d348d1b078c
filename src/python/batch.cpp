// korvex._fit_batch: the compiled half of korvex.fit_many. Converts the
// spectra and the fit options and runs the batch driver as an interruptible
// call that reports progress (python/interruptible.hpp).
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstring>

#include "circuit/params.hpp"
#include "common/pool.hpp"
#include "fit/batch.hpp"
#include "models/circuit_guess.hpp"
#include "models/registry.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/fit_arguments.hpp"
#include "python/fit_controls.hpp"
#include "python/fit_result.hpp"
#include "python/fit_starts.hpp"
#include "python/guess.hpp"
#include "python/interruptible.hpp"

namespace korvex::py {
namespace {

// The fit() keywords of `options` (a dict) into `settings`, with fit()'s
// conversions and messages; unknown keys raise TypeError like fit() would.
struct BatchOptions {
  std::optional<bool> guess_init;
  std::optional<std::string> weights;
  nb::object constants = nb::none();
  nb::object bounds = nb::none();
};

void read_options(nb::dict options, FitSettings& s, BatchOptions& o) {
  for (auto [key, value] : options) {
    const std::string name = nb::cast<std::string>(key);
    const char* arg = name.c_str();
    if (name == "method")
      s.method = to_str(value, arg);
    else if (name == "weight")
      s.weighting = parse_weighting(to_str(value, arg));
    else if (name == "guess_init")
      o.guess_init = to_optional_bool(value, arg);
    else if (name == "weights")
      o.weights = to_optional_str(value, arg);
    else if (name == "constants")
      o.constants = nb::borrow(value);
    else if (name == "bounds")
      o.bounds = nb::borrow(value);
    else if (name == "max_iterations")
      s.max_iterations = to_unsigned(value, arg, kMaxU32);
    else if (name == "ftol")
      s.ftol = to_tolerance(value, arg);
    else if (name == "xtol")
      s.xtol = to_tolerance(value, arg);
    else if (name == "num_particles")
      s.num_particles = to_unsigned(value, arg, kMaxU32);
    else if (name == "generations")
      s.generations = to_unsigned(value, arg, kMaxU64);
    else if (name == "nelder_mead_iterations")
      s.nelder_mead_iterations = to_unsigned(value, arg, kMaxU64);
    else if (name == "de_evaluations")
      s.de_evaluations = to_unsigned(value, arg, kMaxU32);
    else if (name == "sa_iterations")
      s.sa_iterations = to_unsigned(value, arg, kMaxU64);
    else if (name == "sa_initial_temperature")
      s.sa_initial_temperature = to_double(value, arg);
    else if (name == "basin_hopping_hops")
      s.basin_hopping_hops = to_unsigned(value, arg, kMaxU32);
    else if (name == "basin_hopping_step_size")
      s.basin_hopping_step_size = to_double(value, arg);
    else if (name == "basin_hopping_temperature")
      s.basin_hopping_temperature = to_double(value, arg);
    else if (name == "seed")
      s.seed = to_optional_u64(value, arg);
    else if (name == "starts")
      s.starts = to_starts(value);
    else
      raise_type_error("fit_many() got an unexpected keyword argument '" + name + "'");
  }
}

// Whether a built-in model with weights matches the circuit's topology.
bool has_builtin_model(const PyCircuit& circuit) {
  const auto match = models::find_for_topology(circuit.nodes);
  return match && match->model->has_weights();
}

// The Python exception a conversion's C++-side exception stands for.
nb::object exception_object(const nb::builtin_exception& e) {
  PyObject* type = PyExc_RuntimeError;
  switch (e.type()) {
    case nb::exception_type::value_error: type = PyExc_ValueError; break;
    case nb::exception_type::type_error: type = PyExc_TypeError; break;
    case nb::exception_type::index_error: type = PyExc_IndexError; break;
    case nb::exception_type::key_error: type = PyExc_KeyError; break;
    default: break;
  }
  return nb::handle(type)(nb::str(e.what()));
}

// Spectra as (frequencies, impedances) pairs; a pair that does not convert
// keeps its exception, to be reported in that spectrum's place.
std::vector<BatchSpectrum> read_spectra(nb::handle spectra, std::vector<nb::object>& errors) {
  std::vector<BatchSpectrum> out;
  for (nb::handle pair : spectra) {
    BatchSpectrum s;
    try {
      nb::tuple t = nb::cast<nb::tuple>(pair);
      if (t.size() != 2) {
        throw nb::type_error("each spectrum must be a (frequencies, impedances) pair");
      }
      SpectrumData data = read_spectrum(t[0], t[1]);
      s.frequencies = std::move(data.frequencies);
      s.impedances = std::move(data.impedances);
      errors.push_back(nb::none());
    } catch (nb::python_error& e) {
      s.error = e.what();
      errors.push_back(nb::borrow(e.value()));
    } catch (nb::builtin_exception& e) {
      s.error = e.what();
      errors.push_back(exception_object(e));
    }
    out.push_back(std::move(s));
  }
  return out;
}

nb::tuple fit_batch(const PyCircuit& circuit, nb::handle spectra, nb::dict options,
                    nb::handle chains, std::size_t threads, bool stop_on_error, bool fast,
                    nb::handle progress) {
  BatchSettings settings;
  BatchOptions o;
  read_options(options, settings.fit, o);
  const std::optional<bool>& guess_init = o.guess_init;
  const std::optional<std::string>& weights = o.weights;
  const FitControls controls = read_fit_controls(circuit.nodes, o.constants, o.bounds);
  settings.fit.fast_engine = fast;
  settings.threads = threads;
  if (!chains.is_none()) {
    for (nb::handle chain : chains) {
      settings.chains.push_back(nb::cast<std::vector<std::size_t>>(chain));
    }
  }
  std::vector<nb::object> conversion_errors;
  const std::vector<BatchSpectrum> batch = read_spectra(spectra, conversion_errors);
  for (const auto& chain : settings.chains) {
    for (std::size_t i : chain) {
      if (i >= batch.size()) throw nb::index_error("chain index out of range");
    }
  }

  bool guess = guess_init ? *guess_init : (weights.has_value() || !circuit.explicit_values);
  const bool no_model = guess && !weights && !guess_init && !has_builtin_model(circuit);
  // A circuit without a trained model would start every spectrum from the
  // catalogue placeholders, which miss the minimum on most real spectra: unless
  // told otherwise, a batch searches from several starts instead.
  if (no_model && !settings.fit.starts && settings.fit.method == "levenberg_marquardt") {
    settings.fit.starts = StartCount{.automatic = true};
  }
  if (no_model && settings.fit.starts) {
    // A search needs no model (as in fit()): it adds the data-driven estimate.
    settings.fit.starts->placeholder_start = true;
    guess = false;
  } else if (no_model) {
    warn_no_model(2);
    guess = false;
  }
  const SeriesList& nodes = circuit.nodes;
  // Starting from the own values, a bad constant or start value stops the
  // whole call here, as it stops fit().
  ControlledStart own;
  if (!guess) own = apply_fit_controls(nodes, false, controls);
  for (const auto& constant : controls.constants) settings.fit.held.push_back(constant.has_value());
  auto start = [&](std::size_t i) -> StartOr {
    if (!guess) return own.circuit;
    auto outcome = models::guess_params(nodes, batch[i].frequencies, batch[i].impedances, weights);
    if (auto* message = std::get_if<std::string>(&outcome)) return *message;
    const auto& values = std::get<std::vector<double>>(outcome);
    if (values.size() < param_count(nodes)) {
      return std::string("the guess returned fewer values than the circuit has parameters");
    }
    try {
      return apply_fit_controls(rebuild(nodes, values), true, controls).circuit;
    } catch (const nb::builtin_exception& e) {  // raised without touching Python
      return std::string(e.what());
    }
  };

  BatchControl control;
  std::vector<std::optional<BatchEntry>> entries;
  nb::object interruption = nb::none();
  const std::size_t total = batch.size();
  std::size_t reported = static_cast<std::size_t>(-1);
  Poll report;
  if (!progress.is_none()) {
    report = [&] {
      const std::size_t done = control.done.load();
      if (done == reported) return;
      progress(done, total);
      reported = done;
    };
  }
  try {
    // Cancelling stops new fits from starting; the ones running stop at
    // their next evaluation.
    run_interruptible(
        [&](const CancelFlag*) { entries = run_batch(batch, settings, start, control); }, report,
        &control.cancelled);
  } catch (nb::python_error& e) {
    interruption = nb::borrow(e.value());
  }

  nb::list results;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (!conversion_errors[i].is_none()) {
      results.append(conversion_errors[i]);
    } else if (i >= entries.size() || !entries[i]) {
      results.append(nb::none());
    } else if (auto* outcome = std::get_if<FitOutcome>(&*entries[i])) {
      results.append(wrap_fit_result(*outcome));
    } else {
      results.append(nb::handle(PyExc_ValueError)(std::get<std::string>(*entries[i])));
    }
  }
  return nb::make_tuple(results, interruption);
}

}  // namespace

void register_batch(nb::module_& m) {
  m.def("_fit_batch", &fit_batch, nb::arg("circuit"), nb::arg("spectra"), nb::arg("options"),
        nb::arg("chains").none(), nb::arg("threads"), nb::arg("stop_on_error"), nb::arg("fast"),
        nb::arg("progress").none(),
        "Fits `circuit` to every (frequencies, impedances) pair of `spectra`; the engine of "
        "korvex.fit_many. Returns (results, interruption): per spectrum a FitResult, an "
        "exception, or None when its fit never started, and the exception that stopped the "
        "batch (Ctrl-C or one raised by `progress`), or None.");
  m.def("_pool_threads", &pool_concurrency, "Threads of the worker pool, the caller's included.");
}

}  // namespace korvex::py
