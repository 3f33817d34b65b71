#include "device_uri.h"

const char* const kBrandSchemes[kBrandSchemeCount] = {"tamo", "solena", "zalor", "orbec"};
const char kAnyBrandScheme[] = "gprinter";

namespace {

const char kSeparator[] = "://";
const size_t kMacDigits = 12;

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool IsOurScheme(const std::string& scheme) {
  if (scheme == kAnyBrandScheme) return true;
  for (const char* brand : kBrandSchemes)
    if (scheme == brand) return true;
  return false;
}

std::string MakeDeviceUri(const std::string& scheme, const std::string& mac) {
  return scheme + kSeparator + mac;
}

bool ParseDeviceUri(const std::string& uri, std::string& scheme, std::string& mac) {
  size_t separator = uri.find(kSeparator);
  if (separator == std::string::npos) return false;
  std::string head = uri.substr(0, separator);
  std::string rest = uri.substr(separator + sizeof(kSeparator) - 1);
  if (!IsOurScheme(head) || rest.size() != kMacDigits) return false;
  for (char c : rest)
    if (!IsUpperHex(c)) return false;
  scheme = head;
  mac = rest;
  return true;
}
