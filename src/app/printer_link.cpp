#include "printer_link.h"

#include <chrono>
#include <thread>

#include "device_uri.h"
#include "kvt.h"

namespace {

// The printer has just answered the query: it takes a connection at once
// or not at all. A longer wait would only delay the next search.
const int kConnectMoreWaits = 2;
const std::chrono::milliseconds kStopPoll(200);

// Waits `seconds`, asking `stop` as it goes; true when stopped.
bool Pause(int seconds, const StopCheck& stop) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < until) {
    if (stop()) return true;
    std::this_thread::sleep_for(kStopPoll);
  }
  return stop();
}

}  // namespace

void AddressBook::Remember(const std::string& uri, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  addresses_[uri] = address;
}

std::string AddressBook::Lookup(const std::string& uri) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = addresses_.find(uri);
  return found != addresses_.end() ? found->second : std::string();
}

JobPrinterSearch SearchOnNetwork(const std::string& scheme, const std::string& mac,
                                 const StopCheck& stop) {
  Discoverer discoverer(scheme);
  DiscoveryOptions options = JobSearchOptions();
  options.stop = stop;
  return FindJobPrinter(discoverer, mac, options);
}

PrinterLinks::PrinterLinks(AddressBook& book, PrinterSearch search, int port, int retrySeconds)
    : book_(book), search_(std::move(search)), port_(port), retrySeconds_(retrySeconds) {}

std::unique_ptr<Connector> PrinterLinks::Connect(
    const std::string& uri, const StopCheck& stop,
    const std::function<void(const std::string&)>& tell, std::string* deviceId) {
  std::string scheme, mac;
  if (!ParseDeviceUri(uri, scheme, mac)) {
    tell("The device URI names no printer of this application");
    return nullptr;
  }
  // A search of a printer that is away takes its whole budget: the job
  // says at once what it waits for.
  std::string told = "Looking for printer " + mac + " on the local network";
  tell(told);
  for (;;) {
    std::string why;
    std::unique_ptr<Connector> made = Attempt(uri, scheme, mac, stop, why, deviceId);
    if (made) {
      Show(uri, false, "");
      return made;
    }
    if (stop()) return nullptr;
    Show(uri, true, why);
    if (why != told) tell(why);
    told = why;
    if (Pause(retrySeconds_, stop)) return nullptr;
  }
}

std::unique_ptr<Connector> PrinterLinks::Attempt(const std::string& uri, const std::string& scheme,
                                                 const std::string& mac, const StopCheck& stop,
                                                 std::string& why, std::string* deviceId) {
  JobPrinterSearch search = search_(scheme, mac, stop);
  if (search.address.empty()) {
    std::string last = book_.Lookup(uri);
    std::string seen = last.empty() ? "" : " (last seen at " + last + ")";
    if (search.sent <= 0)
      why = "Cannot look for printer " + mac +
            ": the query could not be sent on any network interface";
    else if (search.unusable > 0)
      why = "Printer " + mac + " did not answer with an address a job can be sent to";
    else
      why = "Printer " + mac + seen + " does not answer on the local network";
    return nullptr;
  }
  book_.Remember(uri, search.address);
  if (deviceId != nullptr) *deviceId = search.deviceId;
  std::unique_ptr<Connector> connector(new Connector());
  if (connector->Connect(search.address, port_, kConnectMoreWaits) != 0 ||
      !connector->IsConnected()) {
    why = "Printer " + mac + " at " + search.address + " does not take connections on port " +
          std::to_string(port_);
    return nullptr;
  }
  return connector;
}

void PrinterLinks::Show(const std::string& uri, bool waiting, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  Reachability& state = states_[uri];
  state.waiting = waiting;
  state.message = message;
}

Reachability PrinterLinks::State(const std::string& uri) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = states_.find(uri);
  return found != states_.end() ? found->second : Reachability();
}
