#include "fit/arc_order.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"

namespace korvex {
namespace {

constexpr int kDecadeSteps = 10;
constexpr int kLowestDecade = -12;
constexpr int kHighestDecade = 12;

// Same kinds in the same tree with the same bounds: values and labels aside.
bool same_shape(const SeriesList& a, const SeriesList& b);

bool same_shape(const Node& a, const Node& b) {
  if (a.parallel != b.parallel) return false;
  if (!a.parallel) return a.element.kind == b.element.kind && a.field_bounds == b.field_bounds;
  if (a.branches.size() != b.branches.size()) return false;
  for (std::size_t k = 0; k < a.branches.size(); ++k) {
    if (!same_shape(a.branches[k], b.branches[k])) return false;
  }
  return true;
}

bool same_shape(const SeriesList& a, const SeriesList& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k) {
    if (!same_shape(a[k], b[k])) return false;
  }
  return true;
}

}  // namespace

double arc_time_constant(const Node& group) {
  const SeriesList alone{group};
  const int steps = (kHighestDecade - kLowestDecade) * kDecadeSteps;
  std::vector<double> loss(steps + 1);
  for (int k = 0; k <= steps; ++k) {
    const double log_omega = kLowestDecade + static_cast<double>(k) / kDecadeSteps;
    loss[k] = -impedance(alone, std::pow(10.0, log_omega)).im;
  }
  const auto peak = std::max_element(loss.begin(), loss.end());
  if (!(*peak > 0.0)) return std::nan("");
  const auto k = static_cast<int>(peak - loss.begin());
  double offset = 0.0;  // in grid steps, from the parabola through the peak and its neighbours
  if (k > 0 && k < steps) {
    const double curvature = loss[k - 1] - 2.0 * loss[k] + loss[k + 1];
    if (curvature < 0.0) offset = 0.5 * (loss[k - 1] - loss[k + 1]) / curvature;
  }
  const double log_omega = kLowestDecade + (k + offset) / kDecadeSteps;
  return std::pow(10.0, -log_omega);
}

std::vector<std::size_t> arc_order_like(const SeriesList& fitted, const SeriesList& reference,
                                        const std::vector<bool>& held) {
  std::vector<std::size_t> order(param_count(fitted));
  std::iota(order.begin(), order.end(), 0);
  if (fitted.size() != reference.size()) return order;

  // First parameter and count of each top-level node; the movable groups.
  std::vector<std::size_t> first(fitted.size()), count(fitted.size());
  std::vector<std::size_t> movable;
  std::size_t offset = 0;
  for (std::size_t g = 0; g < fitted.size(); ++g) {
    first[g] = offset;
    count[g] = param_count(SeriesList{fitted[g]});
    offset += count[g];
    const bool holds =
        std::any_of(held.begin() + std::min(first[g], held.size()),
                    held.begin() + std::min(offset, held.size()), [](bool h) { return h; });
    if (fitted[g].parallel && !holds) movable.push_back(g);
  }

  std::vector<bool> placed(fitted.size(), false);
  for (std::size_t g : movable) {
    if (placed[g]) continue;
    std::vector<std::size_t> members;
    for (std::size_t h : movable) {
      if (!placed[h] && same_shape(fitted[g], fitted[h])) members.push_back(h);
    }
    for (std::size_t h : members) placed[h] = true;
    if (members.size() < 2) continue;
    std::vector<double> ref_tau(fitted.size()), fit_tau(fitted.size());
    bool defined = true;
    for (std::size_t h : members) {
      ref_tau[h] = arc_time_constant(reference[h]);
      fit_tau[h] = arc_time_constant(fitted[h]);
      defined = defined && std::isfinite(ref_tau[h]) && std::isfinite(fit_tau[h]);
    }
    if (!defined) continue;
    // The r-th slowest position in the reference takes the r-th slowest
    // fitted group's values.
    std::vector<std::size_t> positions = members, sources = members;
    std::stable_sort(positions.begin(), positions.end(),
                     [&](std::size_t a, std::size_t b) { return ref_tau[a] < ref_tau[b]; });
    std::stable_sort(sources.begin(), sources.end(),
                     [&](std::size_t a, std::size_t b) { return fit_tau[a] < fit_tau[b]; });
    for (std::size_t r = 0; r < members.size(); ++r) {
      for (std::size_t j = 0; j < count[positions[r]]; ++j) {
        order[first[positions[r]] + j] = first[sources[r]] + j;
      }
    }
  }
  return order;
}

}  // namespace korvex
