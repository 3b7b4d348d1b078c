#pragma once
// How identify brings every candidate to its best fit without a full search
// of each: a screen (one analytic-Jacobian run from each plausible start),
// larger nested candidates started from smaller ones' fits, the robust
// search only for the candidates that decide the ranking, and a polish of
// each on every point.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/identify.hpp"
#include "circuit/node.hpp"
#include "fit/outcome.hpp"

namespace korvex::analysis {

// Spectra longer than this are screened and searched on a log-spaced subset
// of this many points; every candidate is polished on all of them.
inline constexpr std::size_t kScreenPoints = 120;
// The robust search runs on the candidates whose screen lies within this
// many criterion units of the best screen, at most kSearchedCandidates of
// them: the ones that decide the ranking.
inline constexpr double kSearchMargin = 20.0;
inline constexpr std::size_t kSearchedCandidates = 3;
// The screen's runs (and the polish of the candidates that do not lead)
// stop after this many Levenberg-Marquardt iterations' budget: from a
// plausible start they converge well within it, and a start that runs away
// is cut short instead of spending the full budget.
inline constexpr std::uint64_t kScreenIterations = 50;
// The polish on every point of a long spectrum, for a candidate that does
// not lead, starts next to its optimum (the subset's) and only follows it:
// a short budget keeps a parameter creeping towards its bound from costing
// thousands of evaluations of every point.
inline constexpr std::uint64_t kLongPolishIterations = 10;
// A candidate whose chi-square is within this factor of another fit's (a
// larger candidate's, or the lowest of all) skips the starts taken from that
// fit: they could lower its criterion by n ln(ratio) at most.
inline constexpr double kSettledRatio = 1.05;

struct CandidateFit {
  std::optional<FitOutcome> fit;  // on every point; none when it failed (see `error`)
  std::string error;
  bool guessed = false;  // started from the trained model's guess among others
};

// One fit per circuit, in the given order. A leader started from its
// trained guess whose rms relative residual is at most `good_fit` (the noise
// it may leave) skips the search. Leaders (the searched candidates)
// end with the exact engine's polish on every point (the fast engine's on a
// spectrum longer than kScreenPoints); the others keep the screen's fit when
// it converged on every point.
std::vector<CandidateFit> fit_candidates(const std::vector<SeriesList>& circuits,
                                         std::span<const double> frequencies,
                                         std::span<const Complex> impedances, Criterion criterion,
                                         double good_fit);

// n ln(chi2 / n) plus the criterion's penalty for `n_params`, n = n_residuals.
double criterion_value(double chi_square, std::size_t n_residuals, std::size_t n_params,
                       Criterion criterion);

}  // namespace korvex::analysis
