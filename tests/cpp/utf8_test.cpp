#include "common/utf8.hpp"

#include <gtest/gtest.h>

namespace korvex {
namespace {

TEST(Utf8, DecodeCountsEachMalformedByteAsOneReplacement) {
  EXPECT_EQ(decode_utf8("a\xC3\xA9\xE2\x82\xAC"), U"a\u00E9\u20AC");
  EXPECT_EQ(decode_utf8("\x80"
                        "a\xE2\x82"),
            U"\uFFFDa\uFFFD\uFFFD");
}

TEST(Utf8, StrictValidity) {
  EXPECT_TRUE(valid_utf8("R0 \xF0\x9F\x94\x8B"));
  for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
    EXPECT_FALSE(valid_utf8(bad)) << bad;
  }
}

TEST(Utf8, TrimsUnicodeWhiteSpaceOnly) {
  EXPECT_EQ(trim_white_space("\u3000\t rc\u00A0\n"), "rc");
  EXPECT_EQ(trim_white_space("\x1C"
                             "rc"),
            "\x1C"
            "rc");
  EXPECT_EQ(trim_white_space(" \u2028 "), "");
}

}  // namespace
}  // namespace korvex
