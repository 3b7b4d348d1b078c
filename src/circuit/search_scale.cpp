#include "circuit/search_scale.hpp"

namespace korvex {
namespace {

constexpr double kLogFloor = 1e-300;

}  // namespace

double to_internal(double p, const Bounds& b) {
  if (!is_open_bound(b)) return p;
  const double d = p - b.first;
  return std::log10(std::isnan(d) || d < kLogFloor ? kLogFloor : d);
}

double to_physical(double x, const Bounds& b) {
  return is_open_bound(b) ? b.first + std::pow(10.0, x) : x;
}

}  // namespace korvex
