#pragma once
// "Which circuit?": fits every candidate topology to one spectrum
// (identify_screen.hpp: a screen of every candidate, the robust search for
// the leaders, modulus weighting) and ranks the fits by an information
// criterion.
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/cancel.hpp"
#include "elements/complex_math.hpp"
#include "fit/outcome.hpp"

namespace korvex::analysis {

// BIC = n ln(chi2/n) + k ln n and AIC = n ln(chi2/n) + 2k, with chi2 the
// modulus-weighted sum of squares, n = 2N residuals and k parameters.
enum class Criterion { BIC, AIC };

// Candidates whose criterion lies within this of the best one's are not told
// apart by this spectrum (a difference of 2 in BIC is "not worth more than a
// bare mention" on Kass and Raftery's scale); each gets the flag
// "indistinguishable" when there are two or more.
inline constexpr double kIndistinguishable = 2.0;

struct IdentifySettings {
  std::vector<std::string> candidates;  // circuit texts; empty: the eleven built-in topologies
  Criterion criterion = Criterion::BIC;
  double misfit_ratio = 2.0;  // flag fits whose rms residual exceeds this times the KK noise
  const CancelFlag* cancel = nullptr;  // once set, identify throws Cancelled
};

struct Ranked {
  std::string circuit;            // the candidate's text
  std::optional<FitOutcome> fit;  // none when the fit failed (see `error`)
  std::string error;
  std::size_t n_params = 0;
  double aic = 0, bic = 0;
  double criterion = 0;            // the one ranked by
  double weight = 0;               // exp(-delta/2), normalised over the candidates
  std::vector<std::string> flags;  // "unidentifiable", "misfit", "unguessed", "failed",
                                   // "indistinguishable"
};

struct IdentifyOutcome {
  std::vector<Ranked> ranked;  // best first
  double noise_level = 0;      // rms relative residual the KK test leaves
};

using IdentifyOr = std::variant<IdentifyOutcome, std::string>;

// Runs the candidates on the worker pool. A candidate text that does not
// parse is an error of the whole call; a fit that fails is ranked last.
// Throws Cancelled when `settings.cancel` (or the calling thread's flag, see
// common/cancel.hpp) is set while it runs.
IdentifyOr identify(std::span<const double> frequencies, std::span<const Complex> impedances,
                    const IdentifySettings& settings);

}  // namespace korvex::analysis
