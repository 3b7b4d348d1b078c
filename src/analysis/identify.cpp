#include "analysis/identify.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "analysis/identify_screen.hpp"
#include "analysis/kramers_kronig.hpp"
#include "analysis/spectrum_check.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "circuit/text.hpp"
#include "common/cancel.hpp"
#include "models/builtin_topologies.hpp"

namespace korvex::analysis {
namespace {

void score(Ranked& r, std::size_t n_residuals, double noise_level, double misfit_ratio) {
  r.n_params = param_count(r.fit->circuit);
  const double n = static_cast<double>(n_residuals);
  r.aic = criterion_value(r.fit->chi_square, n_residuals, r.n_params, Criterion::AIC);
  r.bic = criterion_value(r.fit->chi_square, n_residuals, r.n_params, Criterion::BIC);
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

  std::vector<CandidateFit> fits =
      fit_candidates(circuits, frequencies, impedances, settings.criterion,
                     settings.misfit_ratio * out.noise_level);
  std::vector<Ranked> ranked(texts.size());
  for (std::size_t i = 0; i < ranked.size(); ++i) {
    // The one text form of the circuit, whatever spelling the candidate came in.
    ranked[i].circuit = circuit_text(circuits[i]);
    if (!fits[i].guessed) ranked[i].flags.push_back("unguessed");
    ranked[i].fit = std::move(fits[i].fit);
    ranked[i].error = std::move(fits[i].error);
  }

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
  const auto tied = [&](const Ranked& r) { return r.criterion <= best + kIndistinguishable; };
  if (std::count_if(ranked.begin(), ranked.end(), tied) > 1) {
    for (Ranked& r : ranked) {
      if (tied(r)) r.flags.push_back("indistinguishable");
    }
  }

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
