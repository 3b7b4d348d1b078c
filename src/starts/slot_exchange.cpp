#include "starts/slot_exchange.hpp"

#include <algorithm>
#include <cmath>

#include "circuit/params.hpp"
#include "starts/slot_plan.hpp"

namespace korvex {
namespace {

// Each slot's arc, read from the first of its resistors, capacitive elements
// and elements of their own (the shares undo the estimate's split of a
// slot's resistance and capacitance between its branches).
std::vector<Arc> fitted_arcs(const Plan& plan, std::span<const double> values) {
  std::vector<Arc> arcs(plan.slots, Arc{std::nan(""), std::nan(""), 1.0});
  std::vector<bool> has_r(plan.slots, false), has_c(plan.slots, false);
  // Capacitive elements need the slot's resistance: a second pass reads them.
  for (int pass = 0; pass < 2; ++pass) {
    std::size_t j = 0;
    for (const LeafPlan& leaf : plan.leaves) {
      const double* v = values.data() + j;
      j += field_count(leaf.kind);
      Arc& arc = arcs[leaf.slot];
      if (pass == 0 && leaf.use == Use::ArcResistance && !has_r[leaf.slot]) {
        arc.r = v[0] / leaf.share;
        has_r[leaf.slot] = true;
      } else if (pass == 0 && leaf.use == Use::SlotElement) {
        arc = slot_element_arc(leaf.kind, v);
      } else if (pass == 1 && leaf.use == Use::ArcCapacitance && !has_c[leaf.slot]) {
        const double rc = v[0] * arc.r / leaf.share;  // C r, or q r for a CPE
        arc.alpha = leaf.kind == Kind::Cpe ? v[1] : 1.0;
        arc.tau = std::pow(rc, 1.0 / arc.alpha);
        has_c[leaf.slot] = true;
      }
    }
  }
  return arcs;
}

// `values` with slot k's elements taking arcs[order[k]]; false when a value is
// not finite.
bool place_arcs(const Plan& plan, const std::vector<Arc>& arcs,
                const std::vector<std::size_t>& order, std::span<const Bounds> bounds,
                std::vector<double>& values) {
  std::size_t j = 0;
  for (const LeafPlan& leaf : plan.leaves) {
    double* v = values.data() + j;
    const std::size_t fields = field_count(leaf.kind);
    if (leaf.use == Use::ArcResistance || leaf.use == Use::ArcCapacitance ||
        leaf.use == Use::SlotElement) {
      write_arc(leaf, arcs[order[leaf.slot]], v);
      for (std::size_t f = 0; f < fields; ++f) {
        if (!std::isfinite(v[f])) return false;
        v[f] = std::clamp(v[f], bounds[j + f].first, bounds[j + f].second);
      }
    }
    j += fields;
  }
  return true;
}

}  // namespace

std::vector<std::vector<double>> exchanged_slots(const SeriesList& circuit,
                                                 std::span<const double> values,
                                                 std::size_t limit) {
  const Plan plan = plan_slots(circuit);
  const std::vector<Bounds> bounds = param_bounds(circuit);
  if (plan.slots < 2 || values.size() < bounds.size()) return {};
  const std::vector<Arc> arcs = fitted_arcs(plan, values);
  // The first order is the identity: the values as they are.
  const auto orders = distinct_slot_orders(slot_shapes(plan), limit + 1);
  std::vector<std::vector<double>> out;
  for (std::size_t k = 1; k < orders.size(); ++k) {
    std::vector<double> moved(values.begin(), values.end());
    if (place_arcs(plan, arcs, orders[k], bounds, moved)) out.push_back(std::move(moved));
  }
  return out;
}

}  // namespace korvex
