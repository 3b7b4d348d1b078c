#pragma once
// What pickle, copy and FitResult.to_dict() carry: plain Python states (dicts,
// lists, str, float, int, bool, None) from which an equal object is rebuilt.
#include <string>
#include <vector>

#include "python/bindings.hpp"

namespace korvex::py {

// {"text", "values", "bounds", "automatic_labels", "explicit_values"}: the text
// with every leaf's label, the values in parameter order, the bounds as
// [lo, hi] pairs, the leaves (in leaf order) whose labels were assigned
// automatically, and whether the values were given rather than defaults.
// `packed` (what pickle carries) gives values and bounds as packed doubles.
nb::dict circuit_state(const PyCircuit& c, bool packed = false);
// The circuit a circuit_state() describes; ValueError naming what is wrong.
PyCircuit circuit_from_state(nb::handle state);

// Float vectors in pickled states: the bytes of their little-endian doubles,
// a fraction of the time a list of floats takes.
nb::bytes pack_doubles(const std::vector<double>& values);
// False, leaving `out` alone, when `obj` is not bytes; ValueError naming `what`
// when it holds no whole number of doubles.
bool unpack_doubles(nb::handle obj, const std::string& what, std::vector<double>& out);

// A hashable key of a state with every float replaced by its bits: equal keys
// mean equal values bit for bit, NaN included, so == and hash() hold across a
// round trip.
nb::object state_key(nb::handle state);

// Pickling, copying, ==, hash() and the text form on the classes.
void register_circuit_persistence(nb::class_<PyCircuit>& cls);
void register_element_persistence(nb::class_<PyElement>& cls);

}  // namespace korvex::py
