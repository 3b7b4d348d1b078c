#pragma once
// The text form of a circuit, which parse() reads back to an equal tree.
#include <cstddef>
#include <span>
#include <string>

#include "circuit/node.hpp"

namespace korvex {

// "R0-p(R1,CPE1)-W2": series parts joined by '-', parallel groups as "p(a,b)",
// each leaf by its leaf_labels() label. The empty circuit gives "". Distinct
// trees give distinct texts, but parse() reads them back only when
// has_text_form() holds.
std::string circuit_text(const SeriesList& circuit);

// False when a group or one of its branches is empty, or when two leaves share
// a label: the syntax has no form for those.
bool has_text_form(const SeriesList& circuit);

// Copy of `circuit` in which the leaves at `leaves` (leaf order) carry no label
// of their own, as elements joined from Python objects do. Indices past the
// last leaf are ignored.
SeriesList without_labels(const SeriesList& circuit, std::span<const std::size_t> leaves);

}  // namespace korvex
