// The discovery loop itself, Discoverer::discover, on real sockets with a
// one-second budget: what it makes of each datagram, which records it
// keeps, the observer ending the run, and the budget ending it. It runs in a
// forked child inside a private network namespace (see
// support/net_namespace.h), whose nb0 leads to a peer namespace where a
// thread plays the printers: they answer as printers do, by unicast to the
// port the query came from, with the TTL each row gives; a local user of the
// host answers over loopback. The end-to-end scripts run the same loop for
// its full 15 seconds.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "device_uri.h"
#include "dns_message.h"
#include "kvt.h"
#include "net_namespace.h"
#include "net_printers.h"
#include "printer_link.h"
#include "printer_listing.h"
#include "test_files.h"
#include "test_util.h"
#include "trace_file.h"
#include "trace_log.h"

namespace {

using nettest::Enter;
using nettest::NetNs;
using nettest::Report;
using nettest::RunInNamespace;

// Where the query goes: a port nothing else in the namespace uses.
const int kQueryPort = 5390;

// A record's fields, "mac|ip|device ID|brand", after `list` and a blank.
std::string Add(const std::string& list, const DeviceRecord& r) {
  return list + r.macAddress() + "|" + r.ipAddress() + "|" + r.deviceId() + "|" + r.brand() + " ";
}

const Datagram kTamoById = PrinterReply({"IPADDRESS=10.99.0.12", "1284STRID=\"MFG:Tamo;\""});
const Datagram kZalor = PrinterReply({"IPADDRESS=10.99.0.14", "MDNSNAME=ZALOR-1"});

struct DiscoverRow {
  const char* why;
  const char* program;  // its first letter picks the brand
  std::vector<Answer> answers;
  size_t stopAt;         // the observer returns false for this datagram (1, 2, ...); 0 never
  std::string verdicts;  // what the observer was told of each datagram
  std::string kept;      // the records appended, in Add's form
  double minSeconds, maxSeconds;  // from the call to its return
};

TEST(NetDiscover, VerdictsBrandFilterEarlyStopAndBudget) {
  const DiscoverRow rows[] = {
      {"Tamo keeps its brand alone, and waits out the budget",
       "tamo",
       {{kKorvane},
        {kTamo},
        {Datagram().Byte(0xC0, 64)},
        {HostConfigQuery()},
        {kZalor},
        {kTamoById}},
       0,
       "other brand|listed|malformed|not a host-config reply|other brand|no MAC address|",
       "80C4A2E691D5|10.99.0.11||Tamo |10.99.0.12|MFG:Tamo;|Tamo ",
       0.9,
       2.0},
      {"every brand under 'g'; the observer's false ends the run at once",
       "gprinter",
       {{kKorvane}, {kZalor}, {kTamo}},
       2,
       "no MAC address|no MAC address|",
       "|10.99.0.13||Korvane |10.99.0.14|| ",
       0,
       0.5},
      {"no reply of its brand: the budget ends the run",
       "solena",
       {{kKorvane}, {kTamo}, {kZalor}},
       0,
       "other brand|other brand|other brand|",
       "",
       0.9,
       2.0},
      {"trust: a local user, a relay with TTL 64 and 255, addresses that are no printer, a "
       "link-local printer",
       "tamo",
       {{kTamo, 64, true},
        {TamoAt("10.92.0.5")},
        {TamoAt("10.92.0.5"), 255},
        {TamoAt("10.99.0.1"), 255},
        {TamoAt("10.99.0.255"), 255},
        {TamoAt("10.99.0.15", "000000000000")},
        {TamoAt("169.254.7.7")}},
       0,
       "arrived on loopback|address beyond the link from a routed sender|listed|"
       "address of this host|address is a network or broadcast address|no MAC address|listed|",
       "8844CC22AA66|10.92.0.5||Tamo 8844CC22AA66|10.92.0.5||Tamo 8844CC22AA66|10.99.0.1||Tamo "
       "8844CC22AA66|10.99.0.255||Tamo |10.99.0.15||Tamo 8844CC22AA66|169.254.7.7||Tamo ",
       0.9,
       2.0},
  };
  // With the full trace on: the loop says why each datagram was not used.
  TempDir dir("net_discover");
  ASSERT_TRUE(WriteFile(dir / ".slog", "", 0644));
  std::string failures = RunInNamespace(true, 30, [&](Report& r) {
    setenv("TMPDIR", dir.path().c_str(), 1);
    gLogFD = -1;
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok() && nettest::LinkPeer(peer))) return;
    // Link-local addresses are reached through nb0 directly, as on a
    // desktop that has this route: such a printer is on the link.
    if (!NS_CHECK(r, nettest::Ip("route add 169.254.0.0/16 dev nb0 scope link\n"))) return;
    for (const DiscoverRow& row : rows) {
      r.Context(row.why);
      Printers printers(peer, kQueryPort, row.answers);
      if (!NS_CHECK(r, printers.ok())) return;
      Discoverer discoverer(row.program);
      std::string told;
      size_t calls = 0;
      DiscoveryOptions options;
      options.seconds = 1;
      options.port = kQueryPort;
      Clock::time_point start = Clock::now();
      int sent = discoverer.discover(
          [&](const Reply& reply) {
            told += std::string(VerdictText(reply.verdict)) + "|";
            return ++calls != row.stopAt;
          },
          options);
      double seconds = MillisecondsSince(start) / 1000;
      NS_CHECK_EQ(r, 1, sent);
      NS_CHECK_EQ(r, 1, printers.queries());
      std::string kept;
      for (const DeviceRecord& record : discoverer.devices()) kept = Add(kept, record);
      NS_CHECK_EQ(r, row.verdicts, told);
      NS_CHECK_EQ(r, row.kept, kept);
      r.Check(seconds >= row.minSeconds && seconds <= row.maxSeconds, __FILE__, __LINE__,
              std::string(row.why) + ": ran " + std::to_string(seconds) + " s");
    }
    log_exit();
    const std::string trace = ReadFile(OwnTracePath());
    unlink(OwnTracePath().c_str());
    r.Context("the trace");
    for (const std::string& line :
         {"| dropped " + std::to_string(kTamo.bytes().size()) +
              " bytes from 127.0.0.1 (TTL 64): arrived on loopback [src/kvt-",
          std::string("| reply from 10.99.0.2 (TTL 255) not used: address of this host (MAC "
                      "\"8844CC22AA66\", IP \"10.99.0.1\") [src/kvt-")})
      r.Check(trace.find(line) != std::string::npos, __FILE__, __LINE__, "no line " + line);
  });
  EXPECT_EQ("", failures);
}

}  // namespace

// The host's links change during a run: the loop hears of it from the
// kernel and judges the next datagram by the links as they are now. An
// address added with a label of its own (as floating-address daemons add
// them) is this host's at once; a renumbered interface still takes the
// repeated query. A pod behind an address-less interface is not heard.
TEST(NetDiscover, LinksThatChangeDuringTheRun) {
  std::string failures = RunInNamespace(true, 30, [&](Report& r) {
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok() && nettest::LinkPeer(peer))) return;
    DiscoveryOptions options;
    options.seconds = 2;
    options.port = kQueryPort;
    {
      r.Context("an address added mid-run");
      Printers printers(peer, kQueryPort,
                        {{TamoAt("10.99.0.100")}, {TamoAt("10.99.0.100"), 64, false, 500}});
      if (!NS_CHECK(r, printers.ok())) return;
      std::string told;
      Discoverer("tamo").discover(
          [&](const Reply& reply) {
            if (told.empty()) nettest::Ip("addr add 10.99.0.100/24 dev nb0 label vip\n");
            told += std::string(VerdictText(reply.verdict)) + "|";
            return true;
          },
          options);
      NS_CHECK_EQ(r, "listed|address of this host|", told);
    }
    {
      // A container's interface as orchestrators set it up: no address on
      // the host's side, a /32 route to the pod. The pod answers from
      // there, though the query never went that way.
      r.Context("a pod answers");
      if (!NS_CHECK(r, nettest::Ip("link add nb2 type veth peer name nb3\n"
                                   "link set nb3 netns " +
                                   peer.Path() +
                                   "\n"
                                   "link set nb2 up\n"
                                   "route add 10.244.1.5/32 dev nb2 scope link\n")))
        return;
      {
        Enter inPeer(peer);
        if (!NS_CHECK(r, inPeer.ok() && nettest::Ip("addr add 10.244.1.5/32 dev nb3\n"
                                                    "link set nb3 up\n"
                                                    "route add 10.99.0.1/32 dev nb3 src "
                                                    "10.244.1.5\n")))
          return;
      }
      if (!NS_CHECK(r, nettest::WaitForCarrier("nb2"))) return;
      Printers printers(peer, kQueryPort, {{TamoAt("10.244.1.5")}});
      if (!NS_CHECK(r, printers.ok())) return;
      std::string told;
      Discoverer("tamo").discover(
          [&](const Reply& reply) {
            told += std::string(VerdictText(reply.verdict)) + "|";
            return true;
          },
          options);
      NS_CHECK_EQ(r, "arrived on an interface the query did not leave by|", told);
    }
    {
      r.Context("renumbered after the first query");
      options.repeatQuery = true;
      Printers printers(peer, kQueryPort, {{TamoAt("10.99.0.20")}});
      if (!NS_CHECK(r, printers.ok())) return;
      bool renumbered = false;
      Discoverer("tamo").discover(
          [&](const Reply&) {
            if (!renumbered)
              renumbered = nettest::Ip(
                  "addr flush dev nb0\naddr add 10.99.0.50/24 dev nb0\n"
                  "route add 224.0.0.0/4 dev nb0\n");
            return true;
          },
          options);
      NS_CHECK(r, renumbered);
      NS_CHECK_EQ(r, 2, printers.queries());
    }
  });
  EXPECT_EQ("", failures);
}

// The application's listing: each printer once, under its brand, past a
// reply it may not use.
TEST(NetDiscover, TheApplicationListsEachPrinterOnce) {
  std::string failures = RunInNamespace(true, 30, [&](Report& r) {
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok() && nettest::LinkPeer(peer))) return;
    Printers printers(peer, 5353,
                      {{kKorvane}, {TamoAt("10.99.0.20")}, {TamoAt("10.99.0.20")}, {kTamo}});
    if (!NS_CHECK(r, printers.ok())) return;
    AddressBook book;
    std::vector<std::string> uris;
    ListPrinters(
        [&](const ListedPrinter& printer) {
          uris.push_back(printer.uri);
          return true;
        },
        &book, 1);
    NS_CHECK(r, uris == (std::vector<std::string>{MakeDeviceUri("tamo", "8844CC22AA66"),
                                                  MakeDeviceUri("tamo", "80C4A2E691D5")}));
  });
  EXPECT_EQ(failures, "");
}
