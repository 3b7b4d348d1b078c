#include "python/bindings.hpp"

namespace korvex::py {

// Circuit.fit and FitResult.
void register_fit(nb::module_&) {}

}  // namespace korvex::py
