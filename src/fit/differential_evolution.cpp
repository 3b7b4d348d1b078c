#include "fit/differential_evolution.hpp"

#include <cmath>

#include "circuit/params.hpp"
#include "fit/global_methods.hpp"
#include "fit/search_space.hpp"

namespace korvex {
namespace {

constexpr int kRestarts = 10;

}  // namespace

DePopulation::DePopulation(std::span<const float> lower, std::span<const float> upper,
                           Xorshift128 rng, const DeSettings& settings)
    : settings_(settings), rng_(rng) {
  const std::size_t n = std::min(lower.size(), upper.size());
  members_.resize(settings_.population);
  for (Member& m : members_) {
    m.position.resize(n);
    for (std::size_t d = 0; d < n; ++d) m.position[d] = rng_.uniform(lower[d], upper[d]);
    m.cr = rng_.uniform(settings_.cr_min, settings_.cr_max);
    m.f = rng_.uniform(settings_.f_min, settings_.f_max);
  }
  trials_ = members_;
}

void DePopulation::make_trials() {
  const auto size = static_cast<std::uint32_t>(members_.size());
  for (std::size_t i = 0; i < members_.size(); ++i) {
    const Member& self = members_[i];
    Member& trial = trials_[i];
    trial.has_cost = false;
    trial.cr = rng_.next_unit() < settings_.cr_change_probability
                   ? rng_.uniform(settings_.cr_min, settings_.cr_max)
                   : self.cr;
    trial.f = rng_.next_unit() < settings_.f_change_probability
                  ? rng_.uniform(settings_.f_min, settings_.f_max)
                  : self.f;
    const std::size_t dims = self.position.size();
    trial.position = self.position;
    if (size < 3 || dims == 0) continue;
    // Three distinct donors; they may include i itself.
    const std::size_t r1 = rng_.below(size);
    std::size_t r2 = rng_.below(size);
    while (r2 == r1) r2 = rng_.below(size);
    std::size_t r3 = rng_.below(size);
    while (r3 == r1 || r3 == r2) r3 = rng_.below(size);
    const auto& a = members_[r1].position;
    const auto& b = members_[r2].position;
    const auto& c = members_[r3].position;
    const std::size_t forced = rng_.below(static_cast<std::uint32_t>(dims));
    for (std::size_t d = 0; d < dims; ++d) {
      if (d == forced || rng_.next_unit() < trial.cr) {
        trial.position[d] = a[d] + trial.f * (b[d] - c[d]);
      }
    }
  }
}

void DePopulation::step(const Objective32& f) {
  if (members_.empty()) return;
  if (next_trial_ == trials_.size()) {
    make_trials();
    next_trial_ = 0;
  }
  const std::size_t i = next_trial_++;
  Member& trial = trials_[i];
  trial.cost = f(trial.position);
  trial.has_cost = true;
  ++evaluations_;
  // Settling each trial as soon as it is known is the same as settling the
  // whole generation at its end, since the next generation's trials are made
  // only after the last one; it also leaves a usable best when the budget
  // ends inside a generation.
  Member& self = members_[i];
  if (!self.has_cost || self.cost >= trial.cost) self = trial;
}

std::optional<DePopulation::Best> DePopulation::best() const {
  const Member* best = nullptr;
  for (const Member& m : members_) {
    if (!m.has_cost || std::isnan(m.cost)) continue;
    if (best == nullptr || m.cost < best->cost) best = &m;
  }
  if (best == nullptr) return std::nullopt;
  return Best{best->position, best->cost};
}

SearchResult differential_evolution_search(PsoProblem& problem, std::uint64_t evaluations,
                                           std::optional<std::uint64_t> seed) {
  const SearchBox box = pso_search_box(problem.bounds(), problem.start_values());
  const std::vector<float> lower(box.lower.begin(), box.lower.end());
  const std::vector<float> upper(box.upper.begin(), box.upper.end());

  // The population compares costs in single precision; positions are widened
  // before the mapping to physical values and the sum stays in double.
  std::vector<double> wide;
  const Objective32 objective = [&](std::span<const float> x) {
    wide.assign(x.begin(), x.end());
    return static_cast<float>(problem.cost(wide));
  };

  // Restarts differ from each other: each population's generator is seeded
  // afresh from one stream, seeded from `seed` when given (so that a seeded
  // fit repeats) and from the operating system otherwise.
  ChaChaRng seeder = ChaChaRng::from_optional_seed(seed);
  const std::uint64_t steps = std::max<std::uint64_t>(1, evaluations);
  SearchResult kept;
  for (int restart = 0; restart < kRestarts; ++restart) {
    DePopulation population(lower, upper, Xorshift128::from_rng(seeder));
    for (std::uint64_t s = 0; s < steps; ++s) population.step(objective);
    if (const auto best = population.best()) {
      wide.assign(best->position.begin(), best->position.end());
      std::vector<double> params = problem.physical(wide);
      const double c = problem.physical_cost(params);
      // Ties keep the earlier restart.
      if (!kept.found || cost_improves(c, kept.cost)) {
        kept.found = true;
        kept.position = std::move(params);
        kept.cost = c;
      }
    }
    kept.iterations += population.evaluations();
  }
  return kept;
}

FitResultOr differential_evolution_fit(const FitSettings& settings) {
  PsoProblem problem(settings);
  auto checked = problem.population_box();
  if (auto* error = std::get_if<FitError>(&checked)) return *error;
  SearchResult best =
      differential_evolution_search(problem, settings.de_evaluations, settings.seed);
  if (!best.found) return FitError::solver("differential evolution found no best position");
  return problem.polish(std::move(best.position), best.iterations);
}

}  // namespace korvex
