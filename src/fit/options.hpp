#pragma once
// Every option of a fit, with its default, in one struct, and the table that
// names them for the front ends (the keywords of Circuit.fit, fit_many,
// fit_shared and the command line). A new option is one member here, one
// table entry in options.cpp, and its use in the algorithm.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "fit/residuals.hpp"
#include "starts/start_options.hpp"

namespace korvex {

struct FitOptions : StartOptions {
  std::string method = "levenberg_marquardt";  // the minimiser, by name (driver.cpp)
  Weighting weighting = Weighting::Modulus;    // residual weights: 1/|Z| or 1
  std::uint64_t max_iterations = 200;  // Levenberg-Marquardt: budget (P + 1) * this evaluations
  double ftol = 1e-8;                  // stop when the cost falls less than this (relative)
  double xtol = 1e-8;                  // stop when the step is below this (relative)
  std::uint64_t num_particles = 200;   // particle swarm: swarm size
  std::uint64_t generations = 1000;    // particle swarm: iterations
  std::uint64_t nelder_mead_iterations = 2000;  // Nelder-Mead: simplex iterations
  std::uint64_t de_evaluations = 20000;         // differential evolution: cost evaluations
  std::uint64_t sa_iterations = 5000;           // simulated annealing: iterations
  double sa_initial_temperature = 2.0;          // simulated annealing: starting temperature
  std::uint64_t basin_hopping_hops = 20;        // basin hopping: perturb-and-minimise rounds
  double basin_hopping_step_size = 1.0;         // basin hopping: perturbation, log10 units
  double basin_hopping_temperature = 1.0;       // basin hopping: Metropolis temperature
  std::optional<std::uint64_t> seed;            // seeded methods: unset draws from entropy
  bool single_candidate = false;  // "levenberg_marquardt": one run from the values, not nine
  bool fast_engine = false;       // Levenberg-Marquardt with the analytic Jacobian and stall rule

  // The first problem of these options in words, or nothing.
  std::optional<std::string> validate() const;
  // Whether `method` is the local minimiser, the one that runs several starts.
  bool local_method() const { return method == "levenberg_marquardt"; }
};

// The most starts= a caller may ask for, refused above it by validate()
// before any work: each start holds a parameter vector (particle_swarm.hpp
// bounds the swarm the same way).
inline constexpr std::uint64_t kMaxStarts = 10000;

// Relative cost decrease over five iterations below which the fast engine
// stops.
inline constexpr double kFastStallTolerance = 1e-5;

// How a front end reads an option's value; the kind fixes the member's type.
enum class OptionKind {
  Text,       // std::string
  Weighting,  // "modulus" or "unit"
  Count32,    // std::uint64_t up to 2^32 - 1
  Count64,    // std::uint64_t
  Tolerance,  // double, not negative, not NaN
  Real,       // double
  Seed,       // std::optional<std::uint64_t>
  Switch,     // std::optional<bool>
  Path,       // std::optional<std::string>
  Starts,     // std::optional<StartCount>: a positive count or "auto"
  Constants,  // NamedValues
  Bounds,     // NamedBounds
};

using OptionMember =
    std::variant<std::string FitOptions::*, Weighting FitOptions::*, std::uint64_t FitOptions::*,
                 double FitOptions::*, std::optional<std::uint64_t> FitOptions::*,
                 std::optional<bool> FitOptions::*, std::optional<std::string> FitOptions::*,
                 std::optional<StartCount> FitOptions::*, NamedValues FitOptions::*,
                 NamedBounds FitOptions::*>;

struct OptionField {
  const char* name;  // the keyword
  OptionKind kind;
  OptionMember member;
  bool keyword_only;  // after the `*` of Circuit.fit's signature
  const char* doc;    // one line
};

// Every keyword option, in the order of Circuit.fit's signature.
std::span<const OptionField> fit_option_table();
// The entry named `name`, or null.
const OptionField* find_fit_option(std::string_view name);
// The option name closest to a misspelt `name` (as Python's "did you mean"),
// or nothing when none is close.
std::optional<std::string> closest_fit_option(std::string_view name);

}  // namespace korvex
