#pragma once
// Fits of one circuit to many spectra on the worker pool: one fit per task
// (the Jacobian of a fit inside a batch never spreads over the pool), chains
// of spectra fitted in order with each fit starting where the previous one
// ended, a cap on the threads, a progress counter and cancellation between
// fits.
#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/cancel.hpp"
#include "fit/driver.hpp"

namespace korvex {

// A spectrum's starting circuit, or why none could be made (a failed guess).
using StartOr = std::variant<SeriesList, std::string>;

// One spectrum of the batch: the data, or the message of a conversion that
// failed before the batch (recorded as that spectrum's error).
struct BatchSpectrum {
  std::vector<double> frequencies;  // Hz
  std::vector<Complex> impedances;  // ohm
  std::optional<std::string> error;
};

// A fit's outcome, or the message of the error that stopped it.
using BatchEntry = std::variant<FitOutcome, std::string>;

// A chain's step with "levenberg_marquardt" is one local fit from the
// previous step's result (without the batch's multi-start search). It stands
// when its residuals are at the noise level (outcome_checks.hpp) and nothing
// says it lost the track. Lost: it failed or a parameter ran off, its
// chi-square per point rose more than kChainRise-fold over the previous
// step's or over that of the last searched step, or a parameter jumped
// (kChainJumpDecades, kChainJumpShare). A lost step, a step above the noise
// when kChainRecheckSteps steps ran without a search, and a step above the
// noise that a local fit from the spectrum's data-driven estimate undercuts
// by more than kChainTolerance (relative) also fit the spectrum from a fresh
// start with a search (the batch's starts, else "auto"). Another fit replaces
// the chained one when it succeeds where that failed, or costs more than
// kChainTolerance less. Interchangeable arcs of every result take the order
// of the previous step's time constants (arc_order.hpp). Other methods run
// from the previous result, their arcs reordered likewise.
inline constexpr double kChainRise = 2.0;
inline constexpr double kChainJumpDecades = 0.5;
inline constexpr double kChainJumpShare = 0.15;
inline constexpr double kChainTolerance = 0.01;
inline constexpr std::size_t kChainRecheckSteps = 8;

struct BatchSettings {
  FitSettings fit;  // method and controls; circuit and spectrum are per entry
  // Groups of spectrum indices fitted in the listed order, each step starting
  // from the previous one's result when that fit succeeded (see kChainRise).
  // Empty: every spectrum on its own.
  std::vector<std::vector<std::size_t>> chains;
  std::size_t threads = 0;     // most fits at once; 0: the whole pool
  bool stop_on_error = false;  // no new fits after the first error
};

// Shared with the caller while the batch runs.
struct BatchControl {
  std::atomic<std::size_t> done{0};  // fits finished (or skipped as failed)
  CancelFlag cancelled{false};       // set by the caller: no new fits start, running ones stop
};

// Fits every spectrum. `start(i)` gives spectrum i's starting circuit when it
// is not chained onto a previous fit (it is called on the pool's threads).
// Entries of fits that never started (cancelled, or stopped at an error) are
// empty.
std::vector<std::optional<BatchEntry>> run_batch(const std::vector<BatchSpectrum>& spectra,
                                                 const BatchSettings& settings,
                                                 const std::function<StartOr(std::size_t)>& start,
                                                 BatchControl& control);

}  // namespace korvex
