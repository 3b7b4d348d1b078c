#pragma once
// One fit: the problem (circuit, spectrum, held parameters, cancel flag) and
// the options it runs under (options.hpp).
#include <vector>

#include "circuit/node.hpp"
#include "common/cancel.hpp"
#include "fit/options.hpp"

namespace korvex {

struct FitProblem {
  SeriesList circuit;               // with the starting values stored in it
  std::vector<double> frequencies;  // Hz
  std::vector<Complex> impedances;  // ohm
  std::vector<bool> held;  // per parameter: held at the circuit's value; missing entries are free
  const CancelFlag* cancel = nullptr;  // once set, the fit stops at its next evaluation
};

struct FitSettings : FitOptions, FitProblem {};

}  // namespace korvex
