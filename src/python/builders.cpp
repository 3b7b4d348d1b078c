#include <unordered_set>

#include "circuit/params.hpp"
#include "common/format.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"

namespace korvex::py {
namespace {

struct Parts {
  std::vector<SeriesList> series;  // one per part: its top-level nodes
  bool explicit_values = true;
};

Parts read_parts(nb::handle parts) {
  if (PyUnicode_Check(parts.ptr())) {
    raise_type_error("argument 'parts': Can't extract `str` to `Vec`");
  }
  if (!PySequence_Check(parts.ptr())) {
    raise_type_error("argument 'parts': '" + std::string(nb::type_name(parts.type()).c_str()) +
                     "' object cannot be converted to 'Sequence'");
  }
  Parts out;
  for (nb::handle item : nb::iter(parts)) {
    // An instance made with __new__ alone holds no value yet; it is neither.
    if (nb::inst_check(item) && !nb::inst_ready(item)) {
      const std::string type = nb::type_name(item.type()).c_str();
      raise_type_error("argument 'parts': an item could be taken neither as an element ('" + type +
                       "' object is not initialised) nor as a circuit ('" + type +
                       "' object is not initialised)");
    }
    if (nb::isinstance<PyElement>(item)) {
      out.series.push_back({Node::make_element(nb::cast<const PyElement&>(item).element)});
    } else if (nb::isinstance<PyCircuit>(item)) {
      const auto& c = nb::cast<const PyCircuit&>(item);
      out.series.push_back(c.nodes);
      out.explicit_values = out.explicit_values && c.explicit_values;
    } else {
      const std::string type = nb::type_name(item.type()).c_str();
      raise_type_error("argument 'parts': an item could be taken neither as an element ('" + type +
                       "' object is not an instance of 'Element') nor as a circuit ('" + type +
                       "' object is not an instance of 'Circuit')");
    }
  }
  return out;
}

// Two pieces with the same label would share parameter names, and
// FitResult.params would keep only one of their values: refused as the
// parser refuses "R1-R1". Automatic labels of unlabelled elements are not
// labels and are left as they are.
void refuse_duplicate_labels(const SeriesList& nodes) {
  std::unordered_set<std::string> seen;
  for (const Leaf& leaf : collect_leaves(nodes)) {
    if (*leaf.label && !seen.insert(**leaf.label).second) {
      throw nb::value_error(("duplicate element label " + debug_string(**leaf.label)).c_str());
    }
  }
}

nb::object checked(SeriesList nodes, bool explicit_values) {
  if (nesting_depth(nodes) > kMaxNestingDepth) {
    throw nb::value_error(
        ("groups nested more than " + std::to_string(kMaxNestingDepth) + " deep").c_str());
  }
  refuse_duplicate_labels(nodes);
  return wrap_circuit(std::move(nodes), explicit_values);
}

nb::object series(nb::handle parts_obj) {
  Parts parts = read_parts(parts_obj);
  SeriesList nodes;
  for (auto& s : parts.series) {
    for (auto& node : s) nodes.push_back(std::move(node));
  }
  return checked(std::move(nodes), parts.explicit_values);
}

nb::object parallel(nb::handle parts_obj) {
  Parts parts = read_parts(parts_obj);
  SeriesList nodes{Node::make_parallel(std::move(parts.series))};
  return checked(std::move(nodes), parts.explicit_values);
}

}  // namespace

void register_builders(nb::module_& m) {
  m.def("Series", &series, nb::arg("parts").none(),
        nb::sig("def Series(parts: typing.Sequence[Element | Circuit]) -> Circuit"),
        "Connect elements and circuits end to end.");
  m.def("Parallel", &parallel, nb::arg("parts").none(),
        nb::sig("def Parallel(parts: typing.Sequence[Element | Circuit]) -> Circuit"),
        "Connect elements and circuits as parallel branches.");
}

}  // namespace korvex::py
