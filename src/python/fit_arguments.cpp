#include "python/fit_arguments.hpp"

#include "common/format.hpp"
#include "python/convert.hpp"

namespace korvex::py {
namespace {

std::string type_name_of(nb::handle obj) { return nb::type_name(obj.type()).c_str(); }

// numpy.bool_ (named "bool" since NumPy 2), recognised without importing NumPy.
bool is_numpy_bool(nb::handle obj) {
  nb::handle type = obj.type();
  nb::object module = nb::getattr(type, "__module__", nb::none());
  nb::object name = nb::getattr(type, "__name__", nb::none());
  if (!nb::isinstance<nb::str>(module) || !nb::isinstance<nb::str>(name)) return false;
  const std::string m = nb::cast<std::string>(module), n = nb::cast<std::string>(name);
  return m == "numpy" && (n == "bool_" || n == "bool");
}

}  // namespace

std::optional<bool> to_optional_bool(nb::handle obj, const char* arg) {
  if (obj.is_none()) return std::nullopt;
  if (PyBool_Check(obj.ptr())) return obj.ptr() == Py_True;
  if (is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj.ptr());
    if (truth < 0) raise_for_argument(arg);
    return truth == 1;
  }
  raise_type_error(std::string("argument '") + arg + "': expected True, False or None, got '" +
                   type_name_of(obj) + "'");
}

std::optional<std::string> to_optional_str(nb::handle obj, const char* arg) {
  if (obj.is_none()) return std::nullopt;
  return to_str(obj, arg);
}

std::uint64_t to_unsigned(nb::handle obj, const char* arg, std::uint64_t max) {
  // PyNumber_Index refuses floats with the interpreter's own TypeError.
  PyObject* index = PyNumber_Index(obj.ptr());
  if (!index) raise_for_argument(arg);
  const unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_for_argument(arg);
  if (v > max) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int too big to convert", arg);
    raise_pending();
  }
  return v;
}

std::optional<std::uint64_t> to_optional_u64(nb::handle obj, const char* arg) {
  if (obj.is_none()) return std::nullopt;
  return to_unsigned(obj, arg, kMaxU64);
}

double to_tolerance(nb::handle obj, const char* arg) {
  const double v = to_double(obj, arg);
  if (!(v >= 0.0)) {
    throw nb::value_error((std::string("argument '") + arg +
                           "': must be a non-negative number, got " + debug_float(v))
                              .c_str());
  }
  return v;
}

}  // namespace korvex::py
