// The discovery loop itself, Discoverer::discover, on real sockets with a
// one-second budget: which records it keeps, the observer ending the run,
// and the budget ending it. It runs in a forked child inside a private
// network namespace (see support/net_namespace.h), where a thread plays the
// printers: the query leaves by nb0 and comes back to the thread over the
// multicast loop, and the thread answers as printers do, by unicast to the
// port the query came from. The end-to-end scripts run the same loop for
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

#include "dns_message.h"
#include "kvt.h"
#include "net_namespace.h"
#include "test_util.h"

namespace {

using nettest::Report;
using nettest::RunInNamespace;

// Where the query goes: a port nothing else in the namespace uses.
const int kQueryPort = 5390;

// Printers on the group 224.0.0.251 at kQueryPort, joined on nb0: each query
// gets `replies`, one datagram each, in order.
class Printers {
 public:
  explicit Printers(const std::vector<Datagram>& replies)
      : replies_(replies), fd_(socket(AF_INET, SOCK_DGRAM, 0)) {
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(kQueryPort);
    ip_mreqn join = {};
    inet_pton(AF_INET, "224.0.0.251", &join.imr_multiaddr);
    join.imr_ifindex = static_cast<int>(if_nametoindex("nb0"));
    ok_ = bind(fd_.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0 &&
          setsockopt(fd_.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)) == 0;
    if (ok_) thread_ = std::thread([this] { Answer(); });
  }
  ~Printers() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return ok_; }
  int queries() const { return queries_; }

 private:
  void Answer() {
    while (!stop_) {
      pollfd ready = {fd_.get(), POLLIN, 0};
      if (poll(&ready, 1, 20) <= 0) continue;
      unsigned char query[512];
      sockaddr_in from;
      socklen_t size = sizeof(from);
      ssize_t n =
          recvfrom(fd_.get(), query, sizeof(query), 0, reinterpret_cast<sockaddr*>(&from), &size);
      if (n <= 0 || Bytes(query, query + n) != HostConfigQuery().bytes()) continue;
      ++queries_;
      for (const Datagram& reply : replies_)
        sendto(fd_.get(), reply.bytes().data(), reply.bytes().size(), 0,
               reinterpret_cast<sockaddr*>(&from), size);
    }
  }

  const std::vector<Datagram> replies_;
  Fd fd_;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::thread thread_;
};

// A record's fields, "mac|ip|device ID|brand", after `list` and a blank.
std::string Add(const std::string& list, const DeviceRecord& r) {
  return list + r.macAddress() + "|" + r.ipAddress() + "|" + r.deviceId() + "|" + r.brand() + " ";
}

const Datagram kTamo =
    PrinterReply({"IPADDRESS=10.99.0.11", "MACUAA=0123456789AB", "PRINTERVIDPID=2E970001"});
const Datagram kTamoById = PrinterReply({"IPADDRESS=10.99.0.12", "1284STRID=\"MFG:Tamo;\""});
const Datagram kKorvane = PrinterReply({"IPADDRESS=10.99.0.13", "PRINTERVIDPID=5A210001"});
const Datagram kZalor = PrinterReply({"IPADDRESS=10.99.0.14", "MDNSNAME=ZALOR-1"});

struct DiscoverRow {
  const char* why;
  const char* program;  // its first letter picks the brand
  std::vector<Datagram> replies;
  size_t stopAt;                  // the observer returns false for this record (1, 2, ...); 0 never
  std::string kept;               // the records appended, in Add's form
  double minSeconds, maxSeconds;  // from the call to its return
};

TEST(NetDiscover, BrandFilterEarlyStopAndBudget) {
  const DiscoverRow rows[] = {
      {"Tamo keeps its brand alone, and waits out the budget",
       "tamo",
       {kKorvane, kTamo, Datagram().Byte(0xC0, 64), HostConfigQuery(), kZalor, kTamoById},
       0,
       "80C4A2E691D5|10.99.0.11||Tamo |10.99.0.12|MFG:Tamo;|Tamo ",
       0.9,
       2.0},
      {"every brand under 'g'; the observer's false ends the run at once",
       "gprinter",
       {kKorvane, kZalor, kTamo},
       2,
       "|10.99.0.13||Korvane |10.99.0.14|| ",
       0,
       0.5},
      {"no reply of its brand: the budget ends the run",
       "solena",
       {kKorvane, kTamo, kZalor},
       0,
       "",
       0.9,
       2.0},
  };
  std::string failures = RunInNamespace(true, 20, [&rows](Report& r) {
    for (const DiscoverRow& row : rows) {
      r.Context(row.why);
      Printers printers(row.replies);
      if (!NS_CHECK(r, printers.ok())) return;
      Discoverer discoverer(row.program);
      std::string told;
      size_t calls = 0;
      DiscoveryOptions options;
      options.seconds = 1;
      options.port = kQueryPort;
      Clock::time_point start = Clock::now();
      int sent = discoverer.discover(
          [&](const DeviceRecord& record) {
            told = Add(told, record);
            return ++calls != row.stopAt;
          },
          options);
      double seconds = MillisecondsSince(start) / 1000;
      NS_CHECK_EQ(r, 1, sent);
      NS_CHECK_EQ(r, 1, printers.queries());
      std::string kept;
      for (const DeviceRecord& record : discoverer.devices()) kept = Add(kept, record);
      NS_CHECK_EQ(r, row.kept, kept);
      NS_CHECK_EQ(r, row.kept, told);  // told of each, after it joined the list
      r.Check(seconds >= row.minSeconds && seconds <= row.maxSeconds, __FILE__, __LINE__,
              std::string(row.why) + ": ran " + std::to_string(seconds) + " s");
    }
  });
  EXPECT_EQ("", failures);
}

}  // namespace
