#pragma once
// The roles of a circuit's elements, found by one walk of the tree in
// parameter order (see estimate.hpp for what each role takes from the
// spectrum): series resistances, arc slots and their elements, inductors and
// tail elements. The estimate fills the roles from a spectrum; the search
// moves fitted arcs between slots of different shapes.
#include <string>
#include <vector>

#include "circuit/node.hpp"
#include "starts/estimate_features.hpp"

namespace korvex {

enum class Use { SeriesResistance, ArcResistance, ArcCapacitance, SlotElement, Tail, Inductor };

struct LeafPlan {
  Kind kind;
  Use use;
  std::size_t slot = 0;
  double share = 1.0;    // fraction (or multiple) of the slot's quantity
  bool in_slot = false;  // inside an arc slot's group, whatever its use (a W beside R)
};

struct Plan {
  std::vector<LeafPlan> leaves;  // parameter order
  std::size_t slots = 0;
  std::size_t series_resistors = 0;
  std::size_t tails = 0;
  bool all_tails_wo = true;
  std::size_t inductors = 0;
};

Plan plan_slots(const SeriesList& circuit);

// Per slot, the kinds of its elements in order: slots of one shape take each
// other's arcs without changing the circuit's impedance.
std::vector<std::string> slot_shapes(const Plan& plan);

// The orders of `shapes.size()` arcs over the slots that change the
// impedance (slots of one shape keep their arcs in ascending order), the
// identity first, at most `limit`.
std::vector<std::vector<std::size_t>> distinct_slot_orders(const std::vector<std::string>& shapes,
                                                           std::size_t limit);

// Writes `arc` into the fields `v` of a leaf of an arc slot (a resistor, a
// capacitive element or an element of its own): a resistor takes r times its
// share, a C tau / r and a CPE tau^alpha / r times theirs, with the arc's
// alpha. Other leaves are left as they are.
void write_arc(const LeafPlan& leaf, const Arc& arc, double* v);

// The values of a slot element of its own (K, Zarc, Ws, G, Gs, T) for `arc`,
// into out[0 .. field_count), and the arc such values stand for.
void fill_slot_element(Kind k, const Arc& arc, double* out);
Arc slot_element_arc(Kind k, const double* values);

}  // namespace korvex
