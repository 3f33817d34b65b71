#include "host_links.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>

#include "trace_log.h"

namespace {

const char kSource[] = "src/host_links";

// Only direct routes are kept, and no host has this many; a router with a
// full table has gateways on all of the rest.
const size_t kMaxRoutes = 4096;

// The routing socket: a dump request answered by the kernel, message by
// message. The kernel's answer is read with the same care as any other
// bytes: every length is checked against what was received.
class RoutingSocket {
 public:
  RoutingSocket() : fd_(socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {}
  ~RoutingSocket() {
    if (fd_ >= 0) close(fd_);
  }
  RoutingSocket(const RoutingSocket&) = delete;
  RoutingSocket& operator=(const RoutingSocket&) = delete;

  bool IsOpen() const { return fd_ >= 0; }

  // Asks for every object of `type` and `family` and hands each `answer`
  // message to `take`. False when the dump failed or was cut short.
  template <typename Take>
  bool Dump(uint16_t type, uint16_t answer, unsigned char family, Take take) {
    struct {
      nlmsghdr header;
      rtgenmsg body;
    } request;
    memset(&request, 0, sizeof(request));
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtgenmsg));
    request.header.nlmsg_type = type;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    request.header.nlmsg_seq = ++sequence_;
    request.body.rtgen_family = family;
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd_, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof(kernel)) < 0)
      return false;
    std::vector<char> buffer(kDumpBufferBytes);
    for (;;) {
      sockaddr_nl from;
      socklen_t fromSize = sizeof(from);
      ssize_t n = recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC,
                           reinterpret_cast<sockaddr*>(&from), &fromSize);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || static_cast<size_t>(n) > buffer.size()) return false;
      if (from.nl_pid != 0) continue;  // only the kernel's answer counts
      int left = static_cast<int>(n);
      for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer.data()); NLMSG_OK(h, left);
           h = NLMSG_NEXT(h, left)) {
        if (h->nlmsg_seq != sequence_) continue;
        if (h->nlmsg_type == NLMSG_DONE) return true;
        if (h->nlmsg_type == NLMSG_ERROR || (h->nlmsg_flags & NLM_F_DUMP_INTR) != 0) return false;
        if (h->nlmsg_type == answer) take(h);
      }
    }
  }

 private:
  // Enough for one part of a dump, as the kernel sizes them.
  static const size_t kDumpBufferBytes = 32768;
  int fd_;
  uint32_t sequence_ = 0;
};

// The fixed header of a message of `T` and its attributes, or null when
// the message is too short to hold it.
template <typename T>
const T* Body(const nlmsghdr* h, const rtattr** first, int* length) {
  if (h->nlmsg_len < NLMSG_LENGTH(sizeof(T))) return nullptr;
  *first = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(NLMSG_DATA(h)) +
                                           NLMSG_ALIGN(sizeof(T)));
  *length = static_cast<int>(h->nlmsg_len - NLMSG_LENGTH(sizeof(T)));
  return reinterpret_cast<const T*>(NLMSG_DATA(h));
}

// An attribute's four bytes (an IPv4 address, an interface index), if it
// holds them.
bool Attribute4(const rtattr* a, void* out) {
  if (RTA_PAYLOAD(a) < 4) return false;
  memcpy(out, RTA_DATA(a), 4);
  return true;
}

in_addr_t PrefixMask(unsigned bits) {
  return bits == 0 ? 0 : htonl(bits >= 32 ? 0xFFFFFFFFu : ~(0xFFFFFFFFu >> bits));
}

// Every interface of the host, with or without an IPv4 address.
std::vector<HostLinks::Interface> ListInterfaces(RoutingSocket& kernel) {
  std::vector<HostLinks::Interface> list;
  bool whole = kernel.Dump(RTM_GETLINK, RTM_NEWLINK, AF_UNSPEC, [&](const nlmsghdr* h) {
    const rtattr* a;
    int left;
    const ifinfomsg* link = Body<ifinfomsg>(h, &a, &left);
    if (link == nullptr || link->ifi_index <= 0) return;
    HostLinks::Interface i{link->ifi_index, "", link->ifi_flags};
    for (; RTA_OK(a, left); a = RTA_NEXT(a, left))
      if (a->rta_type == IFLA_IFNAME)
        i.name.assign(static_cast<const char*>(RTA_DATA(a)),
                      strnlen(static_cast<const char*>(RTA_DATA(a)), RTA_PAYLOAD(a)));
    list.push_back(i);
  });
  if (!whole) log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "interface list cut short");
  return list;
}

// Every IPv4 address of the host with its interface and prefix, whatever
// its label: an address labelled "eth0:1" or "vip" is one of the host's all
// the same.
std::vector<HostLinks::Address> ListAddresses(RoutingSocket& kernel,
                                              const std::vector<HostLinks::Interface>& links) {
  std::vector<HostLinks::Address> list;
  bool whole = kernel.Dump(RTM_GETADDR, RTM_NEWADDR, AF_INET, [&](const nlmsghdr* h) {
    const rtattr* a;
    int left;
    const ifaddrmsg* entry = Body<ifaddrmsg>(h, &a, &left);
    if (entry == nullptr || entry->ifa_family != AF_INET || entry->ifa_prefixlen > 32) return;
    in_addr local{}, peer{};
    bool hasLocal = false, hasPeer = false;
    for (; RTA_OK(a, left); a = RTA_NEXT(a, left)) {
      if (a->rta_type == IFA_LOCAL) hasLocal = Attribute4(a, &local);
      if (a->rta_type == IFA_ADDRESS) hasPeer = Attribute4(a, &peer);
    }
    // On a point-to-point link IFA_ADDRESS is the far end; IFA_LOCAL is
    // always this host's own.
    if (!hasLocal && !hasPeer) return;
    HostLinks::Address host;
    host.index = static_cast<int>(entry->ifa_index);
    for (const HostLinks::Interface& i : links)
      if (i.index == host.index) host.interface = i.name;
    host.address = hasLocal ? local : peer;
    host.netmask.s_addr = PrefixMask(entry->ifa_prefixlen);
    list.push_back(host);
  });
  if (!whole) log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "address list cut short");
  return list;
}

// The main table's routes that reach a network without a gateway. A direct
// default route is left out: it says where to send everything, not that
// everything is a neighbour.
std::vector<HostLinks::Route> ListDirectRoutes(RoutingSocket& kernel) {
  std::vector<HostLinks::Route> list;
  bool whole = kernel.Dump(RTM_GETROUTE, RTM_NEWROUTE, AF_INET, [&](const nlmsghdr* h) {
    const rtattr* a;
    int left;
    const rtmsg* route = Body<rtmsg>(h, &a, &left);
    if (route == nullptr || route->rtm_family != AF_INET || route->rtm_type != RTN_UNICAST ||
        route->rtm_dst_len == 0 || route->rtm_dst_len > 32 || list.size() >= kMaxRoutes)
      return;
    uint32_t table = route->rtm_table;
    in_addr_t destination = 0;
    int index = 0;
    bool viaGateway = false;
    for (; RTA_OK(a, left); a = RTA_NEXT(a, left)) {
      if (a->rta_type == RTA_TABLE) Attribute4(a, &table);
      if (a->rta_type == RTA_DST) Attribute4(a, &destination);
      if (a->rta_type == RTA_OIF) Attribute4(a, &index);
      if (a->rta_type == RTA_GATEWAY || a->rta_type == RTA_MULTIPATH || a->rta_type == RTA_VIA)
        viaGateway = true;
    }
    if (table != RT_TABLE_MAIN || viaGateway || index <= 0) return;
    list.push_back(HostLinks::Route{index, destination, PrefixMask(route->rtm_dst_len)});
  });
  if (!whole) log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "route list cut short");
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
    case kNotQueryInterface:
      return "arrived on an interface the query did not leave by";
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
    case kAddressOnAnotherLink:
      return "address on another link of this host";
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
  RoutingSocket kernel;
  if (!kernel.IsOpen()) {
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "routing socket: %s", strerror(errno));
    return HostLinks();
  }
  std::vector<Interface> interfaces = ListInterfaces(kernel);
  std::vector<Address> addresses = ListAddresses(kernel, interfaces);
  std::vector<Route> routes = ListDirectRoutes(kernel);
  return HostLinks(std::move(interfaces), std::move(addresses), std::move(routes));
}

int HostLinks::OpenChangeSocket() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  sockaddr_nl groups;
  memset(&groups, 0, sizeof(groups));
  groups.nl_family = AF_NETLINK;
  groups.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
  if (bind(fd, reinterpret_cast<sockaddr*>(&groups), sizeof(groups)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool HostLinks::TakeChanges(int fd) {
  bool changed = false;
  char buffer[8192];
  for (;;) {
    sockaddr_nl from;
    socklen_t fromSize = sizeof(from);
    ssize_t n = recvfrom(fd, buffer, sizeof(buffer), MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &fromSize);
    if (n < 0 && errno == EINTR) continue;
    // The kernel drops what does not fit the queue and says so once: the
    // lost notes may have been changes.
    if (n < 0) return changed || errno == ENOBUFS;
    if (n == 0) return changed;
    // Only the kernel speaks for the host's links.
    if (from.nl_pid == 0) changed = true;
  }
}

// A bridge without carrier takes a send and passes nothing on, and a second
// address, an alias, a down or loopback interface would send a second copy
// or none: each would take a place from a real link. A point-to-point link
// (a tunnel, a VPN) has one peer and no printers: what answers there was
// routed from somewhere else.
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
    else if (flags & IFF_POINTOPOINT)
      choice.skipped = "point-to-point";
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

void HostLinks::MarkQueried(int index) {
  for (int queried : queried_)
    if (queried == index) return;
  queried_.push_back(index);
}

bool HostLinks::IsOnLink(in_addr_t address, int index) const {
  const Interface* link = FindInterface(index);
  if (link == nullptr || (link->flags & IFF_POINTOPOINT) != 0) return false;
  bool found = false, hasAddress = false;
  for (const Address& a : addresses_) {
    if (a.index != index) continue;
    hasAddress = true;
    found |= (address & a.netmask.s_addr) == (a.address.s_addr & a.netmask.s_addr);
  }
  // A route to an interface without an address of its own (a container's
  // veth with a /32 route) reaches a host that never hears the query.
  if (found || !hasAddress) return found;
  for (const Route& r : routes_)
    if (r.index == index && (address & r.netmask) == (r.network & r.netmask)) return true;
  return false;
}

bool HostLinks::IsOnOtherLink(in_addr_t address, int index) const {
  for (const Address& a : addresses_)
    if (a.index != index && (address & a.netmask.s_addr) == (a.address.s_addr & a.netmask.s_addr))
      return true;
  for (const Route& r : routes_)
    if (r.index != index && (address & r.netmask) == (r.network & r.netmask)) return true;
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
  // Only the links the query left by can carry an answer to it; a host on
  // any other (a container's interface, a link the query skipped) never
  // heard it.
  bool queried = false;
  for (int index : queried_) queried |= index == arrival.interfaceIndex;
  if (!queried) return kNotQueryInterface;
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
  if (!IsOnLink(address.s_addr, arrival.interfaceIndex)) {
    if (arrival.ttl != 255) return kAddressBeyondLink;
    if (IsOnOtherLink(address.s_addr, arrival.interfaceIndex)) return kAddressOnAnotherLink;
  }
  canonical = text;
  return kAccepted;
}
