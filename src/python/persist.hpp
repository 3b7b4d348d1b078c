#pragma once
// What pickle, copy and FitResult.to_dict() carry: plain Python states (dicts,
// lists, str, float, int, bool, None) from which an equal object is rebuilt.
#include <optional>
#include <string>
#include <vector>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "fit/outcome_status.hpp"
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

// Converters of the fields of FitResult's state, picked by the field's type:
// to_state() gives the to_dict() form, to_packed_state() the pickled one (float
// vectors packed, circuits too), from_state() reads either and raises
// ValueError naming the key. Fields kept per parameter come with the names.
nb::object to_state(const SeriesList& circuit);
nb::object to_state(Termination reason);
nb::object to_state(const std::vector<bool>& flags);
nb::object to_state(const std::vector<double>& values, const std::vector<std::string>& names);
template <class T>
nb::object to_state(const T& value) {
  return nb::cast(value);
}
template <class T, class... Names>
nb::object to_state(const std::optional<T>& value, const Names&... names) {
  return value ? to_state(*value, names...) : nb::none();
}

nb::object to_packed_state(const SeriesList& circuit);
nb::object to_packed_state(const std::vector<double>& values);
nb::object to_packed_state(const std::vector<double>& values, const std::vector<std::string>&);
template <class... Field>
nb::object to_packed_state(const Field&... field) {
  return to_state(field...);
}
template <class... Names>
nb::object to_packed_state(const std::optional<std::vector<double>>& values,
                           const Names&... names) {
  return values ? to_packed_state(*values, names...) : nb::none();
}

[[noreturn]] void bad_state_field(const char* key, const std::string& what);
template <class T>
void from_state(nb::handle state, const char* key, T& out) {
  if (!nb::try_cast(state, out)) {
    bad_state_field(
        key, "has the wrong type '" + std::string(nb::type_name(state.type()).c_str()) + "'");
  }
}
void from_state(nb::handle state, const char* key, std::vector<double>& out);
void from_state(nb::handle state, const char* key, SeriesList& out);
void from_state(nb::handle state, const char* key, Termination& out);
void from_state(nb::handle state, const char* key, std::vector<bool>& out);
void from_state(nb::handle state, const char* key, std::vector<double>& out,
                const std::vector<std::string>& names);
template <class T, class... Names>
void from_state(nb::handle state, const char* key, std::optional<T>& out, Names&... names) {
  if (state.is_none()) return out.reset();
  from_state(state, key, out.emplace(), names...);
}

// A hashable key of a state with every float replaced by its bits: equal keys
// mean equal values bit for bit, NaN included, so == and hash() hold across a
// round trip.
nb::object state_key(nb::handle state);

// Pickling, copying, ==, hash() and the text form on the classes.
void register_circuit_persistence(nb::class_<PyCircuit>& cls);
void register_element_persistence(nb::class_<PyElement>& cls);

}  // namespace korvex::py
