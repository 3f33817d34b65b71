// The rules by which a datagram's sender is believed and a record's address
// may take a job, on a host set up by hand: two links, a second address, a
// link-local route, loopback, a bridge without carrier. The discovery loop
// and the probe judge by exactly these functions.
#include "host_links.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <string>
#include <vector>

namespace {

in_addr Ip(const char* text) {
  in_addr address;
  inet_pton(AF_INET, text, &address);
  return address;
}

in_addr_t Net(const char* text) { return Ip(text).s_addr; }

const unsigned kUsable = IFF_UP | IFF_RUNNING | IFF_MULTICAST;
enum { kLo = 1, kEth0 = 2, kEth1 = 3, kBridge = 4, kTunnel = 5, kDown = 6, kPod = 7 };

// The query went out of eth0 and eth1. tun0 is a routed VPN; cali0 a
// container's interface with no address of its own and a /32 route to its
// pod.
HostLinks Host(std::vector<int> queried) {
  HostLinks host({{kLo, "lo", IFF_UP | IFF_RUNNING | IFF_LOOPBACK},
                  {kEth0, "eth0", kUsable},
                  {kEth1, "eth1", kUsable},
                  {kBridge, "br0", IFF_UP | IFF_MULTICAST},
                  {kTunnel, "tun0", kUsable | IFF_POINTOPOINT},
                  {kDown, "eth2", IFF_MULTICAST},
                  {kPod, "cali0", kUsable}},
                 {{kLo, "lo", Ip("127.0.0.1"), Ip("255.0.0.0")},
                  {kEth0, "eth0", Ip("10.77.0.1"), Ip("255.255.255.0")},
                  {kEth1, "eth1", Ip("10.78.1.1"), Ip("255.255.255.0")},
                  {kEth0, "vip", Ip("10.71.0.1"), Ip("255.255.255.0")},
                  {kBridge, "br0", Ip("172.17.0.1"), Ip("255.255.0.0")},
                  {kTunnel, "tun0", Ip("10.9.0.1"), Ip("255.255.255.255")},
                  {kDown, "eth2", Ip("10.79.0.1"), Ip("255.255.255.0")}},
                 {{kEth0, Net("169.254.0.0"), Net("255.255.0.0")},
                  {kEth1, Net("10.78.1.0"), Net("255.255.255.0")},
                  {kTunnel, Net("10.50.0.0"), Net("255.255.0.0")},
                  {kPod, Net("10.244.1.5"), Net("255.255.255.255")}});
  for (int index : queried) host.MarkQueried(index);
  return host;
}

const HostLinks kHost = Host({kEth0, kEth1});
// As if the query had gone out everywhere: the link rules alone.
const HostLinks kEveryLink = Host({kLo, kEth0, kEth1, kBridge, kTunnel, kDown, kPod});

Arrival From(const char* source, int index, int ttl = 64) {
  return Arrival{Ip(source), index, ttl};
}

TEST(HostLinksTest, SenderIsBelievedOnlyFromTheLinkItArrivedOn) {
  const struct {
    const char* why;
    Arrival arrival;
    Verdict verdict;
    const HostLinks& host = kHost;
  } rows[] = {
      {"a neighbour on the arrival link", From("10.77.0.2", kEth0), kAccepted},
      {"the link's second subnet", From("10.71.0.9", kEth0), kAccepted},
      {"a direct link-local route", From("169.254.7.7", kEth0), kAccepted},
      {"a neighbour with TTL 255", From("10.78.1.2", kEth1, 255), kAccepted},
      {"local user over loopback", From("127.0.0.1", kLo), kArrivedOnLoopback},
      {"host's LAN address over loopback", From("10.77.0.1", kLo), kArrivedOnLoopback},
      {"host's own address on the link", From("10.77.0.1", kEth0), kSentFromThisHost},
      {"another of the host's addresses", From("172.17.0.1", kEth0), kSentFromThisHost},
      {"cross-link: eth0's subnet on eth1", From("10.77.0.2", kEth1), kSenderOffLink},
      {"link-local route on the other link", From("169.254.7.7", kEth1), kSenderOffLink},
      {"routed from afar", From("10.91.0.1", kEth0), kSenderOffLink},
      {"arrival interface unknown", From("10.77.0.2", 0), kNotQueryInterface},
      {"a bridge the query skipped", From("172.17.0.2", kBridge), kNotQueryInterface},
      {"a pod that never heard the query", From("10.244.1.5", kPod), kNotQueryInterface},
      {"a host behind the VPN", From("10.50.0.7", kTunnel, 60), kNotQueryInterface},
      {"the pod's address on the LAN", From("10.244.1.5", kEth0), kSenderOffLink},
      {"a route to an address-less interface", From("10.244.1.5", kPod), kSenderOffLink,
       kEveryLink},
      {"a route through a point-to-point link", From("10.50.0.7", kTunnel), kSenderOffLink,
       kEveryLink},
      {"a /32 has no neighbours", From("10.9.0.2", kTunnel), kSenderOffLink, kEveryLink},
      {"the subnet's broadcast address", From("10.77.0.255", kEth0), kSenderNotAHost},
      {"the subnet's network address", From("10.77.0.0", kEth0), kSenderNotAHost},
      {"a direct route's broadcast address", From("169.254.255.255", kEth0), kSenderNotAHost},
  };
  for (const auto& row : rows)
    EXPECT_EQ(VerdictText(row.verdict), std::string(VerdictText(row.host.JudgeSender(row.arrival))))
        << row.why;
}

TEST(HostLinksTest, AddressMayTakeAJobOnlyWhereTheLinkReaches) {
  const struct {
    const char* why;
    std::string ip;
    Arrival arrival;
    Verdict verdict;
  } rows[] = {
      {"on the arrival link", "10.77.0.20", From("10.77.0.2", kEth0), kAccepted},
      {"the printer's own address over a link-local route", "169.254.7.7",
       From("169.254.7.7", kEth0), kAccepted},
      {"beyond the link, from a neighbour with TTL 64", "10.92.0.5", From("10.77.0.2", kEth0),
       kAddressBeyondLink},
      {"beyond the link, from an on-link relay (TTL 255)", "10.92.0.5",
       From("10.77.0.2", kEth0, 255), kAccepted},
      {"a TTL lowered by one router", "10.92.0.5", From("10.77.0.2", kEth0, 254),
       kAddressBeyondLink},
      {"TTL unknown", "10.92.0.5", From("10.77.0.2", kEth0, -1), kAddressBeyondLink},
      {"on the host's other link", "10.78.1.5", From("10.77.0.2", kEth0), kAddressBeyondLink},
      {"TTL 255 to the host's other link", "10.78.1.5", From("10.77.0.2", kEth0, 255),
       kAddressOnAnotherLink},
      {"TTL 255 to the VPN's route", "10.50.3.3", From("10.77.0.2", kEth0, 255),
       kAddressOnAnotherLink},
      {"TTL 255 to the pod", "10.244.1.5", From("10.77.0.2", kEth0, 255), kAddressOnAnotherLink},
      {"the labelled address's subnet", "10.71.0.9", From("10.77.0.2", kEth0), kAccepted},
      {"the labelled address itself", "10.71.0.1", From("10.77.0.2", kEth0, 255),
       kAddressOfThisHost},
      {"this host's address", "10.77.0.1", From("10.77.0.2", kEth0, 255), kAddressOfThisHost},
      {"this host's bridge", "172.17.0.1", From("10.77.0.2", kEth0, 255), kAddressOfThisHost},
      {"the link's broadcast", "10.77.0.255", From("10.77.0.2", kEth0, 255), kAddressNotAHost},
      {"another subnet's network", "10.78.1.0", From("10.77.0.2", kEth0, 255), kAddressNotAHost},
      {"loopback", "127.0.0.1", From("10.77.0.2", kEth0, 255), kAddressUnusable},
      {"not an address", "printer.example", From("10.77.0.2", kEth0, 255), kAddressUnusable},
  };
  for (const auto& row : rows) {
    std::string canonical = "untouched";
    Verdict verdict = kHost.JudgeAddress(row.ip, row.arrival, canonical);
    EXPECT_EQ(VerdictText(row.verdict), std::string(VerdictText(verdict))) << row.why;
    EXPECT_EQ(verdict == kAccepted ? row.ip : "untouched", canonical) << row.why;
  }
}

TEST(HostLinksTest, QueryLeavesByEveryUsableInterfaceOnceUpTo32) {
  std::string chosen;
  for (const HostLinks::QueryInterface& i : kHost.QueryInterfaces())
    chosen += i.name + ":" + (i.skipped ? i.skipped : "used") + " ";
  EXPECT_EQ("lo:loopback eth0:used eth1:used br0:no carrier tun0:point-to-point eth2:down ",
            chosen);

  // Forty usable links, the printer's listed last of all: the first 32 are
  // used, the rest named as skipped.
  std::vector<HostLinks::Interface> interfaces;
  std::vector<HostLinks::Address> addresses;
  for (int i = 1; i <= 40; ++i) {
    interfaces.push_back({i, "v" + std::to_string(i), kUsable});
    addresses.push_back({i, "v" + std::to_string(i), Ip("10.80.0.1"), Ip("255.255.255.0")});
  }
  std::vector<HostLinks::QueryInterface> many =
      HostLinks(interfaces, addresses, {}).QueryInterfaces();
  ASSERT_EQ(40u, many.size());
  EXPECT_EQ(nullptr, many[31].skipped);
  EXPECT_STREQ("more than 32 interfaces", many[32].skipped);
  EXPECT_STREQ("more than 32 interfaces", many[39].skipped);
}

struct IpRow {
  std::string text;
  bool literal;
};

// The form of what a reply may name as the printer's address: one unicast IPv4 host,
// nothing that could carry a port, a path, a user or another host's name.
TEST(HostLinksTest, CanonicalAddressOnlyDottedQuadUnicastHosts) {
  const IpRow rows[] = {
      {"10.77.0.20", true},
      {"192.168.1.255", true},  // the form alone: whose broadcast it is, JudgeAddress knows
      {"1.0.0.0", true},
      {"223.255.255.255", true},
      {"0.1.2.3", false},    // "this network"
      {"127.0.0.1", false},  // the print host itself
      {"127.255.0.9", false},
      {"224.0.0.251", false},  // multicast
      {"239.1.1.1", false},
      {"240.0.0.1", false},  // reserved
      {"255.255.255.255", false},
      {"127.0.0.1:631", false},
      {"10.88.0.3:2222/?waiteof=false", false},
      {"u:p@10.88.0.3:9100", false},
      {"printer.attacker.example", false},
      {"10.0.0.1\n", false},
      {"10.0.0.1 ", false},
      {"010.0.0.1", false},  // leading zeros: octal to some readers
      {"10.0.1", false},
      {"10.0.0.256", false},
      {"0x0a.0.0.1", false},
      {std::string("10.0.0.1\0junk", 13), false},
      {"", false},
  };
  for (const IpRow& row : rows) {
    std::string canonical = "untouched";
    EXPECT_EQ(row.literal, CanonicalHostAddress(row.text, canonical)) << "[" << row.text << "]";
    EXPECT_EQ(row.literal ? row.text : "untouched", canonical);
  }
}

}  // namespace
