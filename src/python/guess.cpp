#include "python/bindings.hpp"

namespace korvex::py {

// Circuit.guess and Circuit.ml_circuits.
void register_guess(nb::module_&) {}

}  // namespace korvex::py
