#include <string>

#include <nanobind/stl/string.h>

#include "common/format.hpp"
#include "python/bindings.hpp"
#include "python/convert.hpp"
#include "python/persist.hpp"

namespace korvex::py {
namespace {

constexpr const char* kElementDoc =
    "A single circuit element.\n\nThese are Python subclasses taking its fields as arguments.\n"
    "They are combined with `Series()` and `Parallel()`.";

template <int K>
struct KindElement : PyElement {};

std::string element_repr(const PyElement& e) {
  const KindInfo& info = kind_info(e.element.kind);
  std::string out = "Element." + std::string(info.code) + "(";
  for (std::size_t i = 0; i < info.field_count; ++i) {
    if (i) out += ", ";
    out += std::string(info.field_names[i]) + "=" + debug_float(e.element.fields[i]);
  }
  return out + ")";
}

template <int K>
void bind_kind(nb::module_& m, nb::class_<PyElement>& base) {
  const KindInfo& info = kind_info(static_cast<Kind>(K));
  const std::string name = "Element_" + std::string(info.code);
  auto cls = nb::class_<KindElement<K>, PyElement>(m, name.c_str(), "");
  const std::size_t n = info.field_count;

  // Fields are required, positional or by keyword; each goes through the
  // interpreter's float conversion so ints and NumPy scalars work too.
  // Signature for help() and the stubs: the fields, each a float.
  static const std::string signature = [&] {
    std::string sig = "def __init__(self";
    for (std::size_t i = 0; i < n; ++i) sig += ", " + std::string(info.field_names[i]) + ": float";
    return sig + ") -> None";
  }();
  cls.def(
      "__init__",
      [](KindElement<K>* self, nb::args args, nb::kwargs kwargs) {
        const KindInfo& info = kind_info(static_cast<Kind>(K));
        const std::size_t n = info.field_count;
        if (args.size() > n) {
          raise_type_error(std::string(info.code) + "() takes " + std::to_string(n) +
                           " positional arguments but " + std::to_string(args.size()) +
                           " were given");
        }
        Element e{static_cast<Kind>(K), {}};
        std::size_t used_kwargs = 0;
        for (std::size_t i = 0; i < n; ++i) {
          const std::string field(info.field_names[i]);
          nb::handle value;
          const bool in_kwargs = kwargs.contains(field.c_str());
          if (i < args.size()) {
            if (in_kwargs)
              raise_type_error("argument for '" + field + "' given by name and position");
            value = args[i];
          } else if (in_kwargs) {
            value = kwargs[field.c_str()];
            ++used_kwargs;
          } else {
            raise_type_error("missing required argument '" + field + "'");
          }
          e.fields[i] = to_double(value, field.c_str());
        }
        if (used_kwargs != kwargs.size()) {
          for (auto [key, _] : kwargs) {
            const std::string k = nb::cast<std::string>(nb::str(key));
            bool known = false;
            for (std::size_t i = 0; i < n; ++i) known = known || k == info.field_names[i];
            if (!known) raise_type_error("unexpected keyword argument '" + k + "'");
          }
        }
        new (self) KindElement<K>{{e}};
      },
      nb::sig(signature.c_str()));
  nb::list match_args;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string field(info.field_names[i]);
    cls.def_prop_ro(field.c_str(), [i](const PyElement& e) { return e.element.fields[i]; });
    match_args.append(nb::str(field.c_str()));
  }
  cls.attr("__match_args__") = nb::tuple(match_args);
  base.attr(std::string(info.code).c_str()) = cls;
  // Pickle finds the class where users meet it.
  cls.attr("__qualname__") = "Element." + std::string(info.code);
}

template <int... K>
void bind_all(nb::module_& m, nb::class_<PyElement>& base, std::integer_sequence<int, K...>) {
  (bind_kind<K>(m, base), ...);
}

}  // namespace

void register_elements(nb::module_& m) {
  auto base = nb::class_<PyElement>(m, "Element", kElementDoc);
  base.def("__init__", [](PyElement*, nb::args, nb::kwargs) {
    raise_type_error("No constructor defined for Element");
  });
  base.def("__repr__", &element_repr);
  register_element_persistence(base);
  bind_all(m, base, std::make_integer_sequence<int, static_cast<int>(kKindCount)>{});
}

void register_element_aliases(nb::module_& m) {
  nb::object base = m.attr("Element");
  for (std::size_t k = 0; k < kKindCount; ++k) {
    const std::string c(kind_info(static_cast<Kind>(k)).code);
    m.attr(c.c_str()) = base.attr(c.c_str());
  }
}

}  // namespace korvex::py
