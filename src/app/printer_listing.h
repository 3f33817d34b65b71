// The printer application's device listing: the backend's own discovery
// loop and trust rule, under the name that admits every printer, with the
// scheme of each printer chosen by the first brand whose rule admits its
// reply. Each printer comes once, the moment its reply is accepted, and
// its address goes into the address book for the jobs that follow.
#ifndef NETBACKEND_APP_PRINTER_LISTING_H_
#define NETBACKEND_APP_PRINTER_LISTING_H_

#include <functional>
#include <string>

#include "kvt.h"

class AddressBook;

struct ListedPrinter {
  std::string uri;       // "<scheme>://<MAC>"
  std::string info;      // what a person chooses it by: make and model, MAC
  std::string deviceId;  // the 1284 device ID, fit for PAPPL (PrintableText)
};

// Told of each printer; returning false ends the listing.
typedef std::function<bool(const ListedPrinter&)> ListedPrinterCallback;

// How long a listing waits for replies. Printers answer within a second of
// the query; PAPPL's web page and its "devices" command wait for the
// listing to end before they show anything.
const int kListingSeconds = 5;

// Runs one listing of `seconds`. `book` (may be null) learns the address of
// each printer under its own scheme and under every other scheme whose
// brand admits it, so that a job on any of its URIs finds it. Returns
// Discoverer::discover's result.
int ListPrinters(const ListedPrinterCallback& found, AddressBook* book,
                 int seconds = kListingSeconds);

// The scheme for a reply accepted under the name for every printer: the
// first brand in kBrandSchemes whose rule accepts it, else
// kAnyBrandScheme. `brand` receives that brand's name for the printer.
std::string SchemeForReply(const Reply& reply, std::string& brand);

#endif  // NETBACKEND_APP_PRINTER_LISTING_H_
