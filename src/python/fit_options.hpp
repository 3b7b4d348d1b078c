#pragma once
// The keyword options of every fit entry point (Circuit.fit, korvex._fit_batch,
// korvex._fit_shared), converted through the core's one table
// (fit/options.hpp): the table says the name and the kind, this file the
// conversion of each kind.
#include <string>

#include "fit/options.hpp"
#include "python/bindings.hpp"

namespace korvex::py {

// `value` into the option `field` names; errors name the keyword.
void set_fit_option(FitOptions& options, const OptionField& field, nb::handle value);

// Every key of `keywords` (None or a dict) through the table, onto the
// defaults; an unknown key raises TypeError as Python does for a call of
// `function`, with the closest option name.
FitOptions read_fit_options(nb::handle keywords, const char* function);

// TypeError "<function>() got an unexpected keyword argument '<name>'", with
// Python's "Did you mean" when an option name is close.
[[noreturn]] void raise_unexpected_keyword(const char* function, const std::string& name);

// `message` (why the start failed) with a hint when `weights` is no file but
// a `weight` name: the keyword was likely meant to be weight=.
std::string with_weights_hint(std::string message, const FitOptions& options);

// Registers korvex._fit_options.
void register_fit_options(nb::module_& m);

}  // namespace korvex::py
