#pragma once
// Python objects of the module and their registration functions, one per file.
#include <nanobind/nanobind.h>

#include <memory>

#include "circuit/node.hpp"
#include "circuit/plan.hpp"

namespace korvex::py {

namespace nb = nanobind;

// Base of the fourteen element classes.
struct PyElement {
  Element element;
};

struct PyCircuit {
  SeriesList nodes;
  bool explicit_values = false;
  // The evaluation plan of `nodes`, compiled on the first impedance() call
  // (under the interpreter lock) and kept: at 60 frequencies compiling it
  // again would cost a sixth of the call.
  mutable std::shared_ptr<const ImpedancePlan> plan = nullptr;

  const ImpedancePlan& impedance_plan() const {
    if (!plan) plan = std::make_shared<const ImpedancePlan>(nodes);
    return *plan;
  }
};

// A new Python Circuit owning `nodes`.
nb::object wrap_circuit(SeriesList nodes, bool explicit_values);

void register_elements(nb::module_& m);         // Element and its subclasses
void register_circuit(nb::module_& m);          // Circuit and its evaluation methods
void register_fit(nb::module_& m);              // Circuit.fit and FitResult
void register_guess(nb::module_& m);            // Circuit.guess and Circuit.ml_circuits
void register_builders(nb::module_& m);         // Series and Parallel
void register_element_aliases(nb::module_& m);  // korvex.R ... korvex.T
void register_estimate(nb::module_& m);         // Circuit.estimate
void register_analysis(nb::module_& m);         // Kramers-Kronig test, DRT, identify
void register_batch(nb::module_& m);            // korvex._fit_batch, behind korvex.fit_many
void register_shared_fit(nb::module_& m);       // korvex._fit_shared, behind korvex.fit_shared
void register_text_signatures(nb::module_& m);  // _expose_text_signatures

}  // namespace korvex::py
