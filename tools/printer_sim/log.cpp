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
