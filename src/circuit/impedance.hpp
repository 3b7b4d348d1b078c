#pragma once
// Complex impedance of a circuit tree at one angular frequency.
#include <cstddef>
#include <optional>
#include <span>

#include "circuit/node.hpp"
#include "circuit/plan.hpp"
#include "common/units.hpp"

namespace korvex {

// Element values from the tree.
Complex impedance(const SeriesList& circuit, double omega);

// Element values drawn in leaf order from `params`; none when the vector runs
// out ("impedance_from_iter: not enough values supplied"). Extra values are
// ignored.
std::optional<Complex> series_impedance_with_params(const SeriesList& circuit,
                                                    std::span<const double> params, double omega);

// The same two evaluations over a list of angular frequencies, into `out`
// (same size as `omegas`), on the calling thread. Each value is bit for bit
// the single-frequency result; the circuit is compiled once into an
// ImpedancePlan (plan.hpp) instead of walked per frequency. The parameter
// form returns false, leaving `out` untouched, when `params` runs out (it
// needs no values when there are no frequencies).
void impedance_block(const SeriesList& circuit, std::span<const double> omegas,
                     std::span<Complex> out);
bool series_impedance_with_params_block(const SeriesList& circuit, std::span<const double> params,
                                        std::span<const double> omegas, std::span<Complex> out);

inline constexpr const char* kNotEnoughValues = "impedance_from_iter: not enough values supplied";

// impedance() at 2*pi*f for every f, in input order, into `out` (same size).
// From kParallelImpedanceThreshold frequencies on the work is spread over the
// worker pool, in chunks of whole blocks, about eight per thread; both paths
// give identical values. One frequency costs about 35-40 ns, so the threshold
// is some 35 us of work against a hand-off of 1.2-2.5 us. Measured with
// bench/engine_speed.py on the 2-core machine at load average 9-13 (every
// core contended; an idle machine was not to be had): at 10,000 frequencies
// the pool took 0.57-1.0 of the single-thread time, and with one more
// process spinning on a core 0.96-0.98, never more than one thread's time.
inline constexpr std::size_t kParallelImpedanceThreshold = 1000;
void impedance_spectrum(const SeriesList& circuit, std::span<const double> frequencies,
                        std::span<Complex> out);
// The same with the circuit already compiled (its element values).
void impedance_spectrum(const ImpedancePlan& plan, std::span<const double> frequencies,
                        std::span<Complex> out);

}  // namespace korvex
