#include "fit/outcome_report.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "circuit/text.hpp"
#include "common/format.hpp"

namespace korvex {
namespace {

std::string g(double x, int digits) {
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.*g", digits, x);
  return buffer;
}

struct Row {
  std::string name, value, stderr_, relative, unit, flags;
};

std::vector<Row> parameter_rows(const FitOutcome& o) {
  const auto units = param_units(o.circuit);
  const std::size_t n = std::min({o.param_names.size(), o.params.size(), units.size()});
  std::vector<Row> rows;
  for (std::size_t j = 0; j < n; ++j) {
    Row r{o.param_names[j], g(o.params[j], 6), "-", "-", std::string(units[j]), ""};
    const bool held = j < o.held.size() && o.held[j];
    if (o.stderr_ && !held) {
      const double se = (*o.stderr_)[j];
      r.stderr_ = g(se, 3);
      if (o.params[j] != 0.0 && std::isfinite(se)) {
        r.relative = g(100.0 * se / std::fabs(o.params[j]), 3) + "%";
      }
    }
    if (held) r.flags = "held";
    if (j < o.at_bound.size() && o.at_bound[j]) r.flags = "at bound";
    rows.push_back(std::move(r));
  }
  return rows;
}

std::string summary(const FitOutcome& o) {
  std::size_t held = 0;
  for (bool h : o.held) held += h;
  return "chi-square " + scientific6(o.chi_square) + ", " + std::to_string(o.params.size()) +
         " parameters (" + std::to_string(held) + " held), " + std::to_string(o.iterations) +
         " iterations, " + std::to_string(o.impedance_evals) + " impedance evaluations";
}

std::string headline(const FitOutcome& o) {
  return "Fit " + std::string(o.success ? "succeeded" : "failed") + ": " +
         std::string(termination_name(o.termination));
}

std::string pad(std::string s, std::size_t width) {
  if (s.size() < width) s.resize(width, ' ');
  return s;
}

std::string escape_html(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

std::string fit_report_text(const FitOutcome& o) {
  std::vector<std::string> lines{
      headline(o), "  " + std::string(termination_message(o.termination)), "  " + summary(o), ""};
  std::vector<Row> rows = parameter_rows(o);
  rows.insert(rows.begin(), Row{"parameter", "value", "stderr", "rel. err", "unit", "flags"});
  std::size_t w[5] = {0, 0, 0, 0, 0};
  for (const Row& r : rows) {
    const std::string* cells[5] = {&r.name, &r.value, &r.stderr_, &r.relative, &r.unit};
    for (int k = 0; k < 5; ++k) w[k] = std::max(w[k], cells[k]->size());
  }
  for (const Row& r : rows) {
    std::string line = "  " + pad(r.name, w[0]) + "  " + pad(r.value, w[1]) + "  " +
                       pad(r.stderr_, w[2]) + "  " + pad(r.relative, w[3]) + "  " +
                       pad(r.unit, w[4]) + "  " + r.flags;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    lines.push_back(line);
  }
  if (!o.warnings.empty()) {
    lines.push_back("");
    lines.push_back("Warnings:");
    for (const auto& w : o.warnings) lines.push_back("  - " + w);
  }
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

std::string fit_report_html(const FitOutcome& o) {
  // The circuit first: a notebook shows many results one under another.
  std::string out = "<div><p><code>" + escape_html(circuit_text(o.circuit)) + "</code><br><b>" +
                    escape_html(headline(o)) + "</b><br>" +
                    escape_html(std::string(termination_message(o.termination))) + "<br>" +
                    escape_html(summary(o)) +
                    "</p>\n<table>\n<tr><th>parameter</th><th>value</th>"
                    "<th>stderr</th><th>rel. err</th><th>unit</th><th>flags</th></tr>\n";
  for (const Row& r : parameter_rows(o)) {
    out += "<tr><td>" + escape_html(r.name) + "</td><td>" + r.value + "</td><td>" + r.stderr_ +
           "</td><td>" + r.relative + "</td><td>" + escape_html(r.unit) + "</td><td>" + r.flags +
           "</td></tr>\n";
  }
  out += "</table>";
  if (!o.warnings.empty()) {
    out += "\n<p>Warnings:</p>\n<ul>";
    for (const auto& w : o.warnings) out += "<li>" + escape_html(w) + "</li>";
    out += "</ul>";
  }
  return out + "</div>";
}

}  // namespace korvex
