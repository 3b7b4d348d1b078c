#pragma once
// What a measured spectrum says about any circuit fitted to it: the
// high-frequency intercept, an inductance, a low-frequency tail, and a
// distribution of relaxation times split into arcs. One non-negative least
// squares fit of Re and Im (weighted by 1/|Z|, as the fit's default) over a
// dictionary of shapes: a series resistance, an inductance, constant-phase
// tails (jw)^-alpha for alpha = 0.5 ... 1 (or finite-length Warburg tails
// Wo(1, tau) on a log grid of tau when the circuit's tails are all Wo), and
// Debye arcs 1/(1 + jw tau) on a
// log grid of tau reaching a decade past the measured range at each end.
#include <cstddef>
#include <span>
#include <vector>

#include "elements/element.hpp"

namespace korvex {

// Which shapes the circuit can express; the others are left out of the
// dictionary so that the data are not explained by something the circuit
// lacks.
struct FeatureRequest {
  bool inductance = false;
  bool tail = false;
  Kind tail_kind = Kind::Cpe;  // Cpe: constant-phase shapes; Wo: Wo(1, tau) shapes
  bool arcs = false;
};

struct SpectrumFeatures {
  bool usable = false;                      // at least three points with f > 0
  double omega_min = 1.0, omega_max = 1.0;  // rad/s
  double modulus_scale = 1.0;               // median |Z| (1 ohm without data)
  double r_inf = 0.0;                       // ohm, >= 0
  double inductance = 0.0;                  // H, >= 0
  Kind tail_kind = Kind::Cpe;
  std::vector<double> tail_shapes;        // alpha of (jw)^-alpha, or tau of Wo(1, tau)
  std::vector<double> tail_coefficients;  // Z_tail = sum c shape(w), c >= 0
  std::vector<double> taus;               // s, ascending
  std::vector<double> masses;             // ohm, >= 0, one per tau
};

// Points with a non-positive frequency are skipped; the caller refuses
// non-finite data beforehand.
SpectrumFeatures spectrum_features(std::span<const double> frequencies,
                                   std::span<const Complex> impedances,
                                   const FeatureRequest& request);

Complex tail_impedance(const SpectrumFeatures& features, double omega);

struct Arc {
  double r;      // ohm
  double tau;    // s, the log-mean of the arc's share of the distribution
  double alpha;  // depression, from the height of the share's own -Im peak
};

// Exactly `count` arcs, fastest first: the distribution cut into `count`
// contiguous pieces of least weighted spread in log tau (optimal 1-D
// k-means); when fewer relaxation times carry weight than arcs are asked
// for, the largest arcs are split in two a decade apart.
std::vector<Arc> split_arcs(const SpectrumFeatures& features, std::size_t count);

}  // namespace korvex
