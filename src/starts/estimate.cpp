#include "starts/estimate.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <string>

#include "circuit/params.hpp"
#include "starts/estimate_features.hpp"
#include "starts/slot_plan.hpp"

namespace korvex {
namespace {

// omega_min * tau above which a piece of the distribution counts as tail.
constexpr double kTailEdge = 0.15;

double polar_phase(Complex z) { return std::atan2(z.im, z.re); }
double modulus(Complex z) { return std::hypot(z.re, z.im); }

// The Wo time constant whose phase at `omega` is `phase` (between -pi/2 and
// -pi/4): bisection over log(omega tau), where the phase falls from -45
// degrees (long tau, the Warburg region) to -90 (short tau, capacitive).
double open_warburg_tau(double omega, double phase) {
  double lo = -3.0, hi = 3.0;  // log10(omega tau)
  for (int i = 0; i < 40; ++i) {
    const double mid = 0.5 * (lo + hi);
    const double p[2] = {1.0, std::pow(10.0, mid) / omega};
    const double ph = polar_phase(kind_impedance(Kind::Wo, p, FrequencyTerms(omega)));
    (ph < phase ? lo : hi) = mid;
  }
  return std::pow(10.0, 0.5 * (lo + hi)) / omega;
}

void fill_tail(Kind k, Complex tail, double omega, double* out) {
  const double m = modulus(tail);
  const double phase =
      std::clamp(polar_phase(tail), -0.499 * std::numbers::pi, -0.2 * std::numbers::pi);
  const double alpha = std::clamp(-2.0 * phase / std::numbers::pi, 0.4, 0.97);
  switch (k) {
    case Kind::C: out[0] = 1.0 / (omega * m); break;
    case Kind::Cpe:
      out[0] = 1.0 / (m * std::pow(omega, alpha));
      out[1] = alpha;
      break;
    case Kind::W: out[0] = m * std::sqrt(omega / 2.0); break;
    case Kind::Wo: {
      const double reachable =
          std::clamp(phase, -0.495 * std::numbers::pi, -0.255 * std::numbers::pi);
      const double tau = open_warburg_tau(omega, reachable);
      const double p[2] = {1.0, tau};
      out[0] = m / modulus(kind_impedance(Kind::Wo, p, FrequencyTerms(omega)));
      out[1] = tau;
      break;
    }
    case Kind::Tlmq:
      out[0] = m;
      out[1] = 1.0 / (m * std::pow(omega, alpha));
      out[2] = alpha;
      break;
    default: break;
  }
}

// Finite and inside [lo, hi], a little away from a finite bound so that the
// fit does not start on it; an open-bound value at least twice its bound.
double into_bounds(double v, double fallback, const Bounds& b) {
  if (!std::isfinite(v)) v = fallback;
  const auto [lo, hi] = b;
  if (std::isfinite(hi)) {
    const double margin = 0.01 * (hi - lo);
    return std::clamp(v, lo + margin, hi - margin);
  }
  return std::max(v, lo > 0.0 ? 2.0 * lo : lo);
}

// Values in parameter order with `arcs` in the slots, slot k taking
// arcs[order[k]].
std::vector<double> values_for(const SeriesList& circuit, const Plan& plan,
                               const SpectrumFeatures& features, const std::vector<Arc>& arcs,
                               const std::vector<std::size_t>& order) {
  const double scale = features.modulus_scale;

  const double series_r = features.r_inf > 1e-3 * scale ? features.r_inf : 1e-3 * scale;
  double inductance = features.inductance;
  if (!(inductance > 0.0)) inductance = 1e-3 * scale / features.omega_max;
  const double omega_tail = features.omega_min;
  Complex tail = tail_impedance(features, omega_tail);
  if (!(modulus(tail) > 1e-3 * scale)) {
    // No tail in the data: a CPE-like placeholder a tenth of |Z|.
    const double phase = 0.4 * std::numbers::pi;
    tail = {0.1 * scale * std::cos(phase), -0.1 * scale * std::sin(phase)};
  }
  if (plan.tails > 1) tail = {tail.re / plan.tails, tail.im / plan.tails};

  const std::vector<Bounds> param_bounds_list = param_bounds(circuit);
  std::vector<double> values;
  values.reserve(param_bounds_list.size());
  for (const LeafPlan& leaf : plan.leaves) {
    const KindInfo& info = kind_info(leaf.kind);
    double v[kMaxFields];
    for (std::size_t f = 0; f < info.field_count; ++f) v[f] = info.defaults[f];
    switch (leaf.use) {
      case Use::SeriesResistance: v[0] = series_r / plan.series_resistors; break;
      case Use::ArcResistance:
      case Use::ArcCapacitance:
      case Use::SlotElement: {
        // Arcs too small to show keep a resistance the data can move, and
        // exponents stay away from their bounds.
        Arc arc = arcs[order[leaf.slot]];
        arc.r = std::max(arc.r, 1e-4 * scale);
        arc.alpha = std::clamp(arc.alpha, 0.4, 0.97);
        write_arc(leaf, arc, v);
        break;
      }
      case Use::Tail: fill_tail(leaf.kind, tail, omega_tail, v); break;
      case Use::Inductor:
        if (leaf.kind == Kind::L) {
          v[0] = inductance / plan.inductors;
        } else {  // La: (l jw)^alpha with |.| = w L at the highest frequency
          const double w = features.omega_max;
          v[1] = 0.95;
          v[0] = std::pow(w * inductance / plan.inductors, 1.0 / v[1]) / w;
        }
        break;
    }
    for (std::size_t f = 0; f < info.field_count; ++f) {
      const std::size_t j = values.size();
      values.push_back(into_bounds(v[f], info.defaults[f], param_bounds_list[j]));
    }
  }
  return values;
}

// The estimate's readings of one spectrum for one circuit: the circuit's
// plan, the spectrum's features, and the arcs of each reading.
struct Readings {
  Plan plan;
  SpectrumFeatures features;
  std::vector<std::vector<Arc>> arcs;
};

std::variant<Readings, EstimateError> read_spectrum(const SeriesList& circuit,
                                                    std::span<const double> frequencies,
                                                    std::span<const Complex> impedances) {
  if (frequencies.size() != impedances.size()) {
    return EstimateError{"frequencies and impedances must have the same length"};
  }
  for (std::size_t i = 0; i < frequencies.size(); ++i) {
    if (!std::isfinite(frequencies[i]) || !std::isfinite(impedances[i].re) ||
        !std::isfinite(impedances[i].im)) {
      return EstimateError{"frequencies and impedances must be finite (point " + std::to_string(i) +
                           " is not)"};
    }
  }
  Readings r;
  r.plan = plan_slots(circuit);
  const Plan& plan = r.plan;
  r.features = spectrum_features(
      frequencies, impedances,
      FeatureRequest{plan.inductors > 0, plan.tails > 0,
                     plan.tails > 0 && plan.all_tails_wo ? Kind::Wo : Kind::Cpe, plan.slots > 0});
  const SpectrumFeatures& features = r.features;
  std::vector<std::vector<Arc>>& readings = r.arcs;
  readings.push_back(split_arcs(features, plan.slots));
  if (plan.tails > 0 && plan.slots > 0) {
    // Relaxation times at the slow edge of the window are the tail's
    // curvature, not an arc: when one more piece would sit there, the arcs
    // are the pieces before it (the other reading comes second).
    std::vector<Arc> more = split_arcs(features, plan.slots + 1);
    if (more.back().tau * features.omega_min > kTailEdge) {
      more.pop_back();
      readings.insert(readings.begin(), std::move(more));
    }
  }
  if (plan.slots > 0) {
    // One piece more than there are slots, the smallest left out: a small
    // arc between two large ones is not taken for one of them.
    std::vector<Arc> more = split_arcs(features, plan.slots + 1);
    if (more.size() == plan.slots + 1) {
      more.erase(std::min_element(more.begin(), more.end(),
                                  [](const Arc& a, const Arc& b) { return a.r < b.r; }));
      readings.push_back(std::move(more));
    }
  }
  return r;
}

// The first `reading_count` readings, each in every order of its arcs over
// the slots that changes the impedance (interchangeable slots keep their
// arcs fastest first), each set of values once, at most `limit` of them.
std::vector<std::vector<double>> over_slot_orders(const SeriesList& circuit, const Readings& r,
                                                  std::size_t reading_count, std::size_t limit) {
  // Every order is one start: a circuit has few slots, and the limit is small.
  const auto orders = distinct_slot_orders(slot_shapes(r.plan), limit);
  std::vector<std::vector<double>> out;
  for (std::size_t k = 0; k < reading_count && k < r.arcs.size(); ++k) {
    for (const auto& order : orders) {
      if (out.size() >= limit) return out;
      std::vector<double> values = values_for(circuit, r.plan, r.features, r.arcs[k], order);
      if (std::find(out.begin(), out.end(), values) == out.end()) out.push_back(std::move(values));
    }
  }
  return out;
}

}  // namespace

std::variant<std::vector<std::vector<double>>, EstimateError> estimate_variants(
    const SeriesList& circuit, std::span<const double> frequencies,
    std::span<const Complex> impedances, const CancelFlag* cancel) {
  const CancelScope scope(cancel);
  auto read = read_spectrum(circuit, frequencies, impedances);
  if (auto* error = std::get_if<EstimateError>(&read)) return std::move(*error);
  const Readings& r = std::get<Readings>(read);
  return over_slot_orders(circuit, r, r.arcs.size(), kMaxEstimateVariants);
}

std::variant<std::vector<std::vector<double>>, EstimateError> estimate_slot_orders(
    const SeriesList& circuit, std::span<const double> frequencies,
    std::span<const Complex> impedances, std::size_t limit) {
  auto read = read_spectrum(circuit, frequencies, impedances);
  if (auto* error = std::get_if<EstimateError>(&read)) return std::move(*error);
  return over_slot_orders(circuit, std::get<Readings>(read), 1, limit);
}

std::variant<std::vector<double>, EstimateError> estimate_values(
    const SeriesList& circuit, std::span<const double> frequencies,
    std::span<const Complex> impedances, const CancelFlag* cancel) {
  // Only the first reading in the text's order: the other readings and
  // orders are the search's, and every chain step and screen asks for this one.
  const CancelScope scope(cancel);
  auto read = read_spectrum(circuit, frequencies, impedances);
  if (auto* error = std::get_if<EstimateError>(&read)) return std::move(*error);
  return std::move(over_slot_orders(circuit, std::get<Readings>(read), 1, 1).front());
}

}  // namespace korvex
