#include "host_links.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <net/route.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "trace_log.h"

namespace {

const char kSource[] = "src/host_links";

// Only direct routes are kept, and no host has this many; a router with a
// full table has gateways on all of the rest.
const size_t kMaxRoutes = 4096;

// Every interface of the host, with or without an IPv4 address.
std::vector<HostLinks::Interface> ListInterfaces(int probe) {
  std::vector<HostLinks::Interface> list;
  struct if_nameindex* names = if_nameindex();
  if (names == nullptr) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "if_nameindex failed: %s", strerror(errno));
    return list;
  }
  for (struct if_nameindex* n = names; n->if_index != 0 && n->if_name != nullptr; ++n) {
    ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, n->if_name, IFNAMSIZ - 1);
    // An interface that has gone between the calls is left out.
    if (ioctl(probe, SIOCGIFFLAGS, &request) != 0) continue;
    list.push_back(HostLinks::Interface{static_cast<int>(n->if_index), n->if_name,
                                        static_cast<unsigned short>(request.ifr_flags)});
  }
  if_freenameindex(names);
  return list;
}

// Every IPv4 address of the host, in the system's order. The system is
// first asked how much room the list needs, so that a host with many
// interfaces (or many addresses on one) is read whole, whatever the size of
// a record on this build.
std::vector<HostLinks::Address> ListAddresses(int probe) {
  std::vector<HostLinks::Address> list;
  std::vector<ifreq> records;
  ifconf conf;
  for (int attempt = 0; attempt < 4; ++attempt) {
    memset(&conf, 0, sizeof(conf));
    if (ioctl(probe, SIOCGIFCONF, &conf) != 0 || conf.ifc_len < 0) break;
    // Room for a few more, in case an address appears between the calls.
    records.assign(static_cast<size_t>(conf.ifc_len) / sizeof(ifreq) + 4, ifreq());
    conf.ifc_len = static_cast<int>(records.size() * sizeof(ifreq));
    conf.ifc_req = records.data();
    if (ioctl(probe, SIOCGIFCONF, &conf) != 0) break;
    if (static_cast<size_t>(conf.ifc_len) >= records.size() * sizeof(ifreq)) continue;
    records.resize(static_cast<size_t>(conf.ifc_len) / sizeof(ifreq));
    for (ifreq& record : records) {
      if (record.ifr_addr.sa_family != AF_INET) continue;
      HostLinks::Address host;
      host.interface.assign(record.ifr_name, strnlen(record.ifr_name, IFNAMSIZ));
      host.interface = host.interface.substr(0, host.interface.find(':'));
      host.address = reinterpret_cast<sockaddr_in*>(&record.ifr_addr)->sin_addr;
      // The netmask of the address named by label and address together: a
      // second address has a netmask of its own.
      ifreq netmask = record, index = record;
      if (ioctl(probe, SIOCGIFNETMASK, &netmask) != 0 || ioctl(probe, SIOCGIFINDEX, &index) != 0) {
        log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "address on %s left out: %s",
                   log_escape(host.interface).c_str(), strerror(errno));
        continue;
      }
      host.netmask = reinterpret_cast<sockaddr_in*>(&netmask.ifr_netmask)->sin_addr;
      host.index = index.ifr_ifindex;
      list.push_back(host);
    }
    return list;
  }
  log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "SIOCGIFCONF failed: %s", strerror(errno));
  return list;
}

// The routes of the main table that reach a network without a gateway.
// /proc/net/route writes each address as the hexadecimal number of its four
// bytes in memory, so reading it back as a number gives them again.
// A direct default route is left out: it says where to send everything,
// not that everything is a neighbour.
std::vector<HostLinks::Route> ListDirectRoutes(
    const std::vector<HostLinks::Interface>& interfaces) {
  std::vector<HostLinks::Route> list;
  FILE* table = fopen("/proc/net/route", "re");
  if (table == nullptr) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "/proc/net/route: %s", strerror(errno));
    return list;
  }
  char line[512];
  bool header = true;
  while (fgets(line, sizeof(line), table) != nullptr && list.size() < kMaxRoutes) {
    if (header) {
      header = false;
      continue;
    }
    char name[IFNAMSIZ + 1];
    unsigned long destination, gateway, flags, refs, use, metric, mask;
    if (sscanf(line, "%16s %lx %lx %lx %lu %lu %lu %lx", name, &destination, &gateway, &flags,
               &refs, &use, &metric, &mask) != 8)
      continue;
    if ((flags & RTF_UP) == 0 || (flags & (RTF_GATEWAY | RTF_REJECT)) != 0 || mask == 0) continue;
    for (const HostLinks::Interface& i : interfaces) {
      if (i.name != name) continue;
      list.push_back(HostLinks::Route{i.index, static_cast<in_addr_t>(destination),
                                      static_cast<in_addr_t>(mask)});
      break;
    }
  }
  fclose(table);
  return list;
}

// Subnets of 31 and 32 bits have neither a network nor a broadcast address.
bool HasBroadcast(in_addr_t netmask) { return (~ntohl(netmask)) > 1u; }

bool IsNetworkOrBroadcastOf(in_addr_t address, in_addr_t network, in_addr_t netmask) {
  if (!HasBroadcast(netmask) || (address & netmask) != (network & netmask)) return false;
  return (address & ~netmask) == 0 || (address & ~netmask) == ~netmask;
}

}  // namespace

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case kAccepted:
      return "listed";
    case kArrivedOnLoopback:
      return "arrived on loopback";
    case kSentFromThisHost:
      return "sent from this host";
    case kSenderOffLink:
      return "sender not on the link it arrived on";
    case kSenderNotAHost:
      return "sent from a network or broadcast address";
    case kMalformed:
      return "malformed";
    case kNotHostConfig:
      return "not a host-config reply";
    case kOtherBrand:
      return "other brand";
    case kNoMacAddress:
      return "no MAC address";
    case kAddressUnusable:
      return "address not usable for a hand-over";
    case kAddressOfThisHost:
      return "address of this host";
    case kAddressNotAHost:
      return "address is a network or broadcast address";
    case kAddressBeyondLink:
      return "address beyond the link from a routed sender";
    case kRunFull:
      return "not read: the run holds its most records";
  }
  return "?";
}

bool CanonicalHostAddress(const std::string& text, std::string& canonical) {
  in_addr address;
  if (text.find('\0') != std::string::npos || inet_pton(AF_INET, text.c_str(), &address) != 1)
    return false;
  uint32_t host = ntohl(address.s_addr);
  uint32_t first = host >> 24;
  // "This network", loopback, multicast and the reserved block above it
  // (which holds the limited broadcast address): none of them is a printer.
  if (first == 0 || first == 127 || first >= 224) return false;
  char text4[INET_ADDRSTRLEN];
  if (inet_ntop(AF_INET, &address, text4, sizeof(text4)) == nullptr) return false;
  canonical = text4;
  return true;
}

HostLinks::HostLinks(std::vector<Interface> interfaces, std::vector<Address> addresses,
                     std::vector<Route> routes)
    : interfaces_(std::move(interfaces)),
      addresses_(std::move(addresses)),
      routes_(std::move(routes)) {}

HostLinks HostLinks::Read() {
  int probe = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "socket failed: %s", strerror(errno));
    return HostLinks();
  }
  std::vector<Interface> interfaces = ListInterfaces(probe);
  std::vector<Address> addresses = ListAddresses(probe);
  close(probe);
  std::vector<Route> routes = ListDirectRoutes(interfaces);
  return HostLinks(std::move(interfaces), std::move(addresses), std::move(routes));
}

// A bridge without carrier takes a send and passes nothing on, and a second
// address, an alias, a down or loopback interface would send a second copy
// or none: each would take a place from a real link.
std::vector<HostLinks::QueryInterface> HostLinks::QueryInterfaces() const {
  std::vector<QueryInterface> list;
  int used = 0;
  for (const Address& host : addresses_) {
    bool seen = false;
    for (const QueryInterface& chosen : list) seen |= chosen.index == host.index;
    if (seen) continue;
    const Interface* link = FindInterface(host.index);
    unsigned flags = link != nullptr ? link->flags : 0;
    QueryInterface choice{host.interface, host.index, host.address, nullptr};
    if (!(flags & IFF_UP))
      choice.skipped = "down";
    else if (flags & IFF_LOOPBACK)
      choice.skipped = "loopback";
    else if (!(flags & IFF_RUNNING))
      choice.skipped = "no carrier";
    else if (!(flags & IFF_MULTICAST))
      choice.skipped = "no multicast";
    else if (used == kMaxQueryInterfaces)
      choice.skipped = "more than 32 interfaces";
    else
      ++used;
    list.push_back(choice);
  }
  return list;
}

const HostLinks::Interface* HostLinks::FindInterface(int index) const {
  for (const Interface& i : interfaces_)
    if (i.index == index) return &i;
  return nullptr;
}

bool HostLinks::IsOwnAddress(in_addr_t address) const {
  for (const Address& a : addresses_)
    if (a.address.s_addr == address) return true;
  return false;
}

bool HostLinks::IsOnLink(in_addr_t address, int index) const {
  if (index <= 0) return false;
  for (const Address& a : addresses_)
    if (a.index == index && (address & a.netmask.s_addr) == (a.address.s_addr & a.netmask.s_addr))
      return true;
  for (const Route& r : routes_)
    if (r.index == index && (address & r.netmask) == (r.network & r.netmask)) return true;
  return false;
}

bool HostLinks::IsNetworkOrBroadcast(in_addr_t address) const {
  for (const Address& a : addresses_)
    if (IsNetworkOrBroadcastOf(address, a.address.s_addr, a.netmask.s_addr)) return true;
  for (const Route& r : routes_)
    if (IsNetworkOrBroadcastOf(address, r.network, r.netmask)) return true;
  return false;
}

Verdict HostLinks::JudgeSender(const Arrival& arrival) const {
  const Interface* via = FindInterface(arrival.interfaceIndex);
  // Loopback carries only what this host's own users send: any of them
  // could answer the query and claim a printer.
  if (via != nullptr && (via->flags & IFF_LOOPBACK) != 0) return kArrivedOnLoopback;
  const in_addr_t source = arrival.source.s_addr;
  if (IsOwnAddress(source)) return kSentFromThisHost;
  // A unicast answer comes from a neighbour on the link the query went out
  // on; a source from another link was forged or routed.
  if (!IsOnLink(source, arrival.interfaceIndex)) return kSenderOffLink;
  if (IsNetworkOrBroadcast(source)) return kSenderNotAHost;
  return kAccepted;
}

Verdict HostLinks::JudgeAddress(const std::string& ip, const Arrival& arrival,
                                std::string& canonical) const {
  std::string text;
  if (!CanonicalHostAddress(ip, text)) return kAddressUnusable;
  in_addr address;
  inet_pton(AF_INET, text.c_str(), &address);
  if (IsOwnAddress(address.s_addr)) return kAddressOfThisHost;
  if (IsNetworkOrBroadcast(address.s_addr)) return kAddressNotAHost;
  // Every router on the way lowers the TTL, and mDNS responders and relays
  // send with 255: only a datagram that came straight from a neighbour may
  // point beyond the link.
  if (!IsOnLink(address.s_addr, arrival.interfaceIndex) && arrival.ttl != 255)
    return kAddressBeyondLink;
  canonical = text;
  return kAccepted;
}
