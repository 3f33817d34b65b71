// The variants of safe text side by side on the same hostile bytes; each
// user's own table (device lines, PrintableText, log_escape, the probe's
// JSON) pins its variant in place.
#include "safe_text.h"

#include <gtest/gtest.h>

namespace {

TEST(SafeTextTest, EachStyleWritesHostileTextItsOwnWay) {
  // A quote, a backslash, ESC, DEL, a C1 control, U+2028, a bidirectional
  // override, UTF-8 kept, a byte that is not UTF-8, a four-byte character.
  const std::string text =
      "\"\\\x1b\x7f\xc2\x9f\xe2\x80\xa8\xe2\x80\xae\xc3\xa9\xff\xf0\x9f\x96\xa8";
  const struct {
    SafeStyle style;
    std::string expected;
  } rows[] = {
      {SafeStyle::kQuotedField, "\\\"\\\\     \xc3\xa9?\xf0\x9f\x96\xa8"},
      {SafeStyle::kPlain, "\"\\   \xe2\x80\xa8\xe2\x80\xae\xc3\xa9?\xf0\x9f\x96\xa8"},
      {SafeStyle::kJson,
       "\\\"\\\\\\u001b\\u007f\\u009f\\u2028\xe2\x80\xae\xc3\xa9?\xf0\x9f\x96\xa8"},
  };
  for (const auto& row : rows)
    EXPECT_EQ(row.expected, SafeUtf8(text, row.style)) << static_cast<int>(row.style);
  EXPECT_EQ("..A..", SafeAscii("\xff\x1b"
                               "A\x7f\x80",
                               '.'));
  EXPECT_EQ("A\\x5C\\x0A\\xFF~", HexEscaped("A\\\n\xff~"));
}

}  // namespace
