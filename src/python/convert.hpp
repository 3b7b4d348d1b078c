#pragma once
// Conversions between Python values and the core's values. Every failure
// raises a Python exception naming the argument.
#include <nanobind/nanobind.h>

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "circuit/node.hpp"
#include "fit/residuals.hpp"

namespace korvex::py {

namespace nb = nanobind;

// A pending Python error becomes a C++ exception nanobind re-raises.
[[noreturn]] void raise_pending();
[[noreturn]] void raise_type_error(const std::string& message);
// Re-raises the pending conversion error with the argument's name in front.
[[noreturn]] void raise_for_argument(const char* arg);

// The interpreter's float conversion; failures become TypeError naming `arg`.
double to_double(nb::handle obj, const char* arg);

// Any sequence except str, iterated once, items through the float conversion.
// Raises TypeError naming `arg`.
std::vector<double> to_float_list(nb::handle obj, const char* arg);
// Same, but returns false (no exception pending) when the conversion fails.
bool try_float_list(nb::handle obj, std::vector<double>& out);

// Items through the interpreter's complex conversion.
std::vector<Complex> to_complex_list(nb::handle obj, const char* arg);

std::string to_str(nb::handle obj, const char* arg);

// Name of the frequency column pair etc., e.g. "Frequency / Hz" or "frequency_hertz".
struct ColumnPair {
  const char* long_name;
  const char* short_name;
  std::string describe() const;
};

struct SpectrumData {
  std::vector<double> frequencies;
  std::vector<Complex> impedances;
  std::vector<std::size_t> rows;  // a dataframe's row of each kept point; empty for arrays
};

// What a dataframe given as a spectrum may hold.
enum class FrameRows {
  OneSpectrum,  // refused when it holds several (a varying "cycle" or "file"
                // column, or a frequency sweep that starts again)
  Any,          // taken as it is (evaluation at arbitrary points)
};

// Two sequences, or a dataframe when `impedances` is None.
SpectrumData read_spectrum(nb::handle frequencies, nb::handle impedances,
                           FrameRows rows = FrameRows::OneSpectrum);
// A sequence of frequencies, or a dataframe's frequency column (no filtering).
std::vector<double> read_frequencies(nb::handle frequencies);

// read_frequencies() without the copy where it is not needed: a C-contiguous
// one-dimensional buffer of native float64 (a NumPy array) is borrowed and
// released with this object; anything else is read as read_frequencies reads it.
class FrequencyInput {
 public:
  explicit FrequencyInput(nb::handle frequencies);
  ~FrequencyInput();
  FrequencyInput(const FrequencyInput&) = delete;
  FrequencyInput& operator=(const FrequencyInput&) = delete;

  std::span<const double> values() const { return values_; }

 private:
  Py_buffer view_{};
  bool borrowed_ = false;
  std::vector<double> copy_;
  std::span<const double> values_;
};
// The weighting a `weight=` name selects, or nothing.
std::optional<Weighting> weighting_named(const std::string& name);
// The same; an unknown name raises ValueError.
Weighting parse_weighting(const std::string& name);

}  // namespace korvex::py
