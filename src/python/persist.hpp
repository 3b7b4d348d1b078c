#pragma once
// What pickle, copy and FitResult.to_dict() carry: plain Python states (dicts,
// lists, str, float, int, bool, None) from which an equal object is rebuilt.
#include "python/bindings.hpp"

namespace korvex::py {

// {"text", "values", "bounds", "automatic_labels", "explicit_values"}: the text
// with every leaf's label, the values in parameter order, the bounds as
// [lo, hi] pairs, the leaves (in leaf order) whose labels were assigned
// automatically, and whether the values were given rather than defaults.
nb::dict circuit_state(const PyCircuit& c);
// The circuit a circuit_state() describes; ValueError naming what is wrong.
PyCircuit circuit_from_state(nb::handle state);

// A hashable key of a state with every float replaced by its bits: equal keys
// mean equal values bit for bit, NaN included, so == and hash() hold across a
// round trip.
nb::object state_key(nb::handle state);

// Pickling, copying, ==, hash() and the text form on the classes.
void register_circuit_persistence(nb::class_<PyCircuit>& cls);
void register_element_persistence(nb::class_<PyElement>& cls);

}  // namespace korvex::py
