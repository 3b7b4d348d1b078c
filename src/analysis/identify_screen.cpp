#include "analysis/identify_screen.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numeric>

#include "analysis/identify_starts.hpp"
#include "circuit/params.hpp"
#include "common/cancel.hpp"
#include "common/log_spaced.hpp"
#include "common/pool.hpp"
#include "fit/driver.hpp"
#include "models/circuit_guess.hpp"

namespace korvex::analysis {
namespace {

struct Spectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

Spectrum subset_of(std::span<const double> frequencies, std::span<const Complex> impedances,
                   std::size_t count) {
  Spectrum s;
  for (std::size_t i : log_spaced_points(frequencies, count)) {
    s.frequencies.push_back(frequencies[i]);
    s.impedances.push_back(impedances[i]);
  }
  return s;
}

// One candidate through the stages, with its best fit so far on the
// screening spectrum.
struct Candidate {
  SeriesList circuit;
  std::optional<FitOutcome> best;
  bool guessed = false;
  bool leader = false;
};

FitSettings settings_for(const SeriesList& circuit, std::span<const double> values,
                         std::span<const double> frequencies, std::span<const Complex> impedances) {
  FitSettings settings;
  settings.circuit = rebuild(circuit, values);
  settings.frequencies.assign(frequencies.begin(), frequencies.end());
  settings.impedances.assign(impedances.begin(), impedances.end());
  return settings;
}

// A fit whose failure (an error, or an exception other than cancellation)
// only means that this start gives nothing.
std::optional<FitOutcome> try_fit(const FitSettings& settings) {
  try {
    FitResultOr result = run_fit(settings);
    auto* outcome = std::get_if<FitOutcome>(&result);
    if (!outcome || !std::isfinite(outcome->chi_square)) return std::nullopt;
    return std::move(*outcome);
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

void offer(Candidate& c, std::optional<FitOutcome> fit) {
  if (fit && (!c.best || fit->chi_square < c.best->chi_square)) c.best = std::move(fit);
}

// One run of the fast engine (analytic Jacobian, stall rule) from `values`
// alone, on the screening spectrum.
std::optional<FitOutcome> fast_fit(const SeriesList& circuit, std::span<const double> values,
                                   const Spectrum& s) {
  FitSettings settings = settings_for(circuit, values, s.frequencies, s.impedances);
  settings.single_candidate = true;
  settings.fast_engine = true;
  settings.max_iterations = kScreenIterations;
  return try_fit(settings);
}

// Whether a candidate's fit is already as good as `chi_square` (another
// fit's), give or take kSettledRatio: nothing to gain by moving it there.
bool settled(const Candidate& c, double chi_square) {
  return c.best && c.best->chi_square <= kSettledRatio * chi_square;
}

// A start of one candidate: the screen's unit of work.
struct Start {
  std::size_t candidate;
  std::vector<double> values;
};

// One fast run from each start, all of them on the pool; each candidate
// keeps its best.
void run_starts(const std::vector<Start>& starts, std::vector<Candidate>& candidates,
                const Spectrum& s) {
  std::vector<std::optional<FitOutcome>> fits(starts.size());
  parallel_for(starts.size(), 1, [&](std::size_t k) {
    fits[k] = fast_fit(candidates[starts[k].candidate].circuit, starts[k].values, s);
  });
  for (std::size_t k = 0; k < starts.size(); ++k) {
    offer(candidates[starts[k].candidate], std::move(fits[k]));
  }
}

// Every candidate from its trained guess (when it has a model) and from the
// estimate in each order of its arc slots.
void screen(std::vector<Candidate>& candidates, std::span<const double> frequencies,
            std::span<const Complex> impedances, const Spectrum& s) {
  std::vector<Start> starts;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    Candidate& c = candidates[i];
    const std::size_t before = starts.size();
    auto guess = models::guess_params(c.circuit, frequencies, impedances, std::nullopt);
    if (auto* values = std::get_if<std::vector<double>>(&guess)) {
      c.guessed = true;
      starts.push_back({i, std::move(*values)});
    }
    for (auto& values : slot_order_starts(c.circuit, s.frequencies, s.impedances)) {
      starts.push_back({i, std::move(values)});
    }
    if (starts.size() == before) starts.push_back({i, param_values(c.circuit)});
  }
  run_starts(starts, candidates, s);
}

// A candidate that holds every node of a smaller one fits at least as well:
// each such pair starts the larger from the smaller's best values, with its
// extra nodes placed on what the smaller leaves unexplained. Candidates go by
// parameter count, so a chain (one arc, two, three) passes its fits along.
void share_nested(std::vector<Candidate>& candidates, const Spectrum& s) {
  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), 0);
  const auto count = [&](std::size_t i) { return param_count(candidates[i].circuit); };
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return count(a) < count(b); });
  for (std::size_t first = 0; first < order.size();) {
    std::size_t last = first;
    while (last < order.size() && count(order[last]) == count(order[first])) ++last;
    std::vector<Start> starts;
    for (std::size_t a = first; a < last; ++a) {
      for (std::size_t b = 0; b < first; ++b) {
        const Candidate& smaller = candidates[order[b]];
        if (!smaller.best) continue;
        auto values = nested_start(candidates[order[a]].circuit, smaller.best->circuit,
                                   s.frequencies, s.impedances);
        if (values) starts.push_back({order[a], std::move(*values)});
      }
    }
    run_starts(starts, candidates, s);
    first = last;
  }
}

// The other way round: a candidate that a larger one holds starts from the
// larger's best fit with each choice of its nodes, so a candidate whose own
// screen missed a small arc (or split a large one) gets that fit's arcs
// instead.
void share_reduced(std::vector<Candidate>& candidates, const Spectrum& s) {
  std::vector<Start> starts;
  for (std::size_t small = 0; small < candidates.size(); ++small) {
    for (const Candidate& large : candidates) {
      if (!large.best || settled(candidates[small], large.best->chi_square)) continue;
      for (auto& values : reduced_starts(candidates[small].circuit, large.best->circuit)) {
        starts.push_back({small, std::move(values)});
      }
    }
  }
  run_starts(starts, candidates, s);
}

// Every candidate with each of its arcs moved in turn: the other nodes
// refitted without it (taking over what it explained), then the arc placed
// on what they leave unexplained. An arc spent on part of a larger one thus
// moves to a feature the fit missed, such as a small arc at one end.
void move_arcs(std::vector<Candidate>& candidates, const Spectrum& s) {
  double lowest = std::numeric_limits<double>::infinity();
  for (const Candidate& c : candidates) {
    if (c.best) lowest = std::min(lowest, c.best->chi_square);
  }
  std::vector<std::pair<std::size_t, std::size_t>> moves;  // (candidate, top-level node)
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!candidates[i].best || settled(candidates[i], lowest)) continue;
    for (std::size_t slot : arc_slots(candidates[i].circuit)) moves.emplace_back(i, slot);
  }
  std::vector<std::optional<FitOutcome>> fits(moves.size());
  parallel_for(moves.size(), 1, [&](std::size_t k) {
    const SeriesList& fitted = candidates[moves[k].first].best->circuit;
    SeriesList others = fitted;
    others.erase(others.begin() + static_cast<std::ptrdiff_t>(moves[k].second));
    auto rest = fast_fit(others, param_values(others), s);
    if (!rest) return;
    auto start = nested_start(fitted, rest->circuit, s.frequencies, s.impedances);
    if (start) fits[k] = fast_fit(fitted, *start, s);
  });
  for (std::size_t k = 0; k < moves.size(); ++k) {
    offer(candidates[moves[k].first], std::move(fits[k]));
  }
}

// The robust search (starts="auto") on the candidates whose screen decides
// the ranking; they are the leaders.
void search_leaders(std::vector<Candidate>& candidates, const Spectrum& s, Criterion criterion,
                    double good_fit) {
  const std::size_t n = 2 * s.frequencies.size();
  std::vector<std::pair<double, std::size_t>> scored;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    if (!c.best) continue;
    scored.emplace_back(criterion_value(c.best->chi_square, n, c.best->params.size(), criterion),
                        i);
  }
  std::sort(scored.begin(), scored.end());
  const auto lowest_chi_square = [&] {
    double lowest = std::numeric_limits<double>::infinity();
    for (const Candidate& c : candidates) {
      if (c.best) lowest = std::min(lowest, c.best->chi_square);
    }
    return lowest;
  };
  for (std::size_t k = 0; k < scored.size() && k < kSearchedCandidates; ++k) {
    if (scored[k].first > scored.front().first + kSearchMargin) break;
    Candidate& c = candidates[scored[k].second];
    c.leader = true;
    // The first is always searched; a runner-up that already fits as well as
    // the best-fitting candidate (after the searches before it) has nothing
    // to find.
    if (k > 0 && settled(c, lowest_chi_square())) continue;
    // A fit from the trained guess that reaches the noise needs no search.
    if (c.guessed && std::sqrt(c.best->chi_square / static_cast<double>(n)) <= good_fit) continue;
    // The search's own starts (the estimate and a design around it) from the
    // catalogue placeholders: the screen's best is kept if the search does
    // no better, and starting the search there would let a few starts that
    // fall back into the screen's basin stop it early.
    FitSettings settings =
        settings_for(c.circuit, param_values(c.circuit), s.frequencies, s.impedances);
    settings.starts = StartCount{.automatic = true, .placeholder_start = true};
    settings.fast_engine = true;
    offer(c, try_fit(settings));
  }
}

// The fit reported for the candidate: on every point, by the exact engine
// for a leader of a spectrum the screen saw whole; for the others the
// screen's fit when it converged on every point, else the fast engine's from
// it.
CandidateFit finish(Candidate& c, std::span<const double> frequencies,
                    std::span<const Complex> impedances, bool screened_all) {
  CandidateFit out;
  out.guessed = c.guessed;
  if (c.best && c.best->success && screened_all && !c.leader) {
    out.fit = std::move(c.best);
    return out;
  }
  FitSettings settings = settings_for(c.circuit, c.best ? c.best->params : param_values(c.circuit),
                                      frequencies, impedances);
  settings.single_candidate = c.best.has_value();
  if (c.best && !c.leader) {
    settings.fast_engine = true;
    settings.max_iterations = screened_all ? kScreenIterations : kLongPolishIterations;
  }
  // On a long spectrum every central-difference Jacobian costs 2P
  // evaluations of every point: the leaders, too, take the analytic one.
  settings.fast_engine = settings.fast_engine || !screened_all;
  try {
    FitResultOr result = run_fit(settings);
    if (auto* error = std::get_if<FitError>(&result)) {
      out.error = error->message();
    } else {
      out.fit = std::move(std::get<FitOutcome>(result));
    }
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception& e) {
    out.error = e.what();
  }
  return out;
}

}  // namespace

double criterion_value(double chi_square, std::size_t n_residuals, std::size_t n_params,
                       Criterion criterion) {
  const double n = static_cast<double>(n_residuals);
  const double k = static_cast<double>(n_params);
  // An exact fit (chi2 = 0) would give -inf for every such candidate; the
  // floor keeps them comparable by their parameter counts.
  const double fit_term = n * std::log(std::max(chi_square / n, 1e-300));
  return fit_term + (criterion == Criterion::BIC ? k * std::log(n) : 2.0 * k);
}

std::vector<CandidateFit> fit_candidates(const std::vector<SeriesList>& circuits,
                                         std::span<const double> frequencies,
                                         std::span<const Complex> impedances, Criterion criterion,
                                         double good_fit) {
  std::vector<Candidate> candidates(circuits.size());
  for (std::size_t i = 0; i < circuits.size(); ++i) candidates[i].circuit = circuits[i];
  const bool screened_all = frequencies.size() <= kScreenPoints;
  const Spectrum s = screened_all ? Spectrum{{frequencies.begin(), frequencies.end()},
                                             {impedances.begin(), impedances.end()}}
                                  : subset_of(frequencies, impedances, kScreenPoints);
  screen(candidates, frequencies, impedances, s);
  share_nested(candidates, s);
  share_reduced(candidates, s);
  move_arcs(candidates, s);
  search_leaders(candidates, s, criterion, good_fit);
  std::vector<CandidateFit> out(candidates.size());
  parallel_for(candidates.size(), 1, [&](std::size_t i) {
    out[i] = finish(candidates[i], frequencies, impedances, screened_all);
  });
  return out;
}

}  // namespace korvex::analysis
