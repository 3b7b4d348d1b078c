// korvex._fit_batch: the compiled half of korvex.fit_many. Converts the
// spectra and the fit options and runs the batch driver as an interruptible
// call that reports progress (python/interruptible.hpp).
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstring>

#include "common/pool.hpp"
#include "fit/batch.hpp"
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

// Spectra as (frequencies, impedances) pairs, checked as fit() checks them;
// a pair that does not convert or pass keeps its exception, to be reported
// in that spectrum's place.
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
      check_measured_spectrum(data);
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
  static_cast<FitOptions&>(settings.fit) = read_fit_options(options, "fit_many");
  if (auto problem = check_start_options(settings.fit)) throw nb::value_error(problem->c_str());
  const FitControls controls = read_fit_controls(circuit.nodes, settings.fit);
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

  const SeriesList& nodes = circuit.nodes;
  const StartDecision decision =
      decide_start(nodes, circuit.explicit_values, settings.fit, settings.fit.local_method());
  if (decision.warn_no_model) warn_no_model(2);
  settings.fit.starts = decision.starts;
  // Starting from the own values, a bad constant or start value stops the
  // whole call here, as it stops fit().
  std::optional<ControlledStart> own;
  if (!decision.guess) {
    own = value_or_raise(fit_start(nodes, decision, std::nullopt, controls, {}, {}));
  }
  settings.fit.held = controls.held();
  const FitOptions& chosen = settings.fit;
  auto start = [&](std::size_t i) -> StartOr {
    if (own) return own->circuit;
    auto outcome = fit_start(nodes, decision, chosen.weights, controls, batch[i].frequencies,
                             batch[i].impedances);
    if (auto* message = std::get_if<std::string>(&outcome)) {
      return with_weights_hint(std::move(*message), chosen);
    }
    return std::move(std::get<ControlledStart>(outcome).circuit);
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
