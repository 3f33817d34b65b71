// The device URIs of the printer application: a brand's scheme (or
// "gprinter" for a printer of no brand) and the printer's MAC address, as
// the backend's listing writes them. The listing makes them, the device
// opens them, and the address book keys on them.
#ifndef NETBACKEND_APP_DEVICE_URI_H_
#define NETBACKEND_APP_DEVICE_URI_H_

#include <string>

#include "brands.h"

// The brands' schemes, from the brand table and in its order, the order a
// listing tries them: a printer's URI takes the first whose brand admits
// its reply.
const int kBrandSchemeCount = kBrandCount - 1;
extern const char* const kBrandSchemes[kBrandSchemeCount];
// The scheme for a printer that no brand admits; its brand admits every
// printer.
inline constexpr const char* kAnyBrandScheme = kEveryBrand.name;

// True for kAnyBrandScheme and the kBrandSchemes.
bool IsOurScheme(const std::string& scheme);

// "<scheme>://<mac>".
std::string MakeDeviceUri(const std::string& scheme, const std::string& mac);

// Splits `uri` into one of our schemes and a MAC address of 12 upper-case
// hex digits, the whole rest of the URI. False for anything else (another
// scheme, a lower-case or short MAC, a path or an address after "//"),
// which then names no printer of ours.
bool ParseDeviceUri(const std::string& uri, std::string& scheme, std::string& mac);

#endif  // NETBACKEND_APP_DEVICE_URI_H_
