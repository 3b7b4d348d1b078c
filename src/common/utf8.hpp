#pragma once
// UTF-8 text: decoding, validation and white space, for the parser, parameter
// names, weight files and the bindings.
#include <string>
#include <string_view>

namespace korvex {

// The code points of `text`. A byte that does not begin a complete sequence
// (a stray continuation byte, an invalid lead byte, a sequence cut short)
// becomes one U+FFFD, so that positions still count one per character.
std::u32string decode_utf8(std::string_view text);

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view text);

// The Unicode White_Space property (Python's str.strip() also strips
// U+001C..U+001F, which are not white space).
bool is_white_space(char32_t c);

// `text` without leading and trailing Unicode white space.
std::string_view trim_white_space(std::string_view text);

}  // namespace korvex
