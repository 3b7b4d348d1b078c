#include "analysis/identify.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <numeric>

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

// The default fit, started from the trained guess when there is one.
void fit_candidate(const SeriesList& circuit, std::span<const double> frequencies,
                   std::span<const Complex> impedances, Ranked& out) {
  FitSettings settings;
  auto guess = models::guess_params(circuit, frequencies, impedances, std::nullopt);
  if (auto* values = std::get_if<std::vector<double>>(&guess)) {
    settings.circuit = rebuild(circuit, *values);
  } else {
    // Without a trained model the catalogue placeholders alone miss the
    // minimum on most real spectra: search from the data-driven estimate and
    // a design around it instead.
    settings.circuit = circuit;
    settings.starts = StartCount{.automatic = true, .placeholder_start = true};
    out.flags.push_back("unguessed");
  }
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
  const double k = static_cast<double>(r.n_params);
  // An exact fit (chi2 = 0) would give -inf for every such candidate; the
  // floor keeps them comparable by their parameter counts.
  const double fit_term = n * std::log(std::max(r.fit->chi_square / n, 1e-300));
  r.aic = fit_term + 2.0 * k;
  r.bic = fit_term + k * std::log(n);
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

  std::vector<Ranked> ranked(texts.size());
  parallel_for(texts.size(), 1, [&](std::size_t i) {
    // The one text form of the circuit, whatever spelling the candidate came in.
    ranked[i].circuit = circuit_text(circuits[i]);
    try {
      fit_candidate(circuits[i], frequencies, impedances, ranked[i]);
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
