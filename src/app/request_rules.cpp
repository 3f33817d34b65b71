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

std::string DeviceTargetHost(const std::string& uri) {
  size_t separator = uri.find("://");
  if (separator == std::string::npos) return "";
  std::string scheme = LowerCaseFormat(uri.substr(0, separator));
  if (scheme != "socket" && scheme != "snmp") return "";
  std::string rest = uri.substr(separator + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  rest = rest.substr(rest.find('@') == std::string::npos ? 0 : rest.find('@') + 1);
  if (!rest.empty() && rest[0] == '[') return rest.substr(1, rest.find(']') - 1);
  return rest.substr(0, rest.find(':'));
}

std::string MendedSpoolMessage(const std::string& message) {
  if (message != "Unable to write print file: Success") return "";
  return "Unable to write print file: the spool directory is full (No space left on device)";
}
