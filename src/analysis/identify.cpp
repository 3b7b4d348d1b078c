#include "analysis/identify.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numeric>

#include "analysis/identify_starts.hpp"
#include "analysis/kramers_kronig.hpp"
#include "analysis/spectrum_check.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"
#include "common/cancel.hpp"
#include "common/pool.hpp"
#include "fit/driver.hpp"
#include "models/builtin_topologies.hpp"
#include "models/circuit_guess.hpp"

namespace korvex::analysis {
namespace {

// Spectra longer than this are screened and searched on a log-spaced subset
// of this many points; every candidate is polished on all of them.
constexpr std::size_t kScreenPoints = 120;
// The robust search runs on the candidates whose screen lies within this
// many criterion units of the best screen, at most kSearchedCandidates of
// them: the ones that decide the ranking.
constexpr double kSearchMargin = 10.0;
constexpr std::size_t kSearchedCandidates = 3;

struct Spectrum {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
};

Spectrum subset_of(std::span<const double> frequencies, std::span<const Complex> impedances,
                   std::size_t count) {
  Spectrum s;
  for (std::size_t i : log_spaced_subset(frequencies, count)) {
    s.frequencies.push_back(frequencies[i]);
    s.impedances.push_back(impedances[i]);
  }
  return s;
}

// One candidate through the stages: its circuit, the best values so far and
// their chi-square on the screening spectrum.
struct Candidate {
  SeriesList circuit;
  std::vector<double> best;
  double chi_square = std::numeric_limits<double>::infinity();
  bool guessed = false;
};

FitSettings settings_for(const SeriesList& circuit, std::span<const double> values,
                         const Spectrum& s) {
  FitSettings settings;
  settings.circuit = rebuild(circuit, values);
  settings.frequencies = s.frequencies;
  settings.impedances = s.impedances;
  return settings;
}

// One Levenberg-Marquardt run from `start` with the analytic Jacobian: the
// screen's unit of work. Keeps the result when it beats the candidate's best.
struct ScreenRun {
  std::size_t candidate;
  std::vector<double> start;
  std::vector<double> params;
  double chi_square = std::numeric_limits<double>::infinity();
};

void run_screen(const std::vector<Candidate>& candidates, const Spectrum& s, ScreenRun& run) {
  FitSettings settings = settings_for(candidates[run.candidate].circuit, run.start, s);
  settings.single_candidate = true;
  settings.fast_engine = true;
  // A start the engine cannot use leaves the candidate's other starts.
  try {
    const FitResultOr result = run_fit(settings);
    const auto* outcome = std::get_if<FitOutcome>(&result);
    if (!outcome || !std::isfinite(outcome->chi_square)) return;
    run.params = param_values(outcome->circuit);
    run.chi_square = outcome->chi_square;
  } catch (const Cancelled&) {
    throw;
  } catch (const std::exception&) {
    run.params.clear();
  }
}

void run_all(std::vector<ScreenRun>& runs, std::vector<Candidate>& candidates, const Spectrum& s) {
  parallel_for(runs.size(), 1, [&](std::size_t k) { run_screen(candidates, s, runs[k]); });
  for (ScreenRun& run : runs) {
    Candidate& c = candidates[run.candidate];
    if (run.chi_square < c.chi_square) {
      c.chi_square = run.chi_square;
      c.best = std::move(run.params);
    }
  }
}

// Every candidate from its trained guess (when it has a model) and from the
// estimate in each order of its arc slots.
void screen(std::vector<Candidate>& candidates, std::span<const double> frequencies,
            std::span<const Complex> impedances, const Spectrum& s) {
  std::vector<ScreenRun> runs;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    Candidate& c = candidates[i];
    auto guess = models::guess_params(c.circuit, frequencies, impedances, std::nullopt);
    if (auto* values = std::get_if<std::vector<double>>(&guess)) {
      c.guessed = true;
      runs.push_back({i, std::move(*values)});
    }
    for (auto& start : slot_order_starts(c.circuit, s.frequencies, s.impedances)) {
      runs.push_back({i, std::move(start)});
    }
    if (runs.empty() || runs.back().candidate != i) runs.push_back({i, param_values(c.circuit)});
  }
  run_all(runs, candidates, s);
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
    std::vector<ScreenRun> runs;
    for (std::size_t a = first; a < last; ++a) {
      for (std::size_t b = 0; b < first; ++b) {
        const Candidate& smaller = candidates[order[b]];
        if (smaller.best.empty()) continue;
        auto start = nested_start(candidates[order[a]].circuit,
                                  rebuild(smaller.circuit, smaller.best), s.frequencies,
                                  s.impedances);
        if (start) runs.push_back({order[a], std::move(*start)});
      }
    }
    run_all(runs, candidates, s);
    first = last;
  }
}

double criterion_of(double chi_square, std::size_t n_residuals, std::size_t n_params,
                    Criterion criterion) {
  const double n = static_cast<double>(n_residuals);
  const double k = static_cast<double>(n_params);
  // An exact fit (chi2 = 0) would give -inf for every such candidate; the
  // floor keeps them comparable by their parameter counts.
  const double fit_term = n * std::log(std::max(chi_square / n, 1e-300));
  return fit_term + (criterion == Criterion::BIC ? k * std::log(n) : 2.0 * k);
}

// The robust search (starts="auto", from the best screen) on the candidates
// whose screen decides the ranking.
void search_leaders(std::vector<Candidate>& candidates, const Spectrum& s, Criterion criterion) {
  const std::size_t n = 2 * s.frequencies.size();
  std::vector<std::pair<double, std::size_t>> scored;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    if (c.best.empty()) continue;
    scored.emplace_back(criterion_of(c.chi_square, n, c.best.size(), criterion), i);
  }
  if (scored.empty()) return;
  std::sort(scored.begin(), scored.end());
  for (std::size_t k = 0; k < scored.size() && k < kSearchedCandidates; ++k) {
    if (scored[k].first > scored.front().first + kSearchMargin) break;
    Candidate& c = candidates[scored[k].second];
    FitSettings settings = settings_for(c.circuit, c.best, s);
    settings.starts = StartCount{.automatic = true};
    settings.fast_engine = true;
    const FitResultOr result = run_fit(settings);
    const auto* outcome = std::get_if<FitOutcome>(&result);
    if (outcome && outcome->chi_square < c.chi_square) {
      c.chi_square = outcome->chi_square;
      c.best = param_values(outcome->circuit);
    }
  }
}

// The default fit on every point from the candidate's best values: the
// result the ranking reports.
void polish(const Candidate& c, std::span<const double> frequencies,
            std::span<const Complex> impedances, Ranked& out) {
  FitSettings settings;
  settings.circuit = c.best.empty() ? c.circuit : rebuild(c.circuit, c.best);
  settings.frequencies.assign(frequencies.begin(), frequencies.end());
  settings.impedances.assign(impedances.begin(), impedances.end());
  FitResultOr result = run_fit(settings);
  if (auto* error = std::get_if<FitError>(&result)) {
    out.error = error->message();
    return;
  }
  out.fit = std::move(std::get<FitOutcome>(result));
}

void score(Ranked& r, std::size_t n_residuals, double noise_level, double misfit_ratio) {
  r.n_params = param_count(r.fit->circuit);
  const double n = static_cast<double>(n_residuals);
  r.aic = criterion_of(r.fit->chi_square, n_residuals, r.n_params, Criterion::AIC);
  r.bic = criterion_of(r.fit->chi_square, n_residuals, r.n_params, Criterion::BIC);
  const auto& stderr_ = r.fit->stderr_;
  bool unidentifiable = !stderr_.has_value();
  for (std::size_t j = 0; stderr_ && j < r.fit->params.size(); ++j) {
    const double se = (*stderr_)[j];
    if (!std::isfinite(se) || se > std::fabs(r.fit->params[j])) unidentifiable = true;
  }
  if (unidentifiable) r.flags.push_back("unidentifiable");
  if (std::sqrt(r.fit->chi_square / n) > misfit_ratio * noise_level) r.flags.push_back("misfit");
}

}  // namespace

IdentifyOr identify(std::span<const double> frequencies, std::span<const Complex> impedances,
                    const IdentifySettings& settings) {
  if (auto error = check_spectrum(frequencies, impedances, 3, "identify")) return *error;
  if (!(settings.misfit_ratio > 0.0)) return "misfit_ratio must be positive";
  std::vector<std::string> texts = settings.candidates;
  if (texts.empty()) {
    for (const auto& t : models::kBuiltinTopologies) texts.emplace_back(t.circuit);
  }
  std::vector<SeriesList> circuits;
  for (const std::string& text : texts) {
    auto parsed = parse(text);
    if (auto* error = std::get_if<ParseError>(&parsed)) {
      return "candidate " + text + ": " + error->message();
    }
    circuits.push_back(std::move(std::get<SeriesList>(parsed)));
  }

  const CancelScope cancel(settings.cancel);
  IdentifyOutcome out;
  const auto kk = kramers_kronig(frequencies, impedances, KKSettings{});
  if (const auto* k = std::get_if<KKResult>(&kk)) {
    const double rms = std::sqrt(k->pseudo_chi_square / (2.0 * frequencies.size()));
    out.noise_level = std::max(k->noise, rms);
  }

  std::vector<Candidate> candidates(circuits.size());
  for (std::size_t i = 0; i < circuits.size(); ++i) candidates[i].circuit = circuits[i];
  const Spectrum screened = frequencies.size() > kScreenPoints
                                ? subset_of(frequencies, impedances, kScreenPoints)
                                : Spectrum{{frequencies.begin(), frequencies.end()},
                                           {impedances.begin(), impedances.end()}};
  screen(candidates, frequencies, impedances, screened);
  share_nested(candidates, screened);
  search_leaders(candidates, screened, settings.criterion);

  std::vector<Ranked> ranked(texts.size());
  parallel_for(texts.size(), 1, [&](std::size_t i) {
    // The one text form of the circuit, whatever spelling the candidate came in.
    ranked[i].circuit = circuit_text(circuits[i]);
    if (!candidates[i].guessed) ranked[i].flags.push_back("unguessed");
    try {
      polish(candidates[i], frequencies, impedances, ranked[i]);
    } catch (const Cancelled&) {
      throw;
    } catch (const std::exception& e) {
      ranked[i].error = e.what();
    }
  });

  const std::size_t n_residuals = 2 * frequencies.size();
  const double worst = std::numeric_limits<double>::infinity();
  double best = worst;
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    Ranked& r = ranked[i];
    if (!r.fit) {
      r.flags.push_back("failed");
      r.n_params = param_count(circuits[i]);
      r.aic = r.bic = r.criterion = worst;
      continue;
    }
    score(r, n_residuals, out.noise_level, settings.misfit_ratio);
    r.criterion = settings.criterion == Criterion::BIC ? r.bic : r.aic;
    if (std::isnan(r.criterion)) r.criterion = worst;
    best = std::min(best, r.criterion);
  }
  double total = 0.0;
  for (Ranked& r : ranked) {
    r.weight = std::isfinite(r.criterion) ? std::exp(-0.5 * (r.criterion - best)) : 0.0;
    total += r.weight;
  }
  for (Ranked& r : ranked) r.weight = total > 0.0 ? r.weight / total : 0.0;

  // Ties go to the simpler circuit, then to the earlier candidate.
  std::vector<std::size_t> order(ranked.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (ranked[a].criterion != ranked[b].criterion) {
      return ranked[a].criterion < ranked[b].criterion;
    }
    return ranked[a].n_params < ranked[b].n_params;
  });
  for (std::size_t i : order) out.ranked.push_back(std::move(ranked[i]));
  return out;
}

}  // namespace korvex::analysis
