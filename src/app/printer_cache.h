// What the printer application knows of its printers between jobs, and how
// a job gets a connection without holding up the printer: the address book
// (device URI -> the address its printer was last seen at, filled by
// listings and searches) and the connection broker, which connects or
// searches in a thread of its own per printer while the device open waits
// only briefly. PAPPL opens a device under the printer's lock and retries
// every few seconds; a search of many seconds in there would stall every
// request for that printer.
#ifndef NETBACKEND_APP_PRINTER_CACHE_H_
#define NETBACKEND_APP_PRINTER_CACHE_H_

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "connector.h"
#include "job_printer.h"

// Device URI -> last known address. Thread-safe.
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

// Searches for the printer with `mac` under the brand of `scheme`; the
// application's is FindJobPrinter under Discoverer(scheme).
typedef std::function<JobPrinterSearch(const std::string& scheme, const std::string& mac)>
    PrinterSearch;
JobPrinterSearch SearchOnNetwork(const std::string& scheme, const std::string& mac);

// How the last Open for a printer went, for the printer's state.
struct Reachability {
  bool waiting = false;  // it gave no connection: a job waits for the printer
  std::string message;   // why, for the administrator
};

class PrinterConnections {
 public:
  PrinterConnections(AddressBook& book, PrinterSearch search, int port = kPrintPort);
  // Waits for the attempts still running (a search ends within its budget).
  ~PrinterConnections();
  PrinterConnections(const PrinterConnections&) = delete;
  PrinterConnections& operator=(const PrinterConnections&) = delete;

  // A connection to the print port of the printer `uri` names, or null with
  // `message` saying why. Takes a connection an earlier attempt made, else
  // starts an attempt (one per printer at a time: the last known address
  // first, then a search) and waits for it at most `wait`. A null result
  // means the caller should try again later; the attempt goes on and
  // leaves its connection for the next call.
  std::unique_ptr<Connector> Open(const std::string& uri, std::chrono::milliseconds wait,
                                  std::string& message);

  Reachability State(const std::string& uri);

 private:
  struct Slot {
    bool running = false;
    bool waiting = false;  // the last Open gave no connection
    std::thread worker;
    std::unique_ptr<Connector> parked;  // made by the last attempt, not taken yet
    std::chrono::steady_clock::time_point parkedAt;
    std::string message;  // why the last attempt failed
  };
  // The attempt, in the slot's thread.
  void Attempt(const std::string& uri, const std::string& scheme, const std::string& mac);
  // A connection to `address`, or null.
  std::unique_ptr<Connector> ConnectTo(const std::string& address, int moreWaits) const;

  AddressBook& book_;
  PrinterSearch search_;
  int port_;
  std::mutex mutex_;
  std::condition_variable done_;
  bool stopping_ = false;
  std::map<std::string, Slot> slots_;
};

#endif  // NETBACKEND_APP_PRINTER_CACHE_H_
