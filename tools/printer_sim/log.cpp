// The simulator's lines on standard error; see log.h.
#include "log.h"

#include <cstdarg>
#include <cstdio>

namespace {

bool gQuiet = false;

}  // namespace

void SetQuiet(bool quiet) { gQuiet = quiet; }

void Log(const char* fmt, ...) {
  if (gQuiet) return;
  va_list ap;
  va_start(ap, fmt);
  std::fputs("printer_sim: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

void Error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("printer_sim: error: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

std::string Escape(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string escaped;
  escaped.reserve(text.size());
  for (unsigned char c : text) {
    if (c < 0x20 || c > 0x7E || c == '\\') {
      escaped += "\\x";
      escaped += kHex[c >> 4];
      escaped += kHex[c & 0x0F];
    } else {
      escaped += static_cast<char>(c);
    }
  }
  return escaped;
}
