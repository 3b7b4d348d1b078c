#include "fit/parameter_map.hpp"

#include <algorithm>

#include "circuit/params.hpp"

namespace korvex {

ParameterMap::ParameterMap(const SeriesList& circuit) : ParameterMap(circuit, {}) {}

ParameterMap::ParameterMap(const SeriesList& circuit, const std::vector<bool>& held)
    : full_(param_values(circuit)), free_mask_(full_.size(), true) {
  free_.reserve(full_.size());
  for (std::size_t j = 0; j < full_.size(); ++j) {
    if (j < held.size() && held[j])
      free_mask_[j] = false;
    else
      free_.push_back(j);
  }
}

void ParameterMap::expand_into(std::span<const double> free, std::span<double> full) const {
  std::copy(full_.begin(), full_.end(), full.begin());
  const std::size_t n = std::min(free.size(), free_.size());
  for (std::size_t k = 0; k < n; ++k) full[free_[k]] = free[k];
}

std::vector<double> ParameterMap::expand(std::span<const double> free) const {
  std::vector<double> out(full_.size());
  expand_into(free, out);
  return out;
}

std::vector<double> ParameterMap::scatter(std::span<const double> free, double held_value) const {
  std::vector<double> out(full_.size(), held_value);
  const std::size_t n = std::min(free.size(), free_.size());
  for (std::size_t k = 0; k < n; ++k) out[free_[k]] = free[k];
  return out;
}

}  // namespace korvex
