#pragma once
// Circuit description language, e.g. "R0-(R1,C1)" or "R0-p(R1,CPE1)-W2".
//   series = item { "-" item }
//   item   = "(" body | "p(" body | element
//   body   = series { "," series } ")"
//   element = letters digits        (the label is the whole match)
#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "circuit/node.hpp"

namespace korvex {

struct ParseError {
  enum class Kind {
    UnexpectedCharacter,
    UnexpectedEnd,
    UnknownCode,
    TrailingInput,
    DuplicateLabel,
    TooDeep,  // more than kMaxNestingDepth nested groups
  };
  Kind kind;
  std::size_t position = 0;  // in characters (Unicode scalar values)
  std::string text;          // the unknown code or the duplicate label

  bool has_position() const { return kind != Kind::UnexpectedEnd && kind != Kind::DuplicateLabel; }
  std::string message() const;
};

// Parses UTF-8 text; invalid UTF-8 bytes count as one (unexpected) character each.
std::variant<SeriesList, ParseError> parse(std::string_view text);

}  // namespace korvex
