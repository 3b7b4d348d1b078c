#pragma once
// Weighted residuals between a circuit and a measured spectrum, their
// numerical Jacobian, and the evaluation counter every fit reports.
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "circuit/node.hpp"
#include "circuit/plan.hpp"

namespace korvex {

class ParameterMap;

enum class Weighting { Modulus, Unit };

// Whole-spectrum residual evaluations of one fit; shared by its worker tasks.
struct EvalCounter {
  std::atomic<std::uint64_t> count{0};
  void add(std::uint64_t n) { count.fetch_add(n, std::memory_order_relaxed); }
  std::uint64_t value() const { return count.load(std::memory_order_relaxed); }
};

// One divisor per point: |Z| floored at 1e-30 (NaN -> 1e-30), or 1.
std::vector<double> compute_weights(std::span<const Complex> impedances, Weighting weighting);

// The circuit, the measured spectrum and its weights, borrowed for a fit.
struct Spectrum {
  const SeriesList& circuit;
  std::span<const double> omegas;       // rad/s, length N
  std::span<const Complex> impedances;  // length >= N
  std::span<const double> weights;      // length >= N
  // When set, parameter vectors are the map's free vectors (held parameters
  // keep the circuit's values); otherwise they are the circuit's full vectors.
  const ParameterMap* map = nullptr;
  // The circuit compiled for `omegas`, built once by a fit that evaluates
  // many times; without it every evaluation compiles its own.
  const SpectrumPlan* plan = nullptr;
};

// r[2i] = (Re Zmodel - Re Zmeas) / w_i, r[2i+1] likewise for Im; `out` holds
// 2N entries. Adds 1 to the counter. False when `params` is shorter than the
// circuit's parameter count (the map's free count with a map).
bool residuals_into(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                    std::span<double> out);

// Allocating form; none when `params` is too short.
std::optional<std::vector<double>> residuals(const Spectrum& s, std::span<const double> params,
                                             EvalCounter& counter);

// 1/2 sum r^2, summed in index order from -0.0.
double cost(std::span<const double> r);

// Central differences, one column of 2N entries per parameter, in parameter
// order: h = cbrt(eps) * max(|p_j|, 1e-8). Adds 2P to the counter. Columns run
// on the worker pool when the work is large enough to pay for the hand-off.
// None when `params` is too short for the circuit.
std::optional<std::vector<std::vector<double>>> jacobian_columns(const Spectrum& s,
                                                                 std::span<const double> params,
                                                                 EvalCounter& counter);

// Column-major variant for solvers: column j at out[j * 2N ...].
bool jacobian_into(const Spectrum& s, std::span<const double> params, EvalCounter& counter,
                   std::span<double> out);

// While one lives on a thread, the Jacobians computed on that thread keep
// their columns on it: a batch runs one fit per pool task, and spreading a
// fit's columns over threads that are busy with other fits only adds
// hand-offs.
class SerialJacobianScope {
 public:
  SerialJacobianScope();
  ~SerialJacobianScope();
  SerialJacobianScope(const SerialJacobianScope&) = delete;
  SerialJacobianScope& operator=(const SerialJacobianScope&) = delete;

 private:
  bool outer_;
};

inline constexpr double kCbrtEpsilon = 6.0554544523933395e-06;

// The central-difference step of a parameter: cbrt(eps) * max(|p|, 1e-8), a
// NaN magnitude counting as 1e-8.
double jacobian_step(double param);

}  // namespace korvex
