// Text from outside (a reply's fields, interface names, a child process's
// messages) made safe to show, in one place: the device lines, the trace,
// the probe's table and JSON, the printer application's pages and a
// renderer's reason each take their variant here, so that the walk over
// UTF-8 and the test for control characters are written once.
// Threads: functions of their arguments alone, safe from any thread.
#ifndef NETBACKEND_SAFE_TEXT_H_
#define NETBACKEND_SAFE_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

// The length of the well-formed multi-byte UTF-8 sequence at `p` (at most
// `left` bytes), or 0 when the bytes there are not one: overlong forms,
// surrogates and code points above U+10FFFF are refused. Requires: left > 0.
size_t Utf8Length(const unsigned char* p, size_t left);

// Where SafeUtf8's text goes. In every style a byte that is not part of
// valid UTF-8 becomes '?' and no control character (C0, DEL, C1) stays.
enum class SafeStyle {
  // A quoted field read with backslash escapes (a device line): '"' and '\'
  // escaped; controls, and the invisible marks that reorder or break the
  // text around them, as blanks.
  kQuotedField,
  kPlain,  // controls as blanks, everything else as it is
  kJson,   // '"' and '\' escaped; controls, U+2028 and U+2029 as \u escapes
};
std::string SafeUtf8(std::string_view text, SafeStyle style);

// `text` byte by byte, each byte outside printable ASCII (0x20 to 0x7E)
// as `replacement`.
std::string SafeAscii(std::string_view text, char replacement);

// `text` byte by byte in printable ASCII that can be read back: each byte
// outside 0x20 to 0x7E, and '\', as \xNN.
std::string HexEscaped(std::string_view text);

#endif  // NETBACKEND_SAFE_TEXT_H_
