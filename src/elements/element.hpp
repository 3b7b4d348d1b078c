#pragma once
// The element catalogue: fourteen kinds, their fields, units, defaults,
// bounds and complex impedance.
#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "elements/complex_math.hpp"

namespace korvex {

// Kind order is binding: parameter vectors, automatic labels and the syntax
// help follow it.
enum class Kind : int { R, C, L, La, Cpe, W, Wo, Ws, G, Gs, K, Zarc, Tlmq, T };

inline constexpr std::size_t kKindCount = 14;
inline constexpr std::size_t kMaxFields = 4;

struct Element {
  Kind kind = Kind::R;
  std::array<double, kMaxFields> fields{};  // only the first field_count(kind) are used

  std::span<const double> values() const;
  friend bool operator==(const Element&, const Element&) = default;
};

struct KindInfo {
  Kind kind;
  std::string_view code;         // repr, automatic labels, Python attribute
  std::string_view codes_entry;  // canonical spelling for the syntax help
  std::size_t field_count;
  std::array<std::string_view, kMaxFields> field_names;
  std::array<std::string_view, kMaxFields> units;
  std::array<double, kMaxFields> defaults;
};

const KindInfo& kind_info(Kind kind);
inline std::size_t field_count(Kind kind) { return kind_info(kind).field_count; }
inline std::string_view code(Kind kind) { return kind_info(kind).code; }

// Canonical spellings of all kinds in kind order.
const std::array<std::string_view, kKindCount>& codes();

// The element of the kind spelled `text` with default values; none when the
// text is not one of the parser spellings (exact comparison).
std::optional<Element> default_for_code(std::string_view text);

// Default physical bounds of a field: (0, 1) for "alpha"/"gamma", else (1e-12, inf).
std::pair<double, double> bounds(std::string_view field_name);

// Per-frequency quantities shared by the element formulas, worked out once
// per spectrum: a fit evaluates the same frequencies thousands of times.
struct FrequencyTerms {
  double omega;
  Complex s;         // j*omega
  double warburg;    // sqrt(omega) / (sqrt omega)^2, about omega^-1/2
  Complex sqrt_s;    // principal sqrt(j*omega)
  double log_omega;  // ln omega: powers of j*omega become exp(alpha * ln omega);
                     // NaN when not asked for (the powers then take cpow)

  explicit FrequencyTerms(double omega, bool with_log = true);
};

// Impedance of a `kind` element with field values `p` (field order).
Complex kind_impedance(Kind kind, const double* p, const FrequencyTerms& w);

// kind_impedance at the n frequencies `w`, into re[i] and im[i]. Every value
// is bit for bit the single-frequency one; only the work that does not depend
// on the frequency (the angle terms and logarithms of the powers of c*jw) is
// done once.
void kind_impedance_block(Kind kind, const double* p, const FrequencyTerms* w, std::size_t n,
                          double* re, double* im);

// Kinds whose admittance is cheaper than the reciprocal of their impedance:
// a parallel branch of one such element adds kind_admittance to its group.
inline bool has_direct_admittance(Kind kind) {
  return kind == Kind::R || kind == Kind::C || kind == Kind::Cpe;
}

// 1 / kind_impedance, for the kinds above: c*j*omega for C and
// q omega^alpha (cos t + j sin t) for a CPE where those are finite and non-zero,
// else (and for R) creciprocal of the impedance, so that a zero frequency or
// value still gives what the reciprocal gives.
Complex kind_admittance(Kind kind, const double* p, const FrequencyTerms& w);
void kind_admittance_block(Kind kind, const double* p, const FrequencyTerms* w, std::size_t n,
                           double* re, double* im);

inline Complex impedance_of(const Element& e, double omega) {
  return kind_impedance(e.kind, e.fields.data(), FrequencyTerms(omega));
}

}  // namespace korvex
