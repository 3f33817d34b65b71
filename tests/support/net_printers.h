// Printers for the net suites: a thread in a peer namespace that answers
// the host-config query as printers do, by unicast to the port it came
// from, with the TTL each answer gives; or as a local user of the host
// would, over loopback.
#ifndef NETBACKEND_TESTS_SUPPORT_NET_PRINTERS_H_
#define NETBACKEND_TESTS_SUPPORT_NET_PRINTERS_H_

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dns_message.h"
#include "net_namespace.h"
#include "test_util.h"

// A Tamo printer at 10.99.0.11 (its MAC address as the backend writes it:
// 80C4A2E691D5), a Korvane one without a MAC address, and a Tamo printer at
// any address (MAC 8844CC22AA66).
inline const Datagram kTamo =
    PrinterReply({"IPADDRESS=10.99.0.11", "MACUAA=0123456789AB", "PRINTERVIDPID=2E970001"});
inline const Datagram kKorvane = PrinterReply({"IPADDRESS=10.99.0.13", "PRINTERVIDPID=5A210001"});
inline Datagram TamoAt(const std::string& ip, const std::string& mac = "112233445566") {
  return PrinterReply({"IPADDRESS=" + ip, "MACUAA=" + mac, "PRINTERVIDPID=2E970001"});
}

// One answer to each query: a datagram, and how it is sent.
struct Answer {
  Datagram datagram;
  int ttl = 64;            // from the peer, with this IP TTL
  bool fromLocal = false;  // from a local user of the host, over loopback
  int pauseMs = 0;         // sent this long after the one before
  int fromQuery = 1;       // not sent before the querier's query number `fromQuery`
};

// Printers on the group 224.0.0.251 at `port`, joined on nb1 in the peer
// (see LinkPeer): each query gets `answers`, one datagram each, in order.
class Printers {
 public:
  Printers(const nettest::NetNs& peer, int port, const std::vector<Answer>& answers)
      : answers_(answers), local_(socket(AF_INET, SOCK_DGRAM, 0)) {
    nettest::Enter inPeer(peer);
    fd_.Reset(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(port));
    ip_mreqn join = {};
    inet_pton(AF_INET, "224.0.0.251", &join.imr_multiaddr);
    join.imr_ifindex = static_cast<int>(if_nametoindex("nb1"));
    ok_ = inPeer.ok() && bind(fd_.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0 &&
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
      const int nth = ++perQuerier_[from.sin_port];
      sockaddr_in loopback = from;
      inet_pton(AF_INET, "127.0.0.1", &loopback.sin_addr);
      for (const ::Answer& answer : answers_) {
        if (nth < answer.fromQuery) continue;
        if (answer.pauseMs > 0)
          std::this_thread::sleep_for(std::chrono::milliseconds(answer.pauseMs));
        const Bytes& bytes = answer.datagram.bytes();
        if (answer.fromLocal) {
          sendto(local_.get(), bytes.data(), bytes.size(), 0,
                 reinterpret_cast<sockaddr*>(&loopback), sizeof(loopback));
          continue;
        }
        setsockopt(fd_.get(), IPPROTO_IP, IP_TTL, &answer.ttl, sizeof(answer.ttl));
        sendto(fd_.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), size);
      }
    }
  }

  const std::vector<::Answer> answers_;
  Fd fd_;
  Fd local_;  // in the host's namespace
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> queries_{0};
  std::map<in_port_t, int> perQuerier_;  // queries so far, by the querier's port
  std::thread thread_;
};

#endif  // NETBACKEND_TESTS_SUPPORT_NET_PRINTERS_H_
