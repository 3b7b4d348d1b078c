#pragma once
// Global-best particle swarm optimisation with an inertia weight, over a box.
#include <cstdint>

#include "common/chacha_rng.hpp"
#include "fit/search_space.hpp"

namespace korvex {

// The largest swarm particle_swarm_fit accepts: each particle holds three
// vectors of P doubles, so a swarm is refused before it could exhaust memory.
inline constexpr std::uint64_t kMaxParticles = 100000;

struct ParticleSwarmSettings {
  std::uint64_t particles = 200;
  std::uint64_t generations = 1000;       // iterations over the whole swarm; the only stop
  double inertia = 0.7213475204444817;    // 1 / (2 ln 2)
  double cognitive = 1.1931471805599454;  // 0.5 + ln 2, pull to the particle's best
  double social = 1.1931471805599454;     // 0.5 + ln 2, pull to the swarm's best
};

// Positions start uniform in the box, velocities uniform in +-(upper - lower).
// Each generation, each particle in turn: v = w v + c1 a + c2 b, where a[d]
// and b[d] are uniform between 0 and the distance to the particle's and the
// swarm's best; x = clamp(x + v) into the box (v itself is not clamped);
// evaluate; update the bests (strictly lower cost wins, NaN never does).
// `iterations` of the result is the number of generations.
SearchResult particle_swarm_minimize(const Objective& f, const SearchBox& box,
                                     const ParticleSwarmSettings& settings, ChaChaRng& rng);

}  // namespace korvex
