#include "starts/slot_plan.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvex {
namespace {

bool is_self_slot(Kind k) {
  return k == Kind::K || k == Kind::Zarc || k == Kind::Ws || k == Kind::G || k == Kind::Gs ||
         k == Kind::T;
}

bool is_capacitive_branch(const SeriesList& branch) {
  if (branch.empty()) return false;
  for (const Node& n : branch) {
    if (n.parallel || (n.element.kind != Kind::C && n.element.kind != Kind::Cpe)) return false;
  }
  return true;
}

struct Context {
  bool in_slot = false;
  bool capacitive = false;
  std::size_t slot = 0;
  double share = 1.0;
};

void plan_list(const SeriesList& list, const Context& context, Plan& plan) {
  std::size_t resistors_here = 0;
  for (const Node& n : list) resistors_here += !n.parallel && n.element.kind == Kind::R;
  for (const Node& n : list) {
    if (n.parallel) {
      std::size_t capacitive = 0;
      for (const auto& b : n.branches) capacitive += is_capacitive_branch(b);
      const std::size_t other = n.branches.size() - capacitive;
      if (capacitive == 0 || other == 0) {  // not an arc: its elements keep the context
        for (const auto& b : n.branches) plan_list(b, context, plan);
        continue;
      }
      const std::size_t slot = plan.slots++;
      for (const auto& b : n.branches) {
        const bool cap = is_capacitive_branch(b);
        plan_list(b, Context{true, cap, slot, cap ? 1.0 / capacitive : static_cast<double>(other)},
                  plan);
      }
      continue;
    }
    const Kind k = n.element.kind;
    LeafPlan leaf{k, Use::Tail};
    if (is_self_slot(k)) {
      leaf = {k, Use::SlotElement, plan.slots++};
    } else if (k == Kind::R) {
      if (context.in_slot) {
        leaf = {k, Use::ArcResistance, context.slot,
                context.capacitive ? context.share : context.share / resistors_here};
      } else {
        leaf.use = Use::SeriesResistance;
        ++plan.series_resistors;
      }
    } else if ((k == Kind::C || k == Kind::Cpe) && context.in_slot && context.capacitive) {
      leaf = {k, Use::ArcCapacitance, context.slot, context.share};
    } else if (k == Kind::L || k == Kind::La) {
      leaf.use = Use::Inductor;
      ++plan.inductors;
    } else {
      ++plan.tails;
      plan.all_tails_wo = plan.all_tails_wo && k == Kind::Wo;
    }
    if (context.in_slot) {
      leaf.slot = context.slot;
      leaf.in_slot = true;
    }
    plan.leaves.push_back(leaf);
  }
}

}  // namespace

Plan plan_slots(const SeriesList& circuit) {
  Plan plan;
  plan_list(circuit, Context{}, plan);
  return plan;
}

std::vector<std::string> slot_shapes(const Plan& plan) {
  std::vector<std::string> shapes(plan.slots);
  for (const LeafPlan& leaf : plan.leaves) {
    if (leaf.in_slot || leaf.use == Use::SlotElement) {
      shapes[leaf.slot] += std::string(kind_info(leaf.kind).code) + ",";
    }
  }
  return shapes;
}

std::vector<std::vector<std::size_t>> distinct_slot_orders(const std::vector<std::string>& shapes,
                                                           std::size_t limit) {
  std::vector<std::size_t> order(shapes.size());
  std::iota(order.begin(), order.end(), 0);
  std::vector<std::vector<std::size_t>> out;
  do {
    bool canonical = true;
    for (std::size_t a = 0; a < order.size(); ++a) {
      for (std::size_t b = a + 1; b < order.size(); ++b) {
        canonical = canonical && !(shapes[a] == shapes[b] && order[a] > order[b]);
      }
    }
    if (canonical) out.push_back(order);
  } while (out.size() < limit && std::next_permutation(order.begin(), order.end()));
  return out;
}

void write_arc(const LeafPlan& leaf, const Arc& arc, double* v) {
  switch (leaf.use) {
    case Use::ArcResistance: v[0] = arc.r * leaf.share; break;
    case Use::ArcCapacitance:
      if (leaf.kind == Kind::C) {
        v[0] = arc.tau / arc.r * leaf.share;
      } else {
        v[1] = arc.alpha;
        v[0] = std::pow(arc.tau, v[1]) / arc.r * leaf.share;
      }
      break;
    case Use::SlotElement: fill_slot_element(leaf.kind, arc, v); break;
    default: break;
  }
}

void fill_slot_element(Kind k, const Arc& arc, double* out) {
  switch (k) {
    case Kind::K:
      out[0] = arc.r;
      out[1] = arc.tau;
      break;
    case Kind::Zarc:
      out[0] = arc.r;
      out[1] = arc.tau;
      out[2] = arc.alpha;
      break;
    case Kind::Ws:  // -Im peaks at omega tau ~ 2.5
      out[0] = arc.r;
      out[1] = 2.5 * arc.tau;
      break;
    case Kind::G:  // -Im peaks at omega tg = sqrt 3
      out[0] = arc.r;
      out[1] = std::sqrt(3.0) * arc.tau;
      break;
    case Kind::Gs:  // direct-current value rg / tanh(phi)
      out[0] = arc.r * std::tanh(1.0);
      out[1] = std::sqrt(3.0) * arc.tau;
      out[2] = 1.0;
      break;
    case Kind::T: {  // k_tau = 1: direct-current value (a coth 1 + b csch 1)
      const double dc = 1.0 / std::tanh(1.0) + 1.0 / std::sinh(1.0);
      out[0] = arc.r / dc;
      out[1] = arc.r / dc;
      out[2] = 1.0;
      out[3] = arc.tau;
      break;
    }
    default: break;
  }
}

Arc slot_element_arc(Kind k, const double* v) {
  switch (k) {
    case Kind::K: return {v[0], v[1], 1.0};
    case Kind::Zarc: return {v[0], v[1], v[2]};
    case Kind::Ws: return {v[0], v[1] / 2.5, 1.0};
    case Kind::G: return {v[0], v[1] / std::sqrt(3.0), 1.0};
    case Kind::Gs: return {v[0] / std::tanh(v[2]), v[1] / std::sqrt(3.0), 1.0};
    case Kind::T: {
      const double dc = 1.0 / std::tanh(1.0) + 1.0 / std::sinh(1.0);
      return {0.5 * (v[0] + v[1]) * dc, v[3], 1.0};
    }
    default: return {v[0], 1.0, 1.0};
  }
}

}  // namespace korvex
