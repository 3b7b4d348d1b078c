#include "python/bindings.hpp"

NB_MODULE(_korvex, m) {
  using namespace korvex::py;
  register_elements(m);
  register_circuit(m);
  register_guess(m);
  register_fit(m);
  register_builders(m);
  register_element_aliases(m);
  register_estimate(m);
  register_analysis(m);
  register_batch(m);
  register_shared_fit(m);
  register_text_signatures(m);
}
