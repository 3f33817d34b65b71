#include "printer_cache.h"

#include <poll.h>
#include <sys/socket.h>

#include "device_uri.h"
#include "kvt.h"

namespace {

// A connection made for a job that has not come back for it by then is
// closed: the printer may have dropped it, and a new attempt is cheap.
const std::chrono::seconds kParkedLifetime(60);

// Whether the printer still holds a connection made a while ago: it has
// neither closed it nor reset it.
bool StillOpen(const Connector& connector) {
  int fd = connector.ConnectedSocket();
  if (fd < 0) return false;
  pollfd watched = {fd, POLLIN, 0};
  if (poll(&watched, 1, 0) <= 0) return true;
  if (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) return false;
  char byte;
  ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
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

JobPrinterSearch SearchOnNetwork(const std::string& scheme, const std::string& mac) {
  Discoverer discoverer(scheme);
  return FindJobPrinter(discoverer, mac, JobSearchOptions());
}

PrinterConnections::PrinterConnections(AddressBook& book, PrinterSearch search, int port)
    : book_(book), search_(std::move(search)), port_(port) {}

PrinterConnections::~PrinterConnections() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  // The workers take the lock as they finish; join them without it.
  for (auto& slot : slots_)
    if (slot.second.worker.joinable()) slot.second.worker.join();
}

std::unique_ptr<Connector> PrinterConnections::Open(const std::string& uri,
                                                    std::chrono::milliseconds wait,
                                                    std::string& message) {
  std::string scheme, mac;
  if (!ParseDeviceUri(uri, scheme, mac)) {
    message = "The device URI names no printer of this application";
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  Slot& slot = slots_[uri];
  if (slot.parked) {
    std::unique_ptr<Connector> parked = std::move(slot.parked);
    if (std::chrono::steady_clock::now() - slot.parkedAt < kParkedLifetime &&
        StillOpen(*parked)) {
      slot.waiting = false;
      return parked;
    }
  }
  if (!slot.running && !stopping_) {
    // A finished worker is joined here, before its slot takes a new one.
    if (slot.worker.joinable()) slot.worker.join();
    slot.running = true;
    slot.message.clear();
    slot.worker = std::thread(&PrinterConnections::Attempt, this, uri, scheme, mac);
  }
  done_.wait_for(lock, wait, [&slot] { return !slot.running; });
  if (slot.parked) {
    slot.waiting = false;
    std::unique_ptr<Connector> made = std::move(slot.parked);
    return made;
  }
  slot.waiting = true;
  if (slot.running)
    message = "Looking for printer " + mac + " on the local network";
  else
    message = slot.message;
  if (slot.message.empty()) slot.message = message;
  return nullptr;
}

std::unique_ptr<Connector> PrinterConnections::ConnectTo(const std::string& address,
                                                         int moreWaits) const {
  std::unique_ptr<Connector> connector(new Connector());
  if (connector->Connect(address, port_, moreWaits) != 0 || !connector->IsConnected()) return nullptr;
  return connector;
}

void PrinterConnections::Attempt(const std::string& uri, const std::string& scheme,
                                 const std::string& mac) {
  std::string address = book_.Lookup(uri);
  std::unique_ptr<Connector> made;
  std::string message;
  // A printer on the link answers a connection at once; one that moved
  // away leaves the old address silent, and a full wait there would hold
  // the job for as long as the search takes.
  if (!address.empty()) made = ConnectTo(address, 0);
  if (!made) {
    JobPrinterSearch search = search_(scheme, mac);
    if (search.address.empty()) {
      if (search.sent <= 0)
        message = "Cannot look for printer " + mac +
                  ": the query could not be sent on any network interface";
      else if (search.unusable > 0)
        message = "Printer " + mac + " did not answer with an address a job can be sent to";
      else
        message = "Printer " + mac + " did not answer on the local network";
    } else {
      address = search.address;
      book_.Remember(uri, address);
      made = ConnectTo(address, Connector::kConnectMoreWaits);
      if (!made)
        message = "Printer " + mac + " at " + address + " does not take connections on port " +
                  std::to_string(port_);
    }
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[uri];
    slot.parked = std::move(made);
    slot.parkedAt = std::chrono::steady_clock::now();
    slot.message = message;
    slot.running = false;
  }
  done_.notify_all();
}

Reachability PrinterConnections::State(const std::string& uri) {
  Reachability state;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = slots_.find(uri);
  if (found == slots_.end()) return state;
  state.waiting = found->second.waiting;
  state.message = found->second.message;
  return state;
}
