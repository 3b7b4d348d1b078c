#include "python/fit_options.hpp"

#include <filesystem>

#include <nanobind/stl/string.h>

#include "python/convert.hpp"
#include "python/fit_arguments.hpp"
#include "python/fit_controls.hpp"
#include "python/fit_starts.hpp"

namespace korvex::py {
namespace {

template <class T>
T& member(FitOptions& options, const OptionField& field) {
  return options.*std::get<T FitOptions::*>(field.member);
}

const char* kind_name(OptionKind kind) {
  switch (kind) {
    case OptionKind::Text:
    case OptionKind::Weighting: return "str";
    case OptionKind::Count32:
    case OptionKind::Count64: return "int";
    case OptionKind::Tolerance:
    case OptionKind::Real: return "float";
    case OptionKind::Seed: return "int | None";
    case OptionKind::Switch: return "bool | None";
    case OptionKind::Path: return "str | None";
    case OptionKind::Starts: return "int | str | None";
    case OptionKind::Constants: return "mapping of floats";
    case OptionKind::Bounds: return "mapping of (lo, hi) pairs";
  }
  return "";
}

// The table as (name, kind, keyword_only, doc) tuples, for the package and
// the command line.
nb::list fit_options_list() {
  nb::list out;
  for (const OptionField& f : fit_option_table()) {
    out.append(nb::make_tuple(f.name, kind_name(f.kind), f.keyword_only, f.doc));
  }
  return out;
}

}  // namespace

void set_fit_option(FitOptions& options, const OptionField& field, nb::handle value) {
  const char* arg = field.name;
  switch (field.kind) {
    case OptionKind::Text: member<std::string>(options, field) = to_str(value, arg); break;
    case OptionKind::Weighting:
      member<Weighting>(options, field) = parse_weighting(to_str(value, arg));
      break;
    case OptionKind::Count32:
      member<std::uint64_t>(options, field) = to_unsigned(value, arg, kMaxU32);
      break;
    case OptionKind::Count64:
      member<std::uint64_t>(options, field) = to_unsigned(value, arg, kMaxU64);
      break;
    case OptionKind::Tolerance: member<double>(options, field) = to_tolerance(value, arg); break;
    case OptionKind::Real: member<double>(options, field) = to_double(value, arg); break;
    case OptionKind::Seed:
      member<std::optional<std::uint64_t>>(options, field) = to_optional_u64(value, arg);
      break;
    case OptionKind::Switch:
      member<std::optional<bool>>(options, field) = to_optional_bool(value, arg);
      break;
    case OptionKind::Path:
      member<std::optional<std::string>>(options, field) = to_optional_str(value, arg);
      break;
    case OptionKind::Starts:
      member<std::optional<StartCount>>(options, field) = to_starts(value);
      break;
    case OptionKind::Constants:
      member<NamedValues>(options, field) = to_named_values(value, arg);
      break;
    case OptionKind::Bounds:
      member<NamedBounds>(options, field) = to_named_bounds(value, arg);
      break;
  }
}

FitOptions read_fit_options(nb::handle keywords, const char* function) {
  FitOptions options;
  if (keywords.is_none()) return options;
  for (auto [key, value] : nb::cast<nb::dict>(keywords)) {
    const std::string name = nb::cast<std::string>(key);
    const OptionField* field = find_fit_option(name);
    if (!field) raise_unexpected_keyword(function, name);
    set_fit_option(options, *field, value);
  }
  // A whole batch is refused for a bad option, before any spectrum is fitted.
  if (auto problem = options.validate()) throw nb::value_error(problem->c_str());
  return options;
}

void raise_unexpected_keyword(const char* function, const std::string& name) {
  const auto close = closest_fit_option(name);
  raise_type_error(std::string(function) + "() got an unexpected keyword argument '" + name + "'" +
                   (close ? ". Did you mean '" + *close + "'?" : ""));
}

std::string with_weights_hint(std::string message, const FitOptions& options) {
  const auto& path = options.weights;
  std::error_code error;
  if (path && weighting_named(*path) && !std::filesystem::exists(*path, error)) {
    message += " (did you mean weight='" + *path + "'?)";
  }
  return message;
}

void register_fit_options(nb::module_& m) {
  m.def("_fit_options", &fit_options_list,
        "The keyword options of every fit as (name, kind, keyword_only, doc) tuples, in the "
        "order of Circuit.fit's signature.");
}

}  // namespace korvex::py
