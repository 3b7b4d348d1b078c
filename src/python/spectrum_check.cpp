#include "python/spectrum_check.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

namespace korvex::py {
namespace {

std::string python_repr(PyObject* value) {
  if (!value) raise_pending();
  nb::object owned = nb::steal(value);
  return nb::cast<std::string>(nb::repr(owned));
}

std::string repr_float(double v) { return python_repr(PyFloat_FromDouble(v)); }
std::string repr_complex(Complex z) { return python_repr(PyComplex_FromDoubles(z.re, z.im)); }

// "frequencies[3]" for array input, "frequency at row 3 of the dataframe"
// for a frame (the row counted before rows with f <= 0 were dropped).
std::string point_name(const SpectrumData& s, const char* arguments, const char* column,
                       std::size_t i) {
  if (s.rows.empty()) return std::string(arguments) + "[" + std::to_string(i) + "]";
  return std::string(column) + " at row " + std::to_string(s.rows[i]) + " of the dataframe";
}

[[noreturn]] void refuse(const std::string& message) { throw nb::value_error(message.c_str()); }

}  // namespace

void check_measured_spectrum(const SpectrumData& s) {
  std::optional<std::size_t> first_zero;
  for (std::size_t i = 0; i < s.frequencies.size(); ++i) {
    const double f = s.frequencies[i];
    if (!(std::isfinite(f) && f > 0.0)) {
      refuse(point_name(s, "frequencies", "frequency", i) +
             " must be a positive finite number, got " + repr_float(f));
    }
    const Complex z = s.impedances[i];
    if (!(std::isfinite(z.re) && std::isfinite(z.im))) {
      refuse(point_name(s, "impedances", "impedance", i) + " must be finite, got " +
             repr_complex(z));
    }
    if (z.re == 0.0 && z.im == 0.0 && !first_zero) first_zero = i;
  }
  if (first_zero && *first_zero == 0 &&
      std::all_of(s.impedances.begin(), s.impedances.end(),
                  [](Complex z) { return z.re == 0.0 && z.im == 0.0; })) {
    refuse("every measured impedance is zero: there is nothing to fit");
  }
  // A measured zero is a dropped point, not a short circuit: its modulus
  // weight would be floored at 1e-30 and swamp every other residual.
  if (first_zero) {
    refuse(point_name(s, "impedances", "impedance", *first_zero) +
           " is zero: remove the point (a measured impedance is never exactly 0)");
  }
}

}  // namespace korvex::py
