#include "request_rules.h"

#include <strings.h>

#include <cctype>

bool NeedsAdministrator(int operation) {
  return operation == kIppEnablePrinter || operation == kIppDisablePrinter ||
         operation == kIppCancelCurrentJob;
}

std::string LowerCaseFormat(const std::string& format) {
  std::string lower = format;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower;
}

bool IsListedFormat(const std::string& format, const std::vector<std::string>& listed) {
  for (const std::string& one : listed)
    if (strcasecmp(format.c_str(), one.c_str()) == 0) return true;
  return false;
}

bool DocumentEndedShort(ssize_t result, int error, bool timedOut, bool lengthAnnounced,
                        long long remaining) {
  if (result != 0) return false;
  return error != 0 || timedOut || (lengthAnnounced && remaining > 0);
}

std::string SniffedFormat(const unsigned char* head, size_t size) {
  std::string text(reinterpret_cast<const char*>(head), size);
  // A PJL job header (a universal exit, then @PJL lines) may precede the
  // page description; what follows it decides.
  const std::string uel = "\x1b%-12345X";
  size_t at = 0;
  while (text.compare(at, uel.size(), uel) == 0 || text.compare(at, 4, "@PJL") == 0) {
    if (text.compare(at, uel.size(), uel) == 0) {
      at += uel.size();
      continue;
    }
    size_t end = text.find('\n', at);
    if (end == std::string::npos) return "";
    at = end + 1;
  }
  if (text.compare(at, 5, "%PDF-") == 0) return "application/pdf";
  if (text.compare(at, 2, "%!") == 0) return "application/postscript";
  return "";
}
