#include <algorithm>
#include <complex>
#include <cstring>
#include <memory>
#include <unordered_map>

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include "circuit/impedance.hpp"
#include "circuit/params.hpp"
#include "circuit/parser.hpp"
#include "common/format.hpp"
#include "common/units.hpp"
#include "common/utf8.hpp"
#include "models/builtin_topologies.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/persist.hpp"

namespace korvex::py {
namespace {

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

std::string syntax_help(const std::string& text, const ParseError& error) {
  std::string out = error.message() + "\n\n";
  if (error.has_position()) {
    out += "  " + text + "\n  " + std::string(error.position, ' ') + "^\n\n";
  }
  out +=
      "syntax:\n"
      "  - every element needs a numeric label, e.g. \"R0\" and \"C1\", not \"R\" and \"C\"\n"
      "  - connect elements in series with '-', e.g. \"R0-C1\"\n"
      "  - connect elements in parallel with '(...)' or 'p(...)', e.g. \"R0-(R1,C1)\" or "
      "\"R0-p(R1,C1)\"\n"
      "\n"
      "available elements (code, parameters, [units]):";
  for (std::string_view code_text : codes()) {
    const auto element = default_for_code(code_text);
    if (!element) throw std::runtime_error("Element::CODES entries must all be valid");
    const KindInfo& info = kind_info(element->kind);
    std::string line = "  " + std::string(code_text);
    line.resize(std::max<std::size_t>(line.size(), 6), ' ');
    line += "  ";
    for (std::size_t i = 0; i < info.field_count; ++i) {
      if (i) line += ", ";
      line += std::string(info.field_names[i]) + " [" + std::string(info.units[i]) + "]";
    }
    out += "\n" + line;
  }
  return out;
}

void init_circuit(PyCircuit* self, nb::handle s) {
  const std::string text = to_str(s, "s");
  const std::string_view trimmed = trim_white_space(text);
  std::string_view to_parse = text;
  for (const auto& topology : models::kBuiltinTopologies) {
    if (ascii_iequals(trimmed, topology.name)) {
      to_parse = topology.circuit;
      break;
    }
  }
  auto parsed = parse(to_parse);
  if (auto* error = std::get_if<ParseError>(&parsed)) {
    // Built from the whole string: the echoed text may hold NUL characters.
    const std::string message = syntax_help(std::string(to_parse), *error);
    if (PyObject* text =
            PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size()))) {
      PyErr_SetObject(PyExc_ValueError, text);
      Py_DECREF(text);
    }
    raise_pending();
  }
  new (self) PyCircuit{std::move(std::get<SeriesList>(parsed)), false};
}

std::string pad(std::string s, std::size_t width) {
  if (s.size() < width) s.resize(width, ' ');
  return s;
}

std::size_t display_width(const std::string& s) {
  std::size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

std::string pad_chars(const std::string& s, std::size_t width) {
  const std::size_t w = display_width(s);
  return w < width ? s + std::string(width - w, ' ') : s;
}

std::string circuit_repr(const PyCircuit& c) {
  const auto names = param_names(c.nodes);
  const auto values = param_values(c.nodes);
  const auto units = param_units(c.nodes);
  const auto bnds = param_bounds(c.nodes);
  std::size_t w = 0;
  for (const auto& n : names) w = std::max(w, display_width(n));
  const std::size_t n = names.size();
  std::string out = "Circuit (" + std::to_string(n) + " parameter" + (n == 1 ? "" : "s") + ")\n";
  const std::size_t rows = std::min({names.size(), values.size(), units.size(), bnds.size()});
  for (std::size_t i = 0; i < rows; ++i) {
    if (i) out += "\n";
    out += "  " + pad_chars(names[i], w) + " = " + pad(compact_float(values[i]), 10) + " [" +
           std::string(units[i]) + "]  bounds (" + compact_float(bnds[i].first) + ", " +
           compact_float(bnds[i].second) + ")";
  }
  return out;
}

nb::object with_values(const PyCircuit& c, nb::handle values_obj) {
  const auto values = to_float_list(values_obj, "values");
  const std::size_t k = param_count(c.nodes);
  if (values.size() != k) {
    throw nb::value_error(
        ("expected " + std::to_string(k) + " values, got " + std::to_string(values.size()))
            .c_str());
  }
  return wrap_circuit(rebuild(c.nodes, values), true);
}

nb::object with_named_values(const PyCircuit& c, nb::handle values_obj) {
  if (!PyDict_Check(values_obj.ptr())) {
    raise_type_error("argument 'values': '" +
                     std::string(nb::type_name(values_obj.type()).c_str()) +
                     "' object cannot be converted to 'dict'");
  }
  std::unordered_map<std::string, double> given;
  for (auto [key, value] : nb::borrow<nb::dict>(values_obj)) {
    if (!PyUnicode_Check(key.ptr())) raise_type_error("argument 'values': keys must be str");
    given[to_str(key, "values")] = to_double(value, "values");
  }
  const auto names = param_names(c.nodes);
  std::vector<std::string> lines;
  for (const auto& [key, _] : given) {
    if (std::find(names.begin(), names.end(), key) != names.end()) continue;
    const auto suggestion = closest_param_name(key, names);
    lines.push_back(suggestion ? "unknown parameter " + debug_string(key) + " (did you mean " +
                                     debug_string(*suggestion) + "?)"
                               : "unknown parameter " + debug_string(key));
  }
  std::vector<std::string> missing;
  for (const auto& name : names) {
    if (!given.count(name)) missing.push_back(name);
  }
  if (lines.empty() && missing.empty()) {
    std::vector<double> values;
    for (const auto& name : names) values.push_back(given.at(name));
    return wrap_circuit(rebuild(c.nodes, values), true);
  }
  if (!missing.empty()) lines.push_back("missing parameter(s): " + debug_list(missing));
  lines.push_back("");
  lines.push_back("valid parameters for this circuit:");
  const auto units = param_units(c.nodes);
  const auto bnds = param_bounds(c.nodes);
  std::size_t w = 0;
  for (const auto& n : names) w = std::max(w, display_width(n));
  const std::size_t rows = std::min({names.size(), units.size(), bnds.size()});
  for (std::size_t i = 0; i < rows; ++i) {
    lines.push_back("  " + pad_chars(names[i], w) + "  [" + std::string(units[i]) + "]  bounds (" +
                    compact_float(bnds[i].first) + ", " + compact_float(bnds[i].second) + ")");
  }
  std::string message;
  for (std::size_t i = 0; i < lines.size(); ++i) message += (i ? "\n" : "") + lines[i];
  throw nb::value_error(message.c_str());
}

// Frequencies below which impedance() keeps the interpreter lock (NumPy's
// threshold for its loops).
constexpr std::size_t kKeepLockBelow = 500;

// A new complex128 NumPy array of n items, a view of its own buffer (so that
// `base` names the owner, as for every array the package returns), and its
// data. numpy.empty, looked up once, is the cheapest way there without
// NumPy's C API: exporting a buffer of our own costs some 600 ns per call.
nb::object new_complex_array(std::size_t n, Complex*& data) {
  static const nb::handle numpy = nb::module_::import_("numpy").release();
  static const nb::handle empty = nb::object(numpy.attr("empty")).release();
  static const nb::handle complex128 = nb::object(numpy.attr("complex128")).release();
  nb::object owner = empty(n, complex128);
  Py_buffer view;
  if (PyObject_GetBuffer(owner.ptr(), &view, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0) {
    raise_pending();
  }
  data = static_cast<Complex*>(view.buf);
  PyBuffer_Release(&view);  // the array keeps its memory
  return owner.attr("view")();
}

nb::object impedance_method(const PyCircuit& c, nb::handle frequencies_obj) {
  const ImpedancePlan& plan = c.impedance_plan();
  const FrequencyInput input(frequencies_obj);
  const std::span<const double> frequencies = input.values();
  const std::size_t n = frequencies.size();
  static_assert(sizeof(Complex) == sizeof(std::complex<double>));
  Complex* data = nullptr;
  nb::object array = new_complex_array(n, data);
  // As NumPy does for small arrays, a few microseconds of work keep the
  // interpreter lock: releasing and taking it back would cost a tenth of it.
  if (n < kKeepLockBelow) {
    impedance_spectrum(plan, frequencies, std::span<Complex>(data, n));
  } else {
    nb::gil_scoped_release release;
    impedance_spectrum(plan, frequencies, std::span<Complex>(data, n));
  }
  return array;
}

// The measured spectrum with angular frequencies and weights, ready for the core.
struct Prepared {
  std::vector<double> params;
  std::vector<double> omegas;
  std::vector<Complex> impedances;
  std::vector<double> weights;
};

// Refused like a short vector (which the evaluation itself reports): extra
// values would otherwise be ignored without a word.
constexpr const char* kTooManyValues = "impedance_from_iter: too many values supplied";

Prepared prepare(const PyCircuit& c, nb::handle params, nb::handle frequencies,
                 nb::handle impedances, nb::handle weight) {
  Prepared p;
  p.params = to_float_list(params, "params");
  if (p.params.size() > param_count(c.nodes)) throw nb::value_error(kTooManyValues);
  const std::string scheme = to_str(weight, "weight");
  SpectrumData data = read_spectrum(frequencies, impedances, FrameRows::Any);
  const Weighting weighting = parse_weighting(scheme);
  p.omegas = angular_frequencies(data.frequencies);
  p.impedances = std::move(data.impedances);
  p.weights = compute_weights(p.impedances, weighting);
  return p;
}

nb::list residuals_method(const PyCircuit& c, nb::handle params, nb::handle frequencies,
                          nb::handle impedances, nb::handle weight) {
  Prepared p = prepare(c, params, frequencies, impedances, weight);
  std::optional<std::vector<double>> r;
  {
    nb::gil_scoped_release release;
    EvalCounter counter;
    r = residuals(Spectrum{c.nodes, p.omegas, p.impedances, p.weights}, p.params, counter);
  }
  if (!r) throw nb::value_error(kNotEnoughValues);
  nb::list out;
  for (double v : *r) out.append(v);
  return out;
}

nb::list jacobian_method(const PyCircuit& c, nb::handle params, nb::handle frequencies,
                         nb::handle impedances, nb::handle weight) {
  Prepared p = prepare(c, params, frequencies, impedances, weight);
  std::optional<std::vector<std::vector<double>>> columns;
  {
    nb::gil_scoped_release release;
    EvalCounter counter;
    columns =
        jacobian_columns(Spectrum{c.nodes, p.omegas, p.impedances, p.weights}, p.params, counter);
  }
  if (!columns) throw nb::value_error(kNotEnoughValues);
  nb::list rows;
  if (columns->empty()) return rows;
  const std::size_t m = (*columns)[0].size();
  for (std::size_t r = 0; r < m; ++r) {
    nb::list row;
    for (const auto& col : *columns) row.append(col[r]);
    rows.append(row);
  }
  return rows;
}

constexpr const char* kResidualsDoc =
    "Weighted residual vector (interleaved `[re0, im0, re1, im1, ...]`) for an\n"
    "arbitrary parameter vector -- the same building block `fit()` uses\n"
    "internally for Levenberg-Marquardt, exposed so an external optimizer (e.g.\n"
    "`scipy.optimize.least_squares`) can drive this circuit's math directly.";
constexpr const char* kJacobianDoc =
    "Central-difference Jacobian of `residuals()` at `params`, shape `(2 *\n"
    "len(frequencies), len(params))` -- rows are residuals, columns are\n"
    "parameters, matching what `scipy.optimize.least_squares(jac=...)` expects.";

}  // namespace

nb::object wrap_circuit(SeriesList nodes, bool explicit_values) {
  return nb::cast(PyCircuit{std::move(nodes), explicit_values}, nb::rv_policy::move);
}

void register_circuit(nb::module_& m) {
  auto cls = nb::class_<PyCircuit>(m, "Circuit", "");
  cls.def("__init__", &init_circuit, nb::arg("s").none(),
          nb::sig("def __init__(self, s: str) -> None"));
  cls.def(
      "param_names", [](const PyCircuit& c) { return param_names(c.nodes); },
      "Parameter names, in the same order `with_values()` consumes and\n"
      "`with_named_values()` expects as keys.");
  cls.def("with_values", &with_values, nb::arg("values").none(),
          nb::sig("def with_values(self, values: numpy.typing.ArrayLike) -> Circuit"),
          "Rebuild this circuit with a new flat parameter vector, assigned\n"
          "positionally in `param_names()` order.");
  cls.def("with_named_values", &with_named_values, nb::arg("values").none(),
          nb::sig("def with_named_values(self, values: dict[str, float]) -> Circuit"),
          "Rebuild this circuit with parameter values looked up by name (see\n"
          "`param_names()`). Every name must be present and no unknown names\n"
          "may be supplied.");
  cls.def(
      "impedance", &impedance_method, nb::arg("frequencies").none(),
      nb::sig(
          "def impedance(self, frequencies: object) -> numpy.typing.NDArray[numpy.complex128]"));
  cls.def(
      "param_values", [](const PyCircuit& c) { return param_values(c.nodes); },
      "Current parameter values, in `param_names()` order.");
  cls.def(
      "param_bounds",
      [](const PyCircuit& c) {
        nb::list out;
        for (const auto& [lo, hi] : param_bounds(c.nodes)) out.append(nb::make_tuple(lo, hi));
        return out;
      },
      nb::sig("def param_bounds(self) -> list[tuple[float, float]]"),
      "Default physical-validity `(lo, hi)` bounds per parameter, in\n"
      "`param_names()` order. `hi` is `inf` for open-bound parameters.");
  cls.def(
      "param_units",
      [](const PyCircuit& c) {
        std::vector<std::string> out;
        for (auto u : param_units(c.nodes)) out.emplace_back(u);
        return out;
      },
      "Physical units per parameter");
  cls.def("residuals", &residuals_method, nb::arg("params").none(), nb::arg("frequencies").none(),
          nb::arg("impedances").none() = nb::none(), nb::arg("weight").none() = "modulus",
          nb::sig("def residuals(self, params: numpy.typing.ArrayLike, frequencies: object, "
                  "impedances: numpy.typing.ArrayLike | None = None, weight: str = \"modulus\") "
                  "-> list[float]"),
          kResidualsDoc);
  cls.def("jacobian", &jacobian_method, nb::arg("params").none(), nb::arg("frequencies").none(),
          nb::arg("impedances").none() = nb::none(), nb::arg("weight").none() = "modulus",
          nb::sig("def jacobian(self, params: numpy.typing.ArrayLike, frequencies: object, "
                  "impedances: numpy.typing.ArrayLike | None = None, weight: str = \"modulus\") "
                  "-> list[list[float]]"),
          kJacobianDoc);
  cls.def("__repr__", &circuit_repr);
  register_circuit_persistence(cls);
}

}  // namespace korvex::py
