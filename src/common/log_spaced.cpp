#include "common/log_spaced.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace korvex {

std::vector<std::size_t> log_spaced_points(std::span<const double> frequencies, std::size_t count) {
  std::vector<std::size_t> order(frequencies.size());
  std::iota(order.begin(), order.end(), 0);
  const bool all_positive =
      std::all_of(frequencies.begin(), frequencies.end(), [](double f) { return f > 0.0; });
  if (frequencies.size() <= count || count < 2 || !all_positive) return order;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return frequencies[a] < frequencies[b]; });
  const double lo = std::log(frequencies[order.front()]);
  const double hi = std::log(frequencies[order.back()]);
  std::vector<std::size_t> picked;
  std::size_t at = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const double target = lo + (hi - lo) * static_cast<double>(k) / static_cast<double>(count - 1);
    while (at + 1 < order.size() && std::fabs(std::log(frequencies[order[at + 1]]) - target) <=
                                        std::fabs(std::log(frequencies[order[at]]) - target)) {
      ++at;
    }
    if (picked.empty() || picked.back() != order[at]) picked.push_back(order[at]);
  }
  return picked;
}

}  // namespace korvex
