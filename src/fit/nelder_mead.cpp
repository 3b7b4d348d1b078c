#include "fit/nelder_mead.hpp"

#include <algorithm>
#include <cmath>

#include "fit/global_methods.hpp"

namespace korvex {
namespace {

struct Vertex {
  std::vector<double> x;
  double cost;
};

// Strict order with NaN after everything, so a vertex whose cost cannot be
// computed is always the first to be replaced.
bool ranks_before(double a, double b) { return cost_improves(a, b); }

// a + t (b - a), coordinate by coordinate.
std::vector<double> along(const std::vector<double>& a, const std::vector<double>& b, double t) {
  std::vector<double> out(a.size());
  for (std::size_t i = 0; i < a.size(); ++i) out[i] = a[i] + t * (b[i] - a[i]);
  return out;
}

// Sample standard deviation (divisor n - 1) of the vertex costs; NaN when a
// cost is NaN or infinite, which keeps the search going.
double cost_spread(const std::vector<Vertex>& simplex) {
  const double n = static_cast<double>(simplex.size());
  double mean = 0.0;
  for (const auto& v : simplex) mean += v.cost;
  mean /= n;
  double squares = 0.0;
  for (const auto& v : simplex) squares += (v.cost - mean) * (v.cost - mean);
  return std::sqrt(squares / (n - 1.0));
}

}  // namespace

std::vector<std::vector<double>> nelder_mead_initial_simplex(std::span<const double> x0) {
  std::vector<std::vector<double>> simplex;
  simplex.reserve(x0.size() + 1);
  simplex.emplace_back(x0.begin(), x0.end());
  for (std::size_t i = 0; i < x0.size(); ++i) {
    std::vector<double> v(x0.begin(), x0.end());
    const double a = std::fabs(x0[i]);
    v[i] += a > 1e-8 ? 0.1 * a : 0.1;
    simplex.push_back(std::move(v));
  }
  return simplex;
}

SearchResult nelder_mead_minimize(const Objective& f, std::vector<std::vector<double>> points,
                                  const NelderMeadSettings& settings) {
  SearchResult result;
  if (points.empty()) return result;
  std::vector<Vertex> simplex;
  simplex.reserve(points.size());
  for (auto& p : points) {
    const double c = f(p);
    simplex.push_back({std::move(p), c});
  }
  auto sort_simplex = [&] {
    std::stable_sort(simplex.begin(), simplex.end(),
                     [](const Vertex& a, const Vertex& b) { return ranks_before(a.cost, b.cost); });
  };
  sort_simplex();

  // With a single vertex there is nothing to move.
  while (simplex.size() > 1 && result.iterations < settings.max_iterations &&
         !(cost_spread(simplex) < settings.sd_tolerance)) {
    const std::size_t worst = simplex.size() - 1;
    const std::size_t n = worst;  // coordinates in the centroid
    std::vector<double> centroid(simplex[0].x.size(), 0.0);
    for (std::size_t k = 0; k < n; ++k) {
      for (std::size_t i = 0; i < centroid.size(); ++i) centroid[i] += simplex[k].x[i];
    }
    for (double& c : centroid) c /= static_cast<double>(n);

    const double best_cost = simplex[0].cost;
    const double second_worst_cost = simplex[worst - 1].cost;
    const double worst_cost = simplex[worst].cost;

    std::vector<double> reflected = along(centroid, simplex[worst].x, -settings.reflection);
    const double reflected_cost = f(reflected);
    bool do_shrink = false;

    if (ranks_before(reflected_cost, best_cost)) {
      std::vector<double> expanded = along(centroid, reflected, settings.expansion);
      const double expanded_cost = f(expanded);
      if (ranks_before(expanded_cost, reflected_cost)) {
        simplex[worst] = {std::move(expanded), expanded_cost};
      } else {
        simplex[worst] = {std::move(reflected), reflected_cost};
      }
    } else if (ranks_before(reflected_cost, second_worst_cost)) {
      simplex[worst] = {std::move(reflected), reflected_cost};
    } else if (ranks_before(reflected_cost, worst_cost)) {
      std::vector<double> contracted = along(centroid, reflected, settings.contraction);
      const double contracted_cost = f(contracted);
      if (!ranks_before(reflected_cost, contracted_cost)) {
        simplex[worst] = {std::move(contracted), contracted_cost};
      } else {
        do_shrink = true;
      }
    } else {
      std::vector<double> contracted = along(centroid, simplex[worst].x, settings.contraction);
      const double contracted_cost = f(contracted);
      if (ranks_before(contracted_cost, worst_cost)) {
        simplex[worst] = {std::move(contracted), contracted_cost};
      } else {
        do_shrink = true;
      }
    }
    if (do_shrink) {
      for (std::size_t k = 1; k < simplex.size(); ++k) {
        simplex[k].x = along(simplex[0].x, simplex[k].x, settings.shrink);
        simplex[k].cost = f(simplex[k].x);
      }
    }
    sort_simplex();
    ++result.iterations;
  }

  if (!std::isnan(simplex[0].cost)) {
    result.found = true;
    result.position = std::move(simplex[0].x);
    result.cost = simplex[0].cost;
  }
  return result;
}

FitResultOr nelder_mead_fit(const FitSettings& settings) {
  PsoProblem problem(settings);
  NelderMeadSettings nm;
  nm.max_iterations = settings.nelder_mead_iterations;
  const SearchResult best =
      nelder_mead_minimize([&](std::span<const double> x) { return problem.cost(x); },
                           nelder_mead_initial_simplex(problem.start_point()), nm);
  if (!best.found) return FitError::solver("nelder-mead found no best position");
  return problem.polish(problem.physical(best.position), best.iterations);
}

}  // namespace korvex
