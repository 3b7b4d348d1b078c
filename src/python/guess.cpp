#include "python/guess.hpp"

#include "models/builtin_topologies.hpp"

namespace korvex::py {

bool has_builtin_model(const PyCircuit&) { return false; }

std::vector<double> guess_params(const PyCircuit&, const SpectrumData&,
                                 const std::optional<std::string>&) {
  throw nb::value_error("No training data on this circuit.");
}

std::string builtin_model_list() {
  std::string out;
  for (const auto& t : models::kBuiltinTopologies) {
    if (!out.empty()) out += ", ";
    out += "'" + std::string(t.name) + "'";
  }
  return out;
}

// Circuit.guess and Circuit.ml_circuits.
void register_guess(nb::module_&) {}

}  // namespace korvex::py
