#pragma once
// Self-adaptive differential evolution (jDE-style: each individual carries
// its own crossover rate CR and mutation factor F, re-drawn at random) in
// single precision, rand/1/bin.
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "fit/search_space.hpp"
#include "fit/xorshift_rng.hpp"

namespace korvex {

using Objective32 = std::function<float(std::span<const float>)>;

struct DeSettings {
  std::size_t population = 100;        // at least 3, so that r1, r2, r3 can be distinct
  float cr_min = 0.0f, cr_max = 1.0f;  // range CR is drawn from, [min, max)
  float f_min = 0.1f, f_max = 1.0f;    // range F is drawn from, [min, max)
  float cr_change_probability = 0.1f;  // chance a trial re-draws its CR
  float f_change_probability = 0.1f;   // chance a trial re-draws its F
};

// One population. The first generation of trials is the initial population
// itself; every later generation is made from the population as it stands
// when the previous generation has been evaluated. A trial takes its
// individual's place when the individual has no cost yet or costs at least
// as much (NaN on either side keeps the individual). Trials are not clamped.
class DePopulation {
 public:
  DePopulation(std::span<const float> lower, std::span<const float> upper, Xorshift128 rng,
               const DeSettings& settings = {});

  // Evaluates the next trial and settles it against its individual.
  void step(const Objective32& f);

  struct Best {
    std::span<const float> position;
    float cost;
  };
  // The individual of lowest cost; NaN costs never count. None before the
  // first comparable cost.
  std::optional<Best> best() const;

  std::uint64_t evaluations() const { return evaluations_; }

 private:
  struct Member {
    std::vector<float> position;
    float cr = 0.0f;
    float f = 0.0f;
    bool has_cost = false;
    float cost = 0.0f;
  };
  void make_trials();

  DeSettings settings_;
  Xorshift128 rng_;
  std::vector<Member> members_;
  std::vector<Member> trials_;
  std::size_t next_trial_ = 0;
  std::uint64_t evaluations_ = 0;
};

// The method's search: ten independent restarts of `evaluations` steps
// (at least one) in the start box, each population seeded afresh from one
// stream seeded from `seed`, or from the operating system's entropy. The best of each restart is
// re-evaluated in double precision (one counted evaluation) and the lowest such cost is kept, the
// earlier restart on ties. `position` of the result is in physical values; `iterations` is the
// summed step count of all restarts.
SearchResult differential_evolution_search(PsoProblem& problem, std::uint64_t evaluations,
                                           std::optional<std::uint64_t> seed = std::nullopt);

}  // namespace korvex
