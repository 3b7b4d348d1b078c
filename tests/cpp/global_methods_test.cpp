#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "fit/differential_evolution.hpp"
#include "fit/driver.hpp"
#include "fit/global_methods.hpp"
#include "fit/levenberg_marquardt.hpp"
#include "fit/nelder_mead.hpp"
#include "fit/particle_swarm.hpp"
#include "fit/search_space.hpp"
#include "fit/simulated_annealing.hpp"

namespace korvex {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

double sphere(std::span<const double> x, double centre) {
  double s = 0.0;
  for (double v : x) s += (v - centre) * (v - centre);
  return s;
}

double rosenbrock(std::span<const double> x) {
  return 100.0 * std::pow(x[1] - x[0] * x[0], 2) + std::pow(1.0 - x[0], 2);
}

// ---------------------------------------------------------------- the box --

TEST(SearchBox, OpenAndBoundedParameters) {
  const std::vector<Bounds> bounds = {{1e-12, kInf}, {0.0, 1.0}, {1e-12, kInf}, {1e-12, kInf}};
  const std::vector<double> start = {100.0, 0.37, 0.0, kNaN};
  const SearchBox box = pso_search_box(bounds, start);
  ASSERT_EQ(box.lower.size(), 4u);
  EXPECT_NEAR(box.lower[0], -2.0, 1e-9);
  EXPECT_NEAR(box.upper[0], 6.0, 1e-9);
  EXPECT_EQ(box.lower[1], 0.0);
  EXPECT_EQ(box.upper[1], 1.0);
  // Zero and NaN start values count as 1e-6.
  for (std::size_t j : {2u, 3u}) {
    EXPECT_DOUBLE_EQ(box.lower[j], std::log10(1e-10 - 1e-12));
    EXPECT_DOUBLE_EQ(box.upper[j], std::log10(0.01 - 1e-12));
  }
  EXPECT_FALSE(check_search_box(box, {}).has_value());
}

// ----------------------------------------------------------- Nelder-Mead --

TEST(NelderMead, InitialSimplexStepsUpwards) {
  const auto simplex = nelder_mead_initial_simplex(std::vector<double>{0.0, 5.0, -5.0, 1e-9});
  ASSERT_EQ(simplex.size(), 5u);
  EXPECT_EQ(simplex[0], (std::vector<double>{0.0, 5.0, -5.0, 1e-9}));
  EXPECT_EQ(simplex[1][0], 0.1);
  EXPECT_EQ(simplex[2][1], 5.5);
  EXPECT_EQ(simplex[3][2], -4.5);
  EXPECT_DOUBLE_EQ(simplex[4][3], 0.1 + 1e-9);
  EXPECT_EQ(simplex[1][1], 5.0);  // one coordinate per vertex
}

TEST(NelderMead, MinimisesRosenbrock) {
  NelderMeadSettings s;
  s.max_iterations = 5000;
  const auto r = nelder_mead_minimize(
      rosenbrock, nelder_mead_initial_simplex(std::vector<double>{-1.2, 1.0}), s);
  ASSERT_TRUE(r.found);
  EXPECT_NEAR(r.position[0], 1.0, 1e-4);
  EXPECT_NEAR(r.position[1], 1.0, 1e-4);
  EXPECT_LT(r.cost, 1e-8);
  EXPECT_LT(r.iterations, s.max_iterations);  // stopped on the spread of the costs
}

TEST(NelderMead, ZeroIterationsKeepsBestInitialVertex) {
  int calls = 0;
  auto f = [&](std::span<const double> x) {
    ++calls;
    return sphere(x, 1.0);
  };
  NelderMeadSettings s;
  s.max_iterations = 0;
  const auto r =
      nelder_mead_minimize(f, nelder_mead_initial_simplex(std::vector<double>{0.0, 0.5}), s);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(r.iterations, 0u);
  EXPECT_EQ(r.position, (std::vector<double>{0.1, 0.5}));
}

TEST(NelderMead, NanCostsRankLast) {
  // Undefined left of 0.5: the simplex must walk away from that region
  // instead of stalling on it, and an all-NaN problem has no best vertex.
  // (Asymmetric about its minimum at 2, so that no two vertices tie.)
  auto f = [](std::span<const double> x) {
    return x[0] < 0.5 ? kNaN : std::exp(x[0] - 2.0) - x[0];
  };
  NelderMeadSettings s;
  const auto r = nelder_mead_minimize(f, {{0.4}, {0.6}}, s);
  ASSERT_TRUE(r.found);
  EXPECT_NEAR(r.position[0], 2.0, 1e-6);

  const auto none =
      nelder_mead_minimize([](std::span<const double>) { return kNaN; }, {{0.0}, {1.0}}, s);
  EXPECT_FALSE(none.found);
  EXPECT_EQ(none.iterations, s.max_iterations);
}

// --------------------------------------------------- simulated annealing --

TEST(SimulatedAnnealing, DrawsOnePerCoordinateAndOneAcceptancePerStep) {
  SaProblem problem{[](std::span<const double> x) { return sphere(x, 0.0); },
                    ChaChaRng::from_seed(1)};
  ChaChaRng acceptance = ChaChaRng::from_seed(2);
  simulated_annealing_minimize(problem, std::vector<double>{1.0, 1.0, 1.0}, 1.0, 10, acceptance);
  ChaChaRng neighbour_ref = ChaChaRng::from_seed(1), acceptance_ref = ChaChaRng::from_seed(2);
  for (int i = 0; i < 30; ++i) neighbour_ref.next_u64();
  for (int i = 0; i < 10; ++i) acceptance_ref.next_u64();
  EXPECT_EQ(problem.neighbour.next_u64(), neighbour_ref.next_u64());
  EXPECT_EQ(acceptance.next_u64(), acceptance_ref.next_u64());
}

TEST(SimulatedAnnealing, NanCandidatesAreNeverAccepted) {
  int calls = 0;
  SaProblem problem{[&](std::span<const double>) { return calls++ == 0 ? 1.0 : kNaN; },
                    ChaChaRng::from_seed(1)};
  ChaChaRng acceptance = ChaChaRng::from_seed(2);
  const auto r =
      simulated_annealing_minimize(problem, std::vector<double>{4.0}, 1e6, 50, acceptance);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.position, std::vector<double>{4.0});
  EXPECT_EQ(r.cost, 1.0);

  // From a start whose cost is NaN the first number moves the walk on.
  calls = 0;
  auto nan_start = [&](std::span<const double> x) { return calls++ == 0 ? kNaN : x[0] * x[0]; };
  SaProblem from_nan{nan_start, ChaChaRng::from_seed(3)};
  const auto moved =
      simulated_annealing_minimize(from_nan, std::vector<double>{4.0}, 1.0, 5, acceptance);
  ASSERT_TRUE(moved.found);
  EXPECT_NE(moved.position, std::vector<double>{4.0});
}

// -------------------------------------------------------- particle swarm --

TEST(ParticleSwarm, StaysInBoxAndConverges) {
  const SearchBox box{{-5.0, 0.0, 2.0}, {5.0, 1.0, 2.0}};  // a zero-width coordinate too
  bool outside = false;
  std::uint64_t calls = 0;
  auto f = [&](std::span<const double> x) {
    ++calls;
    for (std::size_t d = 0; d < x.size(); ++d) {
      outside |= x[d] < box.lower[d] || x[d] > box.upper[d];
    }
    return sphere(x.first(2), 0.25);
  };
  ParticleSwarmSettings s;
  s.particles = 30;
  s.generations = 200;
  ChaChaRng rng = ChaChaRng::from_seed(9);
  const auto r = particle_swarm_minimize(f, box, s, rng);
  EXPECT_FALSE(outside);
  EXPECT_EQ(calls, 30u * 201u);
  EXPECT_EQ(r.iterations, 200u);
  ASSERT_TRUE(r.found);
  EXPECT_NEAR(r.position[0], 0.25, 1e-6);
  EXPECT_NEAR(r.position[1], 0.25, 1e-6);
  EXPECT_EQ(r.position[2], 2.0);
}

TEST(ParticleSwarm, NoParticlesOrNoComparableCostFindsNothing) {
  const SearchBox box{{0.0}, {1.0}};
  ParticleSwarmSettings s;
  ChaChaRng rng = ChaChaRng::from_seed(1);
  s.particles = 0;
  EXPECT_FALSE(particle_swarm_minimize(rosenbrock, box, s, rng).found);
  s.particles = 5;
  s.generations = 3;
  EXPECT_FALSE(
      particle_swarm_minimize([](std::span<const double>) { return kNaN; }, box, s, rng).found);
  // Zero generations: the best of the initial swarm.
  s.generations = 0;
  const auto r =
      particle_swarm_minimize([](std::span<const double> x) { return x[0]; }, box, s, rng);
  ASSERT_TRUE(r.found);
  EXPECT_EQ(r.iterations, 0u);
}

// -------------------------------------------------- differential evolution --

float sphere32(std::span<const float> x) {
  float s = 0.0f;
  for (float v : x) s += (v - 0.5f) * (v - 0.5f);
  return s;
}

TEST(DifferentialEvolution, ConvergesAndCountsSteps) {
  const std::vector<float> lower = {-4.0f, -4.0f, -4.0f}, upper = {4.0f, 4.0f, 4.0f};
  DePopulation pop(lower, upper, Xorshift128({1, 2, 3, 4}));
  EXPECT_FALSE(pop.best().has_value());
  pop.step(sphere32);
  ASSERT_TRUE(pop.best().has_value());  // one evaluation is enough for a best
  for (int i = 1; i < 20000; ++i) pop.step(sphere32);
  EXPECT_EQ(pop.evaluations(), 20000u);
  const auto best = pop.best();
  ASSERT_TRUE(best.has_value());
  for (float v : best->position) EXPECT_NEAR(v, 0.5f, 1e-3f);
}

TEST(DifferentialEvolution, TiesGoToTheTrialAndNanKeepsTheIndividual) {
  const std::vector<float> lower = {0.0f, 0.0f}, upper = {1.0f, 1.0f};
  // Constant cost: every trial replaces its individual, so the population
  // keeps moving and the first individual's position changes.
  DePopulation flat(lower, upper, Xorshift128({5, 6, 7, 8}));
  auto constant = [](std::span<const float>) { return 1.0f; };
  for (int i = 0; i < 100; ++i) flat.step(constant);
  const std::vector<float> before(flat.best()->position.begin(), flat.best()->position.end());
  for (int i = 0; i < 300; ++i) flat.step(constant);
  const std::vector<float> after(flat.best()->position.begin(), flat.best()->position.end());
  EXPECT_NE(before, after);

  // NaN trials never replace a costed individual, NaN individuals never count
  // as the best, and a population of NaNs has none.
  DePopulation nan_pop(lower, upper, Xorshift128({5, 6, 7, 8}));
  int calls = 0;
  auto mostly_nan = [&](std::span<const float>) {
    return calls++ == 3 ? 2.0f : std::numeric_limits<float>::quiet_NaN();
  };
  for (int i = 0; i < 500; ++i) nan_pop.step(mostly_nan);
  ASSERT_TRUE(nan_pop.best().has_value());
  EXPECT_EQ(nan_pop.best()->cost, 2.0f);
  DePopulation all_nan(lower, upper, Xorshift128({5, 6, 7, 8}));
  for (int i = 0; i < 150; ++i) {
    all_nan.step([](std::span<const float>) { return std::numeric_limits<float>::quiet_NaN(); });
  }
  EXPECT_FALSE(all_nan.best().has_value());
}

// ---------------------------------------------------- the fit methods ----

// "R0-(R1,C1)" at (10, 100, 1e-5), exact, 20 points from 1 Hz to 100 kHz.
struct Synthetic {
  FitSettings settings;
  std::vector<double> truth = {10.0, 100.0, 1e-5};

  explicit Synthetic(const std::string& method, std::vector<double> start = {20.0, 50.0, 3e-5}) {
    const SeriesList shape = std::get<SeriesList>(parse("R0-(R1,C1)"));
    const SeriesList exact = rebuild(shape, truth);
    for (int i = 0; i < 20; ++i) settings.frequencies.push_back(std::pow(10.0, 5.0 * i / 19.0));
    settings.impedances.resize(20);
    impedance_spectrum(exact, settings.frequencies, settings.impedances);
    settings.circuit = rebuild(shape, start);
    settings.method = method;
    settings.seed = 17;
  }
};

FitOutcome outcome_of(const FitResultOr& r) {
  if (const auto* e = std::get_if<FitError>(&r)) ADD_FAILURE() << e->message();
  return std::get<FitOutcome>(r);
}

std::string error_of(const FitResultOr& r) {
  if (const auto* e = std::get_if<FitError>(&r)) return e->message();
  return "no error";
}

using Method = FitResultOr (*)(const FitSettings&);
struct NamedMethod {
  const char* name;
  Method fit;
};
const NamedMethod kMethods[] = {
    {"basin_hopping", basin_hopping_fit},
    {"nelder_mead", nelder_mead_fit},
    {"simulated_annealing", simulated_annealing_fit},
    {"particle_swarm", particle_swarm_fit},
    {"differential_evolution", differential_evolution_fit},
};

// Budgets small enough for a unit test.
void small_budgets(FitSettings& s) {
  s.basin_hopping_hops = 3;
  s.nelder_mead_iterations = 300;
  s.sa_iterations = 300;
  s.num_particles = 20;
  s.generations = 20;
  s.de_evaluations = 300;
}

class EveryMethod : public ::testing::TestWithParam<NamedMethod> {};

TEST_P(EveryMethod, FindsTheExactFit) {
  Synthetic data(GetParam().name);
  small_budgets(data.settings);
  const FitOutcome& out = outcome_of(GetParam().fit(data.settings));
  ASSERT_EQ(out.params.size(), 3u);
  for (std::size_t j = 0; j < 3; ++j) EXPECT_NEAR(out.params[j] / data.truth[j], 1.0, 1e-6);
  EXPECT_LT(out.cost, 1e-12);
  EXPECT_EQ(out.chi_square, 2.0 * out.cost);
}

// The data guards live in the driver, in front of every method.
TEST_P(EveryMethod, GuardsComeFirst) {
  Synthetic data(GetParam().name);
  data.settings.method = GetParam().name;
  data.settings.impedances.pop_back();
  EXPECT_EQ(error_of(run_fit(data.settings)),
            "frequencies and impedances must have the same length");
  data.settings.frequencies.clear();
  data.settings.impedances.clear();
  // Guards run before any check of the method's own settings.
  data.settings.basin_hopping_step_size = -1.0;
  data.settings.sa_initial_temperature = 0.0;
  EXPECT_EQ(error_of(run_fit(data.settings)), "frequencies and impedances must not be empty");
}

INSTANTIATE_TEST_SUITE_P(GlobalMethods, EveryMethod, ::testing::ValuesIn(kMethods),
                         [](const auto& info) { return std::string(info.param.name); });

// Noisy data, so that different random streams end in (slightly) different
// places: the seeded methods must repeat exactly.
FitSettings noisy(const char* method) {
  Synthetic data(method);
  ChaChaRng noise = ChaChaRng::from_seed(99);
  for (auto& z : data.settings.impedances) {
    z.re *= 1.0 + 0.01 * noise.uniform(-1.0, 1.0);
    z.im *= 1.0 + 0.01 * noise.uniform(-1.0, 1.0);
  }
  small_budgets(data.settings);
  data.settings.basin_hopping_step_size = 0.5;
  return data.settings;
}

TEST(SeededMethods, RepeatRunToRun) {
  for (const NamedMethod m : {kMethods[0], kMethods[2], kMethods[3]}) {
    const FitSettings s = noisy(m.name);
    const FitOutcome a = outcome_of(m.fit(s)), b = outcome_of(m.fit(s));
    EXPECT_EQ(a.params, b.params) << m.name;
    EXPECT_EQ(a.iterations, b.iterations) << m.name;
    EXPECT_EQ(a.impedance_evals, b.impedance_evals) << m.name;
  }
}

TEST(SearchFits, ZeroBudgetsPolishTheStart) {
  // From the exact values the start point is the best one evaluated; the
  // polish starts there and wins the tie. The evaluations are the search's
  // own (P + 1 simplex vertices, or the annealing's start point), the global
  // summary's (1 + 2P) and the local fit's.
  using Case = std::pair<Method, std::uint64_t>;
  for (const auto& [fit, search_evals] :
       {Case{nelder_mead_fit, 4}, Case{simulated_annealing_fit, 1}}) {
    Synthetic data("", {10.0, 100.0, 1e-5});
    data.settings.nelder_mead_iterations = 0;
    data.settings.sa_iterations = 0;
    const FitOutcome out = outcome_of(fit(data.settings));
    PsoProblem problem(data.settings);
    const FitOutcome local = outcome_of(levenberg_marquardt_fit(
        rebuild(data.settings.circuit, problem.physical(problem.start_point())),
        data.settings.frequencies, data.settings.impedances, data.settings.weighting, {}));
    EXPECT_EQ(out.impedance_evals, search_evals + 7u + local.impedance_evals);
    EXPECT_EQ(out.iterations, local.iterations);
  }
}

TEST(SimulatedAnnealingFit, UnusableTemperaturesAreSolverErrors) {
  Synthetic data("simulated_annealing");
  data.settings.sa_initial_temperature = 0.0;
  EXPECT_EQ(error_of(simulated_annealing_fit(data.settings)),
            "solver error: `SimulatedAnnealing`: Initial temperature must be > 0.");
  for (double bad : {kNaN, kInf, -1.0}) {
    data.settings.sa_initial_temperature = bad;
    EXPECT_EQ(error_of(simulated_annealing_fit(data.settings)).rfind("solver error: ", 0), 0u)
        << bad;
  }
}

TEST(DifferentialEvolutionFit, CountsEveryRestart) {
  for (std::uint64_t budget : {0u, 1u, 37u}) {
    Synthetic data("differential_evolution");
    PsoProblem problem(data.settings);
    const SearchResult r = differential_evolution_search(problem, budget);
    const std::uint64_t steps = budget == 0 ? 1 : budget;
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.iterations, 10 * steps);
    // Plus one double-precision re-evaluation per restart.
    EXPECT_EQ(problem.counter().value(), 10 * steps + 10);
  }
}

TEST(PopulationFits, InfiniteStartValueIsRefused) {
  for (Method m : {particle_swarm_fit, differential_evolution_fit}) {
    Synthetic data("particle_swarm", {10.0, DBL_MAX, 1e-5});
    const std::string e = error_of(m(data.settings));
    EXPECT_EQ(e.rfind("solver error: cannot search around the start value of R1.r", 0), 0u) << e;
  }
}

// -------------------------------------------------------- basin hopping --

TEST(BasinHopping, ZeroHopsIsTheInitialFit) {
  Synthetic data("basin_hopping");
  data.settings.basin_hopping_hops = 0;
  const FitOutcome out = outcome_of(basin_hopping_fit(data.settings));
  const FitOutcome first =
      outcome_of(levenberg_marquardt_fit(data.settings.circuit, data.settings.frequencies,
                                         data.settings.impedances, data.settings.weighting, {}));
  EXPECT_EQ(out.params, first.params);
  EXPECT_EQ(out.iterations, first.iterations);
  EXPECT_EQ(out.impedance_evals, 7u);  // only the final summary: 1 + 2P
  EXPECT_TRUE(out.success);
}

TEST(BasinHopping, StepSizeMustBeSampleable) {
  Synthetic data("basin_hopping");
  for (double bad : {-1.0, -DBL_TRUE_MIN, kNaN, kInf, DBL_MAX, DBL_MAX / 1.5}) {
    data.settings.basin_hopping_step_size = bad;
    for (std::uint64_t hops : {0u, 2u}) {
      data.settings.basin_hopping_hops = hops;
      const std::string e = error_of(basin_hopping_fit(data.settings));
      EXPECT_EQ(e.rfind("solver error: basin_hopping_step_size", 0), 0u) << bad << ": " << e;
    }
  }
  data.settings.basin_hopping_hops = 1;
  for (double good : {0.0, -0.0, DBL_MAX / 2.0}) {
    data.settings.basin_hopping_step_size = good;
    EXPECT_TRUE(std::holds_alternative<FitOutcome>(basin_hopping_fit(data.settings))) << good;
  }
}

TEST(BasinHopping, TemperatureExtremesAndZeroStep) {
  // The final cost is the best seen, whatever the temperature: the hops can
  // only improve on the initial fit.
  const FitSettings base = noisy("basin_hopping");
  const FitOutcome first = outcome_of(
      levenberg_marquardt_fit(base.circuit, base.frequencies, base.impedances, base.weighting, {}));
  for (double t : {0.0, 1e300}) {
    for (double step : {0.0, 0.5}) {
      FitSettings s = base;
      s.basin_hopping_temperature = t;
      s.basin_hopping_step_size = step;
      const FitOutcome out = outcome_of(basin_hopping_fit(s));
      EXPECT_LE(out.cost, first.cost) << t << " " << step;
      EXPECT_TRUE(out.success);
      EXPECT_GE(out.iterations, first.iterations);
    }
  }
  // A negative or NaN temperature would invert or void the Metropolis test.
  for (double t : {-1.0, kNaN}) {
    FitSettings s = base;
    s.basin_hopping_temperature = t;
    EXPECT_EQ(error_of(basin_hopping_fit(s)).rfind("solver error: basin_hopping_temperature", 0),
              0u);
  }
}

}  // namespace
}  // namespace korvex
