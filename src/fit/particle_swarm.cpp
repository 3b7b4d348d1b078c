#include "fit/particle_swarm.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "circuit/params.hpp"
#include "fit/global_methods.hpp"

namespace korvex {
namespace {

struct Particle {
  std::vector<double> position;
  std::vector<double> velocity;
  std::vector<double> best_position;
  double best_cost;
};

}  // namespace

SearchResult particle_swarm_minimize(const Objective& f, const SearchBox& box,
                                     const ParticleSwarmSettings& settings, ChaChaRng& rng) {
  const std::size_t n = box.lower.size();
  SearchResult swarm;
  auto offer_to_swarm = [&](const std::vector<double>& x, double c) {
    if (cost_improves(c, swarm.cost)) {
      swarm.found = true;
      swarm.position = x;
      swarm.cost = c;
    }
  };

  std::vector<Particle> particles;
  // The count comes from the caller unchecked; reserve no more than a
  // realistic swarm and let a larger one grow as it is built.
  particles.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(settings.particles, 4096)));
  for (std::uint64_t i = 0; i < settings.particles; ++i) {
    Particle p;
    p.position.resize(n);
    p.velocity.resize(n);
    for (std::size_t d = 0; d < n; ++d) p.position[d] = rng.uniform(box.lower[d], box.upper[d]);
    for (std::size_t d = 0; d < n; ++d) {
      const double width = box.upper[d] - box.lower[d];
      p.velocity[d] = rng.uniform(-width, width);
    }
    p.best_cost = f(p.position);
    p.best_position = p.position;
    offer_to_swarm(p.position, p.best_cost);
    particles.push_back(std::move(p));
  }

  for (std::uint64_t g = 0; g < settings.generations; ++g) {
    for (Particle& p : particles) {
      for (std::size_t d = 0; d < n; ++d) {
        const double a = rng.uniform(0.0, p.best_position[d] - p.position[d]);
        // Until some particle has a comparable cost there is no swarm best to
        // be drawn towards.
        const double b = swarm.found ? rng.uniform(0.0, swarm.position[d] - p.position[d]) : 0.0;
        p.velocity[d] =
            settings.inertia * p.velocity[d] + settings.cognitive * a + settings.social * b;
        p.position[d] = std::clamp(p.position[d] + p.velocity[d], box.lower[d], box.upper[d]);
      }
      const double c = f(p.position);
      if (cost_improves(c, p.best_cost)) {
        p.best_cost = c;
        p.best_position = p.position;
      }
      offer_to_swarm(p.position, c);
    }
  }
  swarm.iterations = settings.generations;
  return swarm;
}

FitResultOr particle_swarm_fit(const FitSettings& settings) {
  if (settings.num_particles > kMaxParticles) {
    return FitError::solver("num_particles must be at most " + std::to_string(kMaxParticles) +
                            ", got " + std::to_string(settings.num_particles));
  }
  PsoProblem problem(settings);
  auto checked = problem.population_box();
  if (auto* error = std::get_if<FitError>(&checked)) return *error;
  const SearchBox& box = std::get<SearchBox>(checked);
  ChaChaRng rng = ChaChaRng::from_optional_seed(settings.seed);
  ParticleSwarmSettings pso;
  pso.particles = settings.num_particles;
  pso.generations = settings.generations;
  const SearchResult best = particle_swarm_minimize(
      [&](std::span<const double> x) { return problem.cost(x); }, box, pso, rng);
  if (!best.found) return FitError::solver("particle swarm found no best position");
  return problem.polish(problem.physical(best.position), best.iterations);
}

}  // namespace korvex
