#include "device_uri.h"

static_assert(kBrandSchemeCount == 4, "a scheme below for each brand of the table");
const char* const kBrandSchemes[kBrandSchemeCount] = {kBrands[0].name, kBrands[1].name,
                                                      kBrands[2].name, kBrands[3].name};

namespace {

const char kSeparator[] = "://";
const size_t kMacDigits = 12;

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

}  // namespace

bool IsOurScheme(const std::string& scheme) {
  for (const Brand& brand : kBrands)
    if (scheme == brand.name) return true;
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
