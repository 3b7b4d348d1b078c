#pragma once
// A fit's outcome as a readable report: status, chi-square, one row per
// parameter (value, standard error, relative error, unit, flags), warnings.
#include <string>

#include "fit/outcome.hpp"

namespace korvex {

// Plain text, lines joined by '\n', no trailing newline.
std::string fit_report_text(const FitOutcome& outcome);
// The same as an HTML fragment (a heading line, a table, a warning list).
std::string fit_report_html(const FitOutcome& outcome);

}  // namespace korvex
