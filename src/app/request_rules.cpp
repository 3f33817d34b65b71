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
