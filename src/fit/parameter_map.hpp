#pragma once
// The fit's view of a circuit's parameters: the free ones, which every method
// searches, and the held ones (constants), which keep the circuit's value.
// Every method works on the free vector alone; the residuals expand it to the
// full vector the circuit evaluates (Spectrum::map), so no method needs to
// know that some parameters are held.
#include <cstddef>
#include <span>
#include <vector>

#include "circuit/node.hpp"

namespace korvex {

class ParameterMap {
 public:
  // Every parameter of `circuit` free.
  explicit ParameterMap(const SeriesList& circuit);
  // Parameter j is held at the circuit's value where held[j] is true; a
  // shorter `held` leaves the remaining parameters free.
  ParameterMap(const SeriesList& circuit, const std::vector<bool>& held);

  std::size_t free_count() const { return free_.size(); }
  std::size_t full_count() const { return full_.size(); }
  bool holds_any() const { return free_.size() != full_.size(); }
  bool is_held(std::size_t j) const { return !free_mask_[j]; }
  // Positions of the free parameters in the full vector, ascending.
  const std::vector<std::size_t>& free_indices() const { return free_; }

  // The full vector: held entries from the circuit, free ones from `free`
  // (at least free_count() entries).
  std::vector<double> expand(std::span<const double> free) const;
  void expand_into(std::span<const double> free, std::span<double> full) const;
  // The free entries of a full-length vector, in parameter order.
  template <typename T>
  std::vector<T> free_of(const std::vector<T>& full) const {
    std::vector<T> out;
    out.reserve(free_.size());
    for (std::size_t j : free_) out.push_back(full[j]);
    return out;
  }
  // The full-length vector with the free entries from `free` and `held_value`
  // at held ones.
  std::vector<double> scatter(std::span<const double> free, double held_value) const;

 private:
  std::vector<double> full_;  // the circuit's values; held entries are read from here
  std::vector<std::size_t> free_;
  std::vector<bool> free_mask_;
};

}  // namespace korvex
