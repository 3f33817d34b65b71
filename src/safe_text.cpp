#include "safe_text.h"

#include <assert.h>
#include <stdio.h>

namespace {

// The code point of the well-formed sequence of `n` bytes at `p`; above
// U+FFFF nothing is a control or a mark, and 0x10000 stands for all.
unsigned CodePoint(const unsigned char* p, size_t n) {
  if (n == 1) return p[0];
  if (n == 2) return ((p[0] & 0x1Fu) << 6) | (p[1] & 0x3Fu);
  return n == 3 ? ((p[0] & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu) : 0x10000;
}

bool IsControl(unsigned code) { return code < 0x20 || (code >= 0x7F && code <= 0x9F); }

// Marks that change how text around them is shown without being shown
// themselves: the bidirectional controls (U+200E, U+200F, U+202A to U+202E,
// U+2066 to U+2069), the line and paragraph separators and the byte order
// mark (U+FEFF). In a device line they would make the listing read
// differently from what it holds.
bool IsFormatMark(unsigned code) {
  return code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

}  // namespace

size_t Utf8Length(const unsigned char* p, size_t left) {
  assert(left > 0);
  unsigned char c = p[0];
  size_t n;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (left < n || p[1] < low || p[1] > high) return 0;
  for (size_t i = 2; i < n; ++i)
    if (p[i] < 0x80 || p[i] > 0xBF) return 0;
  return n;
}

std::string SafeUtf8(std::string_view text, SafeStyle style) {
  std::string out;
  out.reserve(text.size());
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text.data());
  for (size_t i = 0; i < text.size();) {
    size_t n = p[i] < 0x80 ? 1 : Utf8Length(p + i, text.size() - i);
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    unsigned code = CodePoint(p + i, n);
    // JSON allows U+2028 and U+2029 in a string; JavaScript ends a line there.
    if (style == SafeStyle::kJson && (IsControl(code) || code == 0x2028 || code == 0x2029)) {
      char escape[8];
      snprintf(escape, sizeof(escape), "\\u%04x", code);
      out += escape;
    } else if (IsControl(code) || (style == SafeStyle::kQuotedField && IsFormatMark(code))) {
      out += ' ';
    } else {
      if (style != SafeStyle::kPlain && (code == '"' || code == '\\')) out += '\\';
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string SafeAscii(std::string_view text, char replacement) {
  std::string out(text);
  for (char& c : out)
    if (c < 0x20 || c > 0x7E) c = replacement;
  return out;
}

std::string HexEscaped(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E || c == '\\') {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}
