#include "python/convert.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <type_traits>

#include "common/format.hpp"

namespace korvex::py {
namespace {

const ColumnPair kFrequency{"Frequency / Hz", "frequency_hertz"};
const ColumnPair kReal{"Real Impedance / ohm", "real_impedance_ohm"};
const ColumnPair kImaginary{"Imaginary Impedance / ohm", "imaginary_impedance_ohm"};
const ColumnPair kModulus{"Absolute Impedance / ohm", "absolute_impedance_ohm"};
const ColumnPair kPhase{"Phase / deg", "phase_degree"};

std::string py_type_name(nb::handle obj) { return nb::type_name(obj.type()).c_str(); }

// Looks up frame[name]; none (error discarded) when the lookup raises.
nb::object lookup(nb::handle frame, const char* name) {
  PyObject* key = PyUnicode_FromString(name);
  if (!key) raise_pending();
  PyObject* value = PyObject_GetItem(frame.ptr(), key);
  Py_DECREF(key);
  if (!value) {
    PyErr_Clear();
    return nb::object();
  }
  return nb::steal(value);
}

// Missing (false), or the column as floats; ValueError when not numeric.
bool column(nb::handle frame, const ColumnPair& pair, std::vector<double>& out) {
  const char* found = pair.long_name;
  nb::object value = lookup(frame, pair.long_name);
  if (!value.is_valid()) {
    found = pair.short_name;
    value = lookup(frame, pair.short_name);
    if (!value.is_valid()) return false;
  }
  if (!try_float_list(value, out)) {
    throw nb::value_error(("column " + debug_string(found) + " is not numeric").c_str());
  }
  return true;
}

SpectrumData unpack_frame(nb::handle frame) {
  std::vector<double> f, re, im, mod, phase;
  if (!column(frame, kFrequency, f)) {
    throw nb::value_error(("expected a dataframe with a " + kFrequency.describe() +
                           " column, or frequencies and impedances as two arguments")
                              .c_str());
  }
  const bool has_re = column(frame, kReal, re);
  const bool has_im = column(frame, kImaginary, im);
  const bool has_mod = column(frame, kModulus, mod);
  const bool has_phase = column(frame, kPhase, phase);
  std::vector<Complex> z;
  const ColumnPair *first, *second;
  if (has_re && has_im) {
    if (re.size() != im.size()) {
      throw nb::value_error("real and imaginary impedance columns must have the same length");
    }
    for (std::size_t i = 0; i < re.size(); ++i) z.push_back({re[i], im[i]});
    first = &kReal;
    second = &kImaginary;
  } else if (has_mod && has_phase) {
    if (mod.size() != phase.size()) {
      throw nb::value_error("absolute impedance and phase columns must have the same length");
    }
    for (std::size_t i = 0; i < mod.size(); ++i) {
      const double theta = phase[i] * 0.017453292519943295;
      z.push_back({mod[i] * std::cos(theta), mod[i] * std::sin(theta)});
    }
    first = &kModulus;
    second = &kPhase;
  } else {
    throw nb::value_error(("no impedance columns: expected " + kReal.describe() +
                           " together with " + kImaginary.describe() + ", or " +
                           kModulus.describe() + " together with " + kPhase.describe())
                              .c_str());
  }
  if (f.size() != z.size()) {
    throw nb::value_error(("frequency column has " + std::to_string(f.size()) + " rows but " +
                           first->describe() + " and " + second->describe() + " have " +
                           std::to_string(z.size()))
                              .c_str());
  }
  SpectrumData out;
  for (std::size_t i = 0; i < f.size(); ++i) {
    if (f[i] > 0.0) {
      out.frequencies.push_back(f[i]);
      out.impedances.push_back(z[i]);
      out.rows.push_back(i);
    }
  }
  if (out.frequencies.empty()) {
    throw nb::value_error(("no measured points: every row of the " + kFrequency.describe() +
                           " column is zero or negative")
                              .c_str());
  }
  return out;
}

// The frame's columns that tell spectra apart (read() numbers sweeps in
// "cycle", read_many() names files in "file") whose values are not all equal.
std::vector<std::string> varying_spectrum_columns(nb::handle frame) {
  std::vector<std::string> varying;
  for (const char* name : {"file", "cycle"}) {
    nb::object values = lookup(frame, name);
    if (!values.is_valid()) continue;
    nb::object first;
    for (nb::handle value : values) {
      if (!first.is_valid()) {
        first = nb::borrow(value);
        continue;
      }
      const int equal = PyObject_RichCompareBool(value.ptr(), first.ptr(), Py_EQ);
      if (equal < 0) raise_pending();
      if (equal == 0) {
        varying.emplace_back(name);
        break;
      }
    }
  }
  return varying;
}

// The point where a second sweep starts: a step against the sweep's
// direction over more than half of the measured decades. Jitter and a
// repeated point inside one sweep are far smaller.
std::optional<std::size_t> sweep_restart(const std::vector<double>& f) {
  if (f.size() < 4) return std::nullopt;
  const auto [lo, hi] = std::minmax_element(f.begin(), f.end());
  const double span = std::log10(*hi / *lo);
  if (!(span > 0.0)) return std::nullopt;
  std::size_t falling = 0, rising = 0;
  for (std::size_t i = 1; i < f.size(); ++i) (f[i] < f[i - 1] ? falling : rising) += 1;
  const double direction = falling >= rising ? -1.0 : 1.0;
  for (std::size_t i = 1; i < f.size(); ++i) {
    if (-direction * std::log10(f[i] / f[i - 1]) > 0.5 * span) return i;
  }
  return std::nullopt;
}

std::string quoted_list(const std::vector<std::string>& names) {
  if (names.size() == 1) return debug_string(names[0]);
  std::string out = "[";
  for (std::size_t i = 0; i < names.size(); ++i) {
    out += (i ? ", " : "") + debug_string(names[i]);
  }
  return out + "]";
}

// Copies a one-dimensional buffer of native 64-bit floats (format "d") or
// complex numbers ("Zd"), such as a NumPy float64 or complex128 array, into
// `out`. Item-by-item conversion gives the same values at several times the
// cost. False, with no error set, for any other object or layout.
template <typename T>
bool copy_native_buffer(PyObject* obj, std::vector<T>& out) {
  static_assert(sizeof(T) % sizeof(double) == 0);
  if (!PyObject_CheckBuffer(obj)) return false;
  Py_buffer view;
  if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return false;
  }
  const char* format = view.format ? view.format : "B";
  if (*format == '@' || *format == '=' ||
      (*format == '<' && std::endian::native == std::endian::little)) {
    ++format;
  }
  const char* wanted = std::is_same_v<T, double> ? "d" : "Zd";
  const bool usable = view.ndim == 1 && view.itemsize == static_cast<Py_ssize_t>(sizeof(T)) &&
                      std::strcmp(format, wanted) == 0;
  if (usable) {
    const Py_ssize_t n = view.shape[0];
    const Py_ssize_t stride = view.strides ? view.strides[0] : view.itemsize;
    out.resize(static_cast<std::size_t>(n));
    const char* base = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < n; ++i) std::memcpy(&out[i], base + i * stride, sizeof(T));
  }
  PyBuffer_Release(&view);
  return usable;
}

// Items reserved up front at most, whatever a sequence's __len__ claims.
constexpr std::size_t kReserveLimit = std::size_t{1} << 20;

// Iterates a non-str sequence, converting each item with `convert`; returns
// false with a Python error set on failure.
template <typename T, typename Convert>
bool convert_sequence(nb::handle obj, std::vector<T>& out, Convert convert) {
  if (PyUnicode_Check(obj.ptr())) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (!PySequence_Check(obj.ptr())) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to 'Sequence'",
                 py_type_name(obj).c_str());
    return false;
  }
  if (copy_native_buffer(obj.ptr(), out)) return true;
  // Owned, so that a throwing reserve or push_back cannot leak it.
  nb::object it = nb::steal(PyObject_GetIter(obj.ptr()));
  if (!it.is_valid()) return false;
  out.clear();
  // __len__ is only a hint: a sequence may report far more than it yields.
  const Py_ssize_t hint = PySequence_Size(obj.ptr());
  if (hint > 0)
    out.reserve(std::min<std::size_t>(static_cast<std::size_t>(hint), kReserveLimit));
  else
    PyErr_Clear();
  while (PyObject* item = PyIter_Next(it.ptr())) {
    T value;
    const bool ok = convert(item, value);
    Py_DECREF(item);
    if (!ok) return false;
    out.push_back(value);
  }
  return !PyErr_Occurred();
}

bool convert_float(PyObject* item, double& out) {
  out = PyFloat_AsDouble(item);
  return !(out == -1.0 && PyErr_Occurred());
}

bool convert_complex(PyObject* item, Complex& out) {
  const Py_complex c = PyComplex_AsCComplex(item);
  if (c.real == -1.0 && PyErr_Occurred()) return false;
  out = {c.real, c.imag};
  return true;
}

}  // namespace

void raise_pending() { throw nb::python_error(); }

void raise_type_error(const std::string& message) { throw nb::type_error(message.c_str()); }

// Prefixes the pending error's message with the argument name, keeping its
// class, for the plain TypeError, ValueError and OverflowError of the
// conversions. Any other class (a UnicodeEncodeError for a str with lone
// surrogates, a user exception raised by __float__) propagates unchanged: it
// may not be constructible from a message alone.
void raise_for_argument(const char* arg) {
  PyObject* pending = PyErr_Occurred();
  if (pending != PyExc_TypeError && pending != PyExc_ValueError && pending != PyExc_OverflowError) {
    raise_pending();
  }
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  PyErr_NormalizeException(&type, &value, &trace);
  std::string text = "?";
  if (value) {
    if (PyObject* s = PyObject_Str(value)) {
      if (const char* c = PyUnicode_AsUTF8(s)) text = c;
      Py_DECREF(s);
    }
    PyErr_Clear();
  }
  PyErr_Format(type, "argument '%s': %s", arg, text.c_str());
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(trace);
  raise_pending();
}

std::string ColumnPair::describe() const {
  return debug_string(long_name) + " or " + debug_string(short_name);
}

double to_double(nb::handle obj, const char* arg) {
  double v;
  if (!convert_float(obj.ptr(), v)) raise_for_argument(arg);
  return v;
}

std::vector<double> to_float_list(nb::handle obj, const char* arg) {
  std::vector<double> out;
  if (!convert_sequence(obj, out, convert_float)) raise_for_argument(arg);
  return out;
}

bool try_float_list(nb::handle obj, std::vector<double>& out) {
  if (convert_sequence(obj, out, convert_float)) return true;
  PyErr_Clear();
  return false;
}

std::vector<Complex> to_complex_list(nb::handle obj, const char* arg) {
  std::vector<Complex> out;
  if (!convert_sequence(obj, out, convert_complex)) {
    if (PyUnicode_Check(obj.ptr())) raise_pending();  // the fixed str message, unprefixed
    raise_for_argument(arg);
  }
  return out;
}

std::string to_str(nb::handle obj, const char* arg) {
  if (!PyUnicode_Check(obj.ptr())) {
    raise_type_error(std::string("argument '") + arg + "': '" + py_type_name(obj) +
                     "' object cannot be converted to 'str'");
  }
  Py_ssize_t size;
  const char* data = PyUnicode_AsUTF8AndSize(obj.ptr(), &size);
  if (!data) raise_for_argument(arg);
  return std::string(data, static_cast<std::size_t>(size));
}

namespace {

void refuse_several_spectra(nb::handle frame, const SpectrumData& spectrum) {
  const std::vector<std::string> columns = varying_spectrum_columns(frame);
  if (!columns.empty()) {
    std::string message = "the dataframe holds several spectra: its ";
    for (std::size_t i = 0; i < columns.size(); ++i) {
      message += (i ? " and " : "") + debug_string(columns[i]);
    }
    message += columns.size() == 1 ? " column has" : " columns have";
    message +=
        " more than one value; select one spectrum, or fit them all with "
        "korvex.fit_many(frame, by=" +
        quoted_list(columns) + ")";
    throw nb::value_error(message.c_str());
  }
  if (const auto restart = sweep_restart(spectrum.frequencies)) {
    const std::size_t i = *restart;
    throw nb::value_error(
        ("the dataframe holds several spectra: its frequency sweep starts again at row " +
         std::to_string(spectrum.rows[i]) + " (" + debug_float(spectrum.frequencies[i - 1]) +
         " Hz, then " + debug_float(spectrum.frequencies[i]) +
         " Hz); select one sweep, or number the sweeps in a column and fit them all with "
         "korvex.fit_many(frame, by=<that column>)")
            .c_str());
  }
}

}  // namespace

SpectrumData read_spectrum(nb::handle frequencies, nb::handle impedances, FrameRows rows) {
  if (impedances.is_none()) {
    SpectrumData out = unpack_frame(frequencies);
    if (rows == FrameRows::OneSpectrum) refuse_several_spectra(frequencies, out);
    return out;
  }
  SpectrumData out;
  out.frequencies = to_float_list(frequencies, "frequencies");
  out.impedances = to_complex_list(impedances, "impedances");
  if (out.frequencies.size() != out.impedances.size()) {
    throw nb::value_error("frequencies and impedances must have the same length");
  }
  return out;
}

std::vector<double> read_frequencies(nb::handle frequencies) {
  std::vector<double> out;
  if (try_float_list(frequencies, out)) return out;
  if (column(frequencies, kFrequency, out)) return out;
  throw nb::value_error(("expected a sequence of frequencies, or a dataframe with a " +
                         kFrequency.describe() + " column")
                            .c_str());
}

namespace {

// A buffer's item format is native float64 ("d", or "<d" etc. where that is native).
bool native_double_format(const char* format) {
  if (!format) return false;
  if (*format == '@' || *format == '=' ||
      (*format == '<' && std::endian::native == std::endian::little)) {
    ++format;
  }
  return std::strcmp(format, "d") == 0;
}

}  // namespace

FrequencyInput::FrequencyInput(nb::handle frequencies) {
  PyObject* obj = frequencies.ptr();
  if (PyObject_CheckBuffer(obj)) {
    if (PyObject_GetBuffer(obj, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
      if (view_.ndim == 1 && view_.itemsize == static_cast<Py_ssize_t>(sizeof(double)) &&
          native_double_format(view_.format)) {
        borrowed_ = true;
        values_ = {static_cast<const double*>(view_.buf), static_cast<std::size_t>(view_.shape[0])};
        return;
      }
      PyBuffer_Release(&view_);
    } else {
      PyErr_Clear();
    }
  }
  copy_ = read_frequencies(frequencies);
  values_ = copy_;
}

FrequencyInput::~FrequencyInput() {
  if (borrowed_) PyBuffer_Release(&view_);
}

std::optional<Weighting> weighting_named(const std::string& name) {
  if (name == "unit") return Weighting::Unit;
  if (name == "modulus") return Weighting::Modulus;
  return std::nullopt;
}

Weighting parse_weighting(const std::string& name) {
  if (auto weighting = weighting_named(name)) return *weighting;
  throw nb::value_error(
      ("unknown weight scheme " + debug_string(name) + ", expected \"modulus\" or \"unit\"")
          .c_str());
}

}  // namespace korvex::py
