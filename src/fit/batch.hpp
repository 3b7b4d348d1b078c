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

// A chain's step is one local fit from the previous step's result (with
// "levenberg_marquardt": without the batch's multi-start search) unless that
// fit looks lost: it failed or a parameter ran off, its chi-square per point
// rose more than kChainRise-fold over the previous step's or over that of the
// last step a search confirmed, or a parameter jumped (kChainJumpDecades,
// kChainJumpShare). Then the spectrum is also fitted from a fresh start with
// a search (the batch's starts, else "auto"), and the search's result is kept
// when it succeeds where the local fit did not, or costs more than
// kChainTolerance (relative) less. Interchangeable arcs of every result take
// the order of the previous step's time constants (arc_order.hpp).
inline constexpr double kChainRise = 2.0;
inline constexpr double kChainJumpDecades = 0.5;
inline constexpr double kChainJumpShare = 0.15;
inline constexpr double kChainTolerance = 0.01;

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
