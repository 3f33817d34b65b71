// How a job of the printer application reaches its printer: the job's own
// search for the address its printer has now, by its MAC address under the
// job-time rule that the backend uses, then a connection there and nowhere
// else; and what each printer's last attempt showed, for the printer's
// state. A job waits here, in its own print path and under no lock of
// PAPPL's, for as long as its printer is away. No PAPPL here: the device
// callbacks hand over to it.
#ifndef NETBACKEND_APP_PRINTER_LINK_H_
#define NETBACKEND_APP_PRINTER_LINK_H_

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "connector.h"
#include "job_printer.h"

// Device URI -> the address its printer was last seen at, for what the
// messages say of a printer that is away. Thread-safe.
class AddressBook {
 public:
  void Remember(const std::string& uri, const std::string& address);
  // Empty when the printer has not been seen.
  std::string Lookup(const std::string& uri) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> addresses_;
};

// The raw print port the printers take jobs on.
const int kPrintPort = 9100;

// Asked while a search runs; true ends it (the job was canceled).
typedef std::function<bool()> StopCheck;

// Searches for the printer with `mac` under the brand of `scheme`; the
// application's is FindJobPrinter under Discoverer(scheme).
typedef std::function<JobPrinterSearch(const std::string& scheme, const std::string& mac,
                                       const StopCheck& stop)>
    PrinterSearch;
JobPrinterSearch SearchOnNetwork(const std::string& scheme, const std::string& mac,
                                 const StopCheck& stop);

// What a printer's last attempt showed.
struct Reachability {
  bool waiting = false;  // a job waits for the printer
  std::string message;   // why, for the administrator and the job's client
};

class PrinterLinks {
 public:
  // A printer that did not answer or refused the connection is looked for
  // again after this long.
  static const int kDefaultRetrySeconds = 5;

  PrinterLinks(AddressBook& book, PrinterSearch search, int port = kPrintPort,
               int retrySeconds = kDefaultRetrySeconds);
  PrinterLinks(const PrinterLinks&) = delete;
  PrinterLinks& operator=(const PrinterLinks&) = delete;

  // A connection to the printer `uri` names, at the address this call's
  // own search found: no byte goes anywhere else. While the printer does
  // not answer or does not take the connection, `tell` hears why (once per
  // change) and the search runs again after the retry time, until a
  // connection is made or `stop` says true (null then). Null at once, with
  // `tell`, for a URI that names no printer of ours. `deviceId`, when
  // given, receives the 1284 ID the printer's reply gave.
  std::unique_ptr<Connector> Connect(const std::string& uri, const StopCheck& stop,
                                     const std::function<void(const std::string&)>& tell,
                                     std::string* deviceId = nullptr);

  Reachability State(const std::string& uri) const;

 private:
  // One search and connection attempt; null with `why` when it failed.
  std::unique_ptr<Connector> Attempt(const std::string& uri, const std::string& scheme,
                                     const std::string& mac, const StopCheck& stop,
                                     std::string& why, std::string* deviceId);
  void Show(const std::string& uri, bool waiting, const std::string& message);

  AddressBook& book_;
  PrinterSearch search_;
  int port_;
  int retrySeconds_;
  mutable std::mutex mutex_;
  std::map<std::string, Reachability> states_;
};

#endif  // NETBACKEND_APP_PRINTER_LINK_H_
