#include "fit/simulated_annealing.hpp"

#include <cmath>

#include "fit/global_methods.hpp"

namespace korvex {

std::vector<double> SaProblem::anneal(std::span<const double> x, double t) {
  std::vector<double> out(x.begin(), x.end());
  // t * (2u - 1) with u in [0, 1): the bracket is exact, and unlike a width
  // of 2t the product cannot overflow for any finite t.
  for (double& v : out) v += t * (2.0 * neighbour.next_unit() - 1.0);
  return out;
}

std::optional<std::string> check_initial_temperature(double t0) {
  if (std::isnan(t0) || std::isinf(t0)) {
    return "`SimulatedAnnealing`: Initial temperature must be finite.";
  }
  if (t0 <= 0.0) return "`SimulatedAnnealing`: Initial temperature must be > 0.";
  return std::nullopt;
}

SearchResult simulated_annealing_minimize(SaProblem& problem, std::span<const double> x0, double t0,
                                          std::uint64_t iterations, ChaChaRng& acceptance) {
  SearchResult result;
  std::vector<double> current(x0.begin(), x0.end());
  double current_cost = problem.cost(current);
  // The best point is taken from the accepted ones: a candidate that beats
  // the best also beats the current point, so it is always accepted.
  auto consider_best = [&] {
    if (cost_improves(current_cost, result.cost)) {
      result.found = true;
      result.position = current;
      result.cost = current_cost;
    }
  };
  consider_best();
  for (std::uint64_t k = 1; k <= iterations; ++k) {
    const double t = t0 / static_cast<double>(k);
    std::vector<double> candidate = problem.anneal(current, t);
    const double candidate_cost = problem.cost(candidate);
    const double q = acceptance.next_unit();
    // A NaN candidate fails both tests. A number replaces a NaN current
    // cost, so that a start point whose cost cannot be computed does not
    // hold the walk there for good.
    const bool accept = cost_improves(candidate_cost, current_cost) ||
                        1.0 / (1.0 + std::exp((candidate_cost - current_cost) / t)) > q;
    if (accept) {
      current = std::move(candidate);
      current_cost = candidate_cost;
      consider_best();
    }
  }
  result.iterations = iterations;
  return result;
}

FitResultOr simulated_annealing_fit(const FitSettings& settings) {
  if (auto reason = check_initial_temperature(settings.sa_initial_temperature)) {
    return FitError::solver(*reason);
  }
  PsoProblem fit_problem(settings);
  // Two streams, s and s + 1 (mod 2^64), so that the moves and the
  // acceptance draws never share numbers.
  const auto seed = settings.seed;
  SaProblem problem{[&](std::span<const double> x) { return fit_problem.cost(x); },
                    ChaChaRng::from_optional_seed(seed)};
  ChaChaRng acceptance = seed ? ChaChaRng::from_seed(*seed + 1) : ChaChaRng::from_entropy();
  const SearchResult best = simulated_annealing_minimize(problem, fit_problem.start_point(),
                                                         settings.sa_initial_temperature,
                                                         settings.sa_iterations, acceptance);
  if (!best.found) return FitError::solver("simulated annealing found no best position");
  return fit_problem.polish(fit_problem.physical(best.position), best.iterations);
}

}  // namespace korvex
