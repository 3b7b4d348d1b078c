#include "circuit/parser.hpp"

#include <unordered_set>
#include <vector>

#include "common/format.hpp"
#include "common/utf8.hpp"

namespace korvex {
namespace {

bool is_letter(char32_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_digit(char32_t c) { return c >= '0' && c <= '9'; }

class Parser {
 public:
  explicit Parser(std::u32string chars) : chars_(std::move(chars)) {}

  bool at_end() const { return pos_ >= chars_.size(); }
  std::size_t position() const { return pos_; }
  const std::optional<ParseError>& error() const { return error_; }

  SeriesList series(std::size_t depth) {
    SeriesList list;
    if (!item(list, depth)) return list;
    while (!at_end() && chars_[pos_] == U'-') {
      ++pos_;
      if (!item(list, depth)) return list;
    }
    return list;
  }

 private:
  bool fail(ParseError::Kind kind, std::size_t position, std::string text = {}) {
    error_ = ParseError{kind, position, std::move(text)};
    return false;
  }

  bool opens_group() const {
    if (at_end()) return false;
    if (chars_[pos_] == U'(') return true;
    return chars_[pos_] == U'p' && pos_ + 1 < chars_.size() && chars_[pos_ + 1] == U'(';
  }

  bool item(SeriesList& list, std::size_t depth) {
    if (opens_group()) {
      if (depth >= kMaxNestingDepth) return fail(ParseError::Kind::TooDeep, pos_);
      pos_ += chars_[pos_] == U'(' ? 1 : 2;
      return body(list, depth + 1);
    }
    return element(list);
  }

  bool body(SeriesList& list, std::size_t depth) {
    std::vector<SeriesList> branches;
    branches.push_back(series(depth));
    if (error_) return false;
    while (true) {
      if (!at_end() && chars_[pos_] == U',') {
        ++pos_;
        branches.push_back(series(depth));
        if (error_) return false;
      } else if (!at_end() && chars_[pos_] == U')') {
        ++pos_;
        list.push_back(Node::make_parallel(std::move(branches)));
        return true;
      } else {
        return fail(ParseError::Kind::UnexpectedEnd, pos_);
      }
    }
  }

  bool element(SeriesList& list) {
    const std::size_t start = pos_;
    if (at_end()) return fail(ParseError::Kind::UnexpectedEnd, pos_);
    std::size_t p = pos_;
    while (p < chars_.size() && is_letter(chars_[p])) ++p;
    if (p == start) return fail(ParseError::Kind::UnexpectedCharacter, start);
    const std::size_t letters_end = p;
    while (p < chars_.size() && is_digit(chars_[p])) ++p;
    if (p == letters_end) return fail(ParseError::Kind::UnexpectedCharacter, letters_end);
    // Letters and digits are ASCII, so the code and label convert byte for byte.
    const std::string code(chars_.begin() + start, chars_.begin() + letters_end);
    const std::string label(chars_.begin() + start, chars_.begin() + p);
    const auto element = default_for_code(code);
    if (!element) return fail(ParseError::Kind::UnknownCode, start, code);
    list.push_back(Node::make_element(*element, label));
    pos_ = p;
    return true;
  }

  std::u32string chars_;
  std::size_t pos_ = 0;
  std::optional<ParseError> error_;
};

}  // namespace

std::string ParseError::message() const {
  switch (kind) {
    case Kind::UnexpectedCharacter:
      return "unexpected character at position " + std::to_string(position);
    case Kind::UnexpectedEnd: return "unexpected end of input";
    case Kind::UnknownCode:
      return "unknown element code " + debug_string(text) + " at position " +
             std::to_string(position);
    case Kind::TrailingInput:
      return "unexpected trailing input at position " + std::to_string(position);
    case Kind::DuplicateLabel: return "duplicate element label " + debug_string(text);
    case Kind::TooDeep:
      return "groups nested more than " + std::to_string(kMaxNestingDepth) + " deep at position " +
             std::to_string(position);
  }
  return {};
}

std::variant<SeriesList, ParseError> parse(std::string_view text) {
  Parser parser(decode_utf8(text));
  SeriesList list = parser.series(0);
  if (parser.error()) return *parser.error();
  if (!parser.at_end()) return ParseError{ParseError::Kind::TrailingInput, parser.position(), {}};
  std::unordered_set<std::string> seen;
  for (const Leaf& leaf : collect_leaves(list)) {
    if (*leaf.label && !seen.insert(**leaf.label).second) {
      return ParseError{ParseError::Kind::DuplicateLabel, 0, **leaf.label};
    }
  }
  return list;
}

}  // namespace korvex
