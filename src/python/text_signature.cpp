// Text signatures for the module's callables.
//
// A nanobind function has no __text_signature__, and its __doc__ begins with
// its typed signature, so inspect.signature(), IPython's "?", Jupyter's hints
// and Sphinx cannot read it. The interpreter derives both attributes from a
// docstring of the form "name(text signature)\n--\n\ndoc" on its own function,
// method and type objects. So each public nanobind function of the module and
// of its classes (and every __init__) is replaced by a CPython function or
// method object with that docstring, which forwards the call unchanged to the
// nanobind function; each class gets the constructor's text signature through
// its type doc slot.
//
// The text signature is the nanobind signature without annotations and return
// type: the nb::sig string (or the one nanobind renders) is the one place a
// signature is written, and the stubs are generated from it.
#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/bindings.hpp"
#include "python/convert.hpp"

namespace korvex::py {
namespace {

// One forwarded callable. CPython's method objects carry no closure, so each
// slot has its own C entry point (below) that knows its slot by index.
struct Forward {
  PyObject* target = nullptr;  // the nanobind function, kept alive for the process
  bool prepend_self = false;   // a method: `self` comes separately from the arguments
  std::string name;
  std::string doc;
  PyMethodDef def{};
};

// Enough for every callable of the module; registration fails loudly beyond it.
constexpr std::size_t kMaxForwards = 160;
std::array<Forward, kMaxForwards> forwards;  // PyMethodDef must outlive its objects
std::size_t forwards_used = 0;

PyObject* call_forward(const Forward& f, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  if (!f.prepend_self) return PyObject_Vectorcall(f.target, args, nargs, kwnames);
  const Py_ssize_t total = nargs + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  // One spare slot in front lets the nanobind function borrow it (vectorcall offset).
  std::array<PyObject*, 34> small;
  std::vector<PyObject*> large;
  PyObject** buffer = small.data();
  if (static_cast<std::size_t>(total) + 2 > small.size()) {
    large.resize(static_cast<std::size_t>(total) + 2);
    buffer = large.data();
  }
  buffer[1] = self;
  if (total > 0) std::memcpy(buffer + 2, args, static_cast<std::size_t>(total) * sizeof(PyObject*));
  return PyObject_Vectorcall(f.target, buffer + 1,
                             static_cast<std::size_t>(nargs + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                             kwnames);
}

template <std::size_t I>
PyObject* forward_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return call_forward(forwards[I], self, args, nargs, kwnames);
}

// A METH_FASTCALL | METH_KEYWORDS entry point.
using FastCallEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t... I>
constexpr std::array<FastCallEntry, sizeof...(I)> make_entries(std::index_sequence<I...>) {
  return {&forward_entry<I>...};
}
constexpr auto kEntries = make_entries(std::make_index_sequence<kMaxForwards>{});

// "nb_method" for a nanobind method, "nb_func" for a function or static
// method, "" for anything else. Overloaded functions are left as they are:
// one text signature cannot describe them.
std::string nanobind_kind(nb::handle obj) {
  nb::handle type = obj.type();
  if (nb::cast<std::string>(type.attr("__module__")) != "nanobind") return "";
  std::string name = nb::cast<std::string>(type.attr("__name__"));
  if (name != "nb_method" && name != "nb_func") return "";
  return nb::len(nb::object(obj.attr("__nb_signature__"))) == 1 ? name : "";
}

bool is_public(std::string_view name) { return name.empty() || name[0] != '_'; }

// Splits a parameter list at the commas outside brackets and string literals.
std::vector<std::string_view> split_parameters(std::string_view list) {
  std::vector<std::string_view> out;
  int depth = 0;
  char quote = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (quote) {
      if (c == '\\')
        ++i;
      else if (c == quote)
        quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      --depth;
    } else if (c == ',' && depth == 0) {
      out.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  if (list.find_first_not_of(' ', start) != std::string_view::npos) {
    out.push_back(list.substr(start));
  }
  return out;
}

std::string_view trim(std::string_view s) {
  const auto begin = s.find_first_not_of(' ');
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(' ') - begin + 1);
}

// Position of the first `c` outside brackets and string literals, or npos.
std::size_t find_top_level(std::string_view s, char c) {
  int depth = 0;
  char quote = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char x = s[i];
    if (quote) {
      if (x == '\\')
        ++i;
      else if (x == quote)
        quote = 0;
    } else if (x == c && depth == 0) {
      return i;
    } else if (x == '"' || x == '\'') {
      quote = x;
    } else if (x == '(' || x == '[' || x == '{') {
      ++depth;
    } else if (x == ')' || x == ']' || x == '}') {
      --depth;
    }
  }
  return std::string_view::npos;
}

// A default as nanobind reports it: literal text, or "\N" / "\=N" naming
// entry N of the defaults tuple (a value, or its text when given as a str).
std::string default_text(std::string_view text, nb::handle defaults) {
  if (text.size() < 2 || text[0] != '\\') return std::string(text);
  const std::size_t digits = text[1] == '=' ? 2 : 1;
  const std::size_t index = std::stoul(std::string(text.substr(digits)));
  nb::handle value = PyTuple_GET_ITEM(defaults.ptr(), static_cast<Py_ssize_t>(index));
  if (digits == 2 && PyUnicode_Check(value.ptr())) return nb::cast<std::string>(value);
  return nb::cast<std::string>(nb::repr(value));
}

// "(a, b=1, *, c=None)" from "def f(a: int, b: int = \0, *, c: str | None = None) -> X".
// A method's first parameter becomes "$self"; a function's stays as it is.
std::string text_signature(std::string_view typed, nb::handle defaults, bool method) {
  const std::size_t last_line = typed.rfind('\n');
  if (last_line != std::string_view::npos) typed = typed.substr(last_line + 1);
  const std::size_t open = typed.find('(');
  if (open == std::string_view::npos)
    raise_type_error("unreadable signature " + std::string(typed));
  std::string_view rest = typed.substr(open + 1);
  rest = rest.substr(0, find_top_level(rest, ')'));
  std::string out = "(";
  bool first = true;
  for (std::string_view parameter : split_parameters(rest)) {
    parameter = trim(parameter);
    const std::size_t equals = find_top_level(parameter, '=');
    const std::size_t colon = find_top_level(parameter.substr(0, equals), ':');
    std::string item(trim(parameter.substr(0, std::min(colon, equals))));
    if (first && method) item = "$" + item;
    if (equals != std::string_view::npos) {
      item += "=" + default_text(trim(parameter.substr(equals + 1)), defaults);
    }
    out += (first ? "" : ", ") + item;
    first = false;
  }
  return out + ")";
}

// The forwarding object for `function`, named `name`: a method descriptor of
// `owner` when `method`, else a function (static when `owner` is a class).
nb::object make_forward(nb::handle function, const std::string& name, nb::handle owner, bool method,
                        std::string& signature_out) {
  if (forwards_used == kMaxForwards) {
    throw std::runtime_error("text signatures: more callables than forwarding slots");
  }
  nb::tuple overloads = nb::borrow<nb::tuple>(function.attr("__nb_signature__"));
  nb::tuple only = nb::borrow<nb::tuple>(overloads[0]);
  const std::string typed = nb::cast<std::string>(only[0]);
  signature_out = text_signature(typed, only[2], method);

  Forward& f = forwards[forwards_used];
  f.target = function.inc_ref().ptr();
  f.prepend_self = method;
  f.name = name;
  f.doc = name + signature_out + "\n--\n\n" +
          (only[1].is_none() ? std::string() : nb::cast<std::string>(only[1]));
  f.def.ml_name = f.name.c_str();
  // The interpreter's own cast for METH_FASTCALL | METH_KEYWORDS entries.
  f.def.ml_meth =
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kEntries[forwards_used]));
  f.def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
  f.def.ml_doc = f.doc.c_str();
  ++forwards_used;

  if (method)
    return nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(owner.ptr()), &f.def));
  // Users meet the functions in the package, so that is their module.
  nb::object module_name = nb::str("korvex");
  const bool in_module = PyModule_Check(owner.ptr());
  nb::object fn =
      nb::steal(PyCFunction_NewEx(&f.def, in_module ? owner.ptr() : nullptr, module_name.ptr()));
  if (!fn.is_valid() || in_module) return fn;
  return nb::steal(PyStaticMethod_New(fn.ptr()));
}

void check(nb::handle result) {
  if (!result.is_valid()) raise_pending();
}

// The class's doc slot becomes "Name(signature)\n--\n\n" + its docstring, from
// which the interpreter reads the class's __text_signature__; __doc__ stays.
void set_type_signature(nb::handle cls, const std::string& init_signature) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
  // "($self, s)" -> "(s)"; "($self)" -> "()".
  const std::size_t after_self = init_signature.find_first_of(",)");
  std::string signature =
      "(" + std::string(trim(init_signature.substr(
                init_signature[after_self] == ',' ? after_self + 1 : after_self)));
  nb::object doc = nb::getattr(cls, "__doc__", nb::none());
  const std::string text = nb::cast<std::string>(nb::getattr(cls, "__name__")) + signature +
                           "\n--\n\n" +
                           (doc.is_none() ? std::string() : nb::cast<std::string>(doc));
  char* copy = static_cast<char*>(PyObject_Malloc(text.size() + 1));
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  PyObject_Free(const_cast<char*>(type->tp_doc));
  type->tp_doc = copy;
  PyType_Modified(type);
}

void expose_class(nb::handle cls) {
  PyObject* dict = reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict;
  nb::dict members = nb::borrow<nb::dict>(dict);
  std::vector<std::pair<nb::object, nb::object>> replaced;
  std::string init_signature;
  for (auto [key, value] : members) {
    const std::string name = nb::cast<std::string>(key);
    const std::string kind = nanobind_kind(value);
    if (kind.empty() || !(is_public(name) || name == "__init__")) continue;
    const bool method = kind == "nb_method";
    std::string signature;
    nb::object forward = make_forward(value, name, cls, method, signature);
    check(forward);
    if (name == "__init__") init_signature = signature;
    replaced.emplace_back(nb::borrow(key), std::move(forward));
  }
  // Written into the type's dict directly: the type slots (tp_init among
  // them) keep calling nanobind's own code.
  for (auto& [key, forward] : replaced) {
    if (PyDict_SetItem(dict, key.ptr(), forward.ptr()) < 0) raise_pending();
  }
  PyType_Modified(reinterpret_cast<PyTypeObject*>(cls.ptr()));
  if (!init_signature.empty()) set_type_signature(cls, init_signature);
}

void expose_text_signatures(nb::module_ m) {
  nb::dict members = nb::borrow<nb::dict>(m.attr("__dict__"));
  std::vector<std::pair<nb::object, nb::object>> replaced;
  for (auto [key, value] : members) {
    const std::string name = nb::cast<std::string>(key);
    if (nb::type_check(value)) {
      if (nb::cast<std::string>(nb::getattr(value, "__name__")) == name) expose_class(value);
    } else if (is_public(name) && !nanobind_kind(value).empty()) {
      std::string signature;
      nb::object forward = make_forward(value, name, m, false, signature);
      check(forward);
      replaced.emplace_back(nb::borrow(key), std::move(forward));
    }
  }
  for (auto& [key, forward] : replaced) members[key] = forward;
}

}  // namespace

void register_text_signatures(nb::module_& m) {
  // The package calls this once on import. The stub generator imports this
  // module alone and so still reads the typed nanobind functions.
  m.def(
      "_expose_text_signatures", [m]() { expose_text_signatures(m); },
      "Private: give the module's callables their text signatures (see text_signature.cpp).");
}

}  // namespace korvex::py
