#include "analysis/identify_starts.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "fit/arc_order.hpp"
#include "starts/estimate.hpp"

namespace korvex::analysis {
namespace {

// Assignments visited when reducing one circuit to another.
constexpr std::size_t kMaxAssignments = 256;

// A node's structure without labels or values: two nodes of one shape are
// interchangeable in a series list.
std::string shape(const Node& n) {
  if (!n.parallel) return std::string(code(n.element.kind));
  std::string s = "p(";
  for (std::size_t b = 0; b < n.branches.size(); ++b) {
    if (b > 0) s += ',';
    for (std::size_t k = 0; k < n.branches[b].size(); ++k) {
      if (k > 0) s += '-';
      s += shape(n.branches[b][k]);
    }
  }
  return s + ")";
}

// Elements that are an arc by themselves (the estimate's self slots).
bool is_arc_element(Kind k) {
  return k == Kind::K || k == Kind::Zarc || k == Kind::Ws || k == Kind::G || k == Kind::Gs ||
         k == Kind::T;
}

bool is_slot(const Node& n) { return n.parallel || is_arc_element(n.element.kind); }

// A capacitor's values as a constant-phase element's: the same q and an
// exponent just inside the bound of 1, where a fit can still move it.
constexpr double kCapacitorAlpha = 0.98;

// Whether `special` is `general` or `general` with some CPE set to a
// capacitor: a fit of `special` is then a start for `general`.
bool fits_into(const Node& special, const Node& general) {
  if (special.parallel != general.parallel) return false;
  if (!special.parallel) {
    const Kind s = special.element.kind, g = general.element.kind;
    return s == g || (s == Kind::C && g == Kind::Cpe);
  }
  if (special.branches.size() != general.branches.size()) return false;
  for (std::size_t b = 0; b < special.branches.size(); ++b) {
    const SeriesList &sb = special.branches[b], &gb = general.branches[b];
    if (sb.size() != gb.size()) return false;
    for (std::size_t k = 0; k < sb.size(); ++k) {
      if (!fits_into(sb[k], gb[k])) return false;
    }
  }
  return true;
}

// `special`'s values in `general`'s parameter order (fits_into holds).
void transfer_values(const Node& special, const Node& general, std::vector<double>& out) {
  const SeriesList special_list{special}, general_list{general};
  const auto from = collect_leaves(special_list);
  const auto to = collect_leaves(general_list);
  for (std::size_t k = 0; k < from.size(); ++k) {
    const auto values = from[k].element->values();
    out.insert(out.end(), values.begin(), values.end());
    if (from[k].element->kind != to[k].element->kind) out.push_back(kCapacitorAlpha);
  }
}

// First parameter index of each top-level node, and one past the last.
std::vector<std::size_t> block_offsets(const SeriesList& circuit) {
  std::vector<std::size_t> offsets{0};
  for (const Node& n : circuit) offsets.push_back(offsets.back() + param_count(SeriesList{n}));
  return offsets;
}

// `general`'s fitted values in `special`'s parameter order (fits_into
// holds): a CPE becomes the capacitor of the same modulus at the group's
// characteristic frequency.
void specialise_values(const Node& general, const Node& special, std::vector<double>& out) {
  const SeriesList special_list{special}, general_list{general};
  const auto from = collect_leaves(general_list);
  const auto to = collect_leaves(special_list);
  const double tau = general.parallel ? arc_time_constant(general) : std::nan("");
  const double omega = std::isfinite(tau) && tau > 0.0 ? 1.0 / tau : 1.0;
  for (std::size_t k = 0; k < from.size(); ++k) {
    const auto values = from[k].element->values();
    if (from[k].element->kind == to[k].element->kind) {
      out.insert(out.end(), values.begin(), values.end());
    } else {  // |1 / (q (j w)^alpha)| = |1 / (c j w)|
      out.push_back(values[0] * std::pow(omega, values[1] - 1.0));
    }
  }
}

}  // namespace

std::vector<std::vector<double>> slot_order_starts(const SeriesList& circuit,
                                                   std::span<const double> frequencies,
                                                   std::span<const Complex> impedances) {
  auto starts = estimate_slot_orders(circuit, frequencies, impedances, kMaxSlotOrders);
  if (auto* values = std::get_if<std::vector<std::vector<double>>>(&starts)) {
    return std::move(*values);
  }
  return {};
}

std::optional<std::vector<double>> nested_start(const SeriesList& larger, const SeriesList& smaller,
                                                std::span<const double> frequencies,
                                                std::span<const Complex> impedances) {
  if (smaller.size() > larger.size()) return std::nullopt;
  // matched[i]: the node of `smaller` that larger's node i takes its values
  // from; a node of the same shape first, then one that it generalises.
  std::vector<std::optional<std::size_t>> matched(larger.size());
  bool generalised = false;
  for (std::size_t s = 0; s < smaller.size(); ++s) {
    const std::string wanted = shape(smaller[s]);
    std::size_t i = 0;
    while (i < larger.size() && (matched[i] || shape(larger[i]) != wanted)) ++i;
    if (i == larger.size()) {
      i = 0;
      while (i < larger.size() && (matched[i] || !fits_into(smaller[s], larger[i]))) ++i;
      if (i == larger.size()) return std::nullopt;
      generalised = true;
    }
    matched[i] = s;
  }
  if (smaller.size() == larger.size() && !generalised) return std::nullopt;

  SeriesList extra;
  for (std::size_t i = 0; i < larger.size(); ++i) {
    if (!matched[i]) extra.push_back(larger[i]);
  }
  std::vector<double> extra_values;
  if (!extra.empty()) {
    std::vector<Complex> left(frequencies.size());
    impedance_spectrum(smaller, frequencies, left);
    for (std::size_t k = 0; k < left.size(); ++k) {
      left[k] = {impedances[k].re - left[k].re, impedances[k].im - left[k].im};
    }
    auto estimated = estimate_values(extra, frequencies, left);
    auto* values = std::get_if<std::vector<double>>(&estimated);
    if (!values) return std::nullopt;
    extra_values = std::move(*values);
  }

  std::vector<double> start;
  std::size_t at = 0;
  for (std::size_t i = 0; i < larger.size(); ++i) {
    if (matched[i]) {
      transfer_values(smaller[*matched[i]], larger[i], start);
    } else {
      const std::size_t width = param_count(SeriesList{larger[i]});
      start.insert(start.end(), extra_values.begin() + static_cast<std::ptrdiff_t>(at),
                   extra_values.begin() + static_cast<std::ptrdiff_t>(at + width));
      at += width;
    }
  }
  return start;
}

std::vector<std::vector<double>> reduced_starts(const SeriesList& smaller,
                                                const SeriesList& larger) {
  if (smaller.size() > larger.size()) return {};
  // options[s]: larger's nodes that smaller's node s can take its values from.
  std::vector<std::vector<std::size_t>> options(smaller.size());
  bool identical = smaller.size() == larger.size();
  for (std::size_t s = 0; s < smaller.size(); ++s) {
    for (std::size_t i = 0; i < larger.size(); ++i) {
      if (fits_into(smaller[s], larger[i])) options[s].push_back(i);
    }
    if (options[s].empty()) return {};
    identical = identical && shape(smaller[s]) == shape(larger[s]);
  }
  if (identical) return {};
  // Nodes of one shape are interchangeable: they take larger's nodes in
  // increasing order, so each choice is made once.
  std::vector<std::optional<std::size_t>> previous_alike(smaller.size());
  for (std::size_t s = 0; s < smaller.size(); ++s) {
    for (std::size_t t = 0; t < s; ++t) {
      if (shape(smaller[t]) == shape(smaller[s])) previous_alike[s] = t;
    }
  }

  std::vector<std::vector<double>> starts;
  std::vector<std::size_t> chosen(smaller.size());
  std::vector<bool> used(larger.size(), false);
  std::size_t visits = 0;
  // Depth-first over the assignments; a start met twice is kept once.
  const auto assign = [&](const auto& self, std::size_t s) -> void {
    if (starts.size() >= kMaxSlotOrders || ++visits > kMaxAssignments) return;
    if (s == smaller.size()) {
      std::vector<double> start;
      for (std::size_t k = 0; k < smaller.size(); ++k) {
        specialise_values(larger[chosen[k]], smaller[k], start);
      }
      if (std::find(starts.begin(), starts.end(), start) == starts.end()) {
        starts.push_back(std::move(start));
      }
      return;
    }
    for (std::size_t i : options[s]) {
      if (used[i] || (previous_alike[s] && i < chosen[*previous_alike[s]])) continue;
      used[i] = true;
      chosen[s] = i;
      self(self, s + 1);
      used[i] = false;
    }
  };
  assign(assign, 0);
  return starts;
}

std::vector<std::size_t> arc_slots(const SeriesList& circuit) {
  std::vector<std::size_t> slots;
  for (std::size_t i = 0; i < circuit.size(); ++i) {
    if (is_slot(circuit[i])) slots.push_back(i);
  }
  return slots;
}

}  // namespace korvex::analysis
