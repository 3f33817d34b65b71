// The connector and its watch on real sockets. Each scenario runs in a forked
// child inside private network namespaces (see support/net_namespace.h);
// nothing here touches the machine's own network.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "connector.h"
#include "data_buffer.h"
#include "descriptor_watch.h"
#include "dns_message.h"
#include "kvt.h"
#include "net_namespace.h"
#include "test_util.h"
#include "trace_file.h"
#include "trace_log.h"

namespace {

using nettest::Enter;
using nettest::Ip;
using nettest::NetNs;
using nettest::Report;
using nettest::RunInNamespace;

const int kQueryPort = 5353;
const int kCapacity = 4096;

sockaddr_in Address(const char* ip, int port) {
  sockaddr_in address;
  memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  inet_pton(AF_INET, ip, &address.sin_addr);
  return address;
}

// A datagram socket bound to `port` on every address; `reuse` allows others
// to bind the same port.
int BoundUdp(int port, bool reuse) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  int one = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in any = Address("0.0.0.0", port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

ssize_t SendDatagram(const char* ip, int port, const Bytes& bytes) {
  Fd fd(socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in to = Address(ip, port);
  return sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to),
                sizeof(to));
}

Bytes Contents(const DataBuffer& buffer, int from, int to) {
  return Bytes(buffer.Data() + from, buffer.Data() + to);
}

// What standard error receives while the capture lives.
class CaptureStderr {
 public:
  CaptureStderr() : file_(tmpfile()), saved_(dup(2)) {
    fflush(stderr);
    if (file_ != nullptr) dup2(fileno(file_), 2);
  }
  ~CaptureStderr() {
    Restore();
    if (file_ != nullptr) fclose(file_);
  }
  CaptureStderr(const CaptureStderr&) = delete;
  CaptureStderr& operator=(const CaptureStderr&) = delete;
  std::string Text() {
    Restore();
    if (file_ == nullptr) return "(no capture)";
    lseek(fileno(file_), 0, SEEK_SET);
    return nettest::ReadAll(fileno(file_));
  }

 private:
  void Restore() {
    if (saved_ < 0) return;
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }
  FILE* file_;
  int saved_;
};

// The IPv4 interfaces in the order the system lists them (SIOCGIFCONF).
struct Interface {
  std::string name;
  std::string address;
};
std::vector<Interface> ListInterfaces() {
  std::vector<Interface> list;
  ifreq records[32];
  ifconf conf;
  conf.ifc_len = sizeof(records);
  conf.ifc_req = records;
  Fd probe(socket(AF_INET, SOCK_DGRAM, 0));
  if (ioctl(probe.get(), SIOCGIFCONF, &conf) != 0) return list;
  for (size_t i = 0; i < conf.ifc_len / sizeof(ifreq); ++i) {
    char text[INET_ADDRSTRLEN];
    const sockaddr_in* in = reinterpret_cast<const sockaddr_in*>(&records[i].ifr_addr);
    inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
    list.push_back(Interface{records[i].ifr_name, text});
  }
  return list;
}

// Whether the watch holds any descriptor, seen from outside: an empty watch
// returns 0 at once and leaves the timeout as it was; one that holds a
// descriptor either reports it ready or sleeps the 200 ms out.
bool WatchHoldsSomething(DescriptorWatch& watch) {
  int result = watch.Wait(0, 200000);
  return result != 0 || watch.Expired();
}

// ---------------------------------------------------------------------------
// The budget, on the connector's datagram socket.

TEST(NetWatch, BudgetIsSpentAcrossWaitsOnADatagramSocket) {
  std::string failures = RunInNamespace(true, 30, [](Report& r) {
    DescriptorWatch watch;
    Connector connector(&watch);
    DataBuffer buffer(kCapacity);
    buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
    if (!NS_CHECK_EQ(r, 1, connector.Broadcast(buffer, kQueryPort))) return;
    int fd = connector.UdpSocket();

    r.Context("nothing arrives");
    Clock::time_point start = Clock::now();
    NS_CHECK_EQ(r, 0, connector.Wait(0, 300000));
    double spent = MillisecondsSince(start);
    NS_CHECK(r, spent >= 295 && spent < 600);
    NS_CHECK(r, watch.Expired());
    NS_CHECK(r, !watch.IsReadable(fd));
    NS_CHECK_EQ(r, 0, connector.ReceiveReply(buffer));

    r.Context("a datagram already queued");
    NS_CHECK_EQ(r, 5, SendDatagram("127.0.0.1", kQueryPort, Pattern(5, 1)));
    start = Clock::now();
    NS_CHECK_EQ(r, 1, watch.Wait(15, 0));
    double took = MillisecondsSince(start);
    NS_CHECK(r, took < 100);
    NS_CHECK(r, watch.IsReadable(fd));
    NS_CHECK(r, !watch.Expired());
    long left = Microseconds(watch.Timeout());
    NS_CHECK(r, left >= 15000000L - static_cast<long>(took * 1000) && left <= 15000000L);
    NS_CHECK_EQ(r, 5, connector.ReceiveReply(buffer));

    // Datagrams 100 and 200 ms into a 600 ms budget: the waits return as
    // they arrive, each leaving in the timeout the budget less all the time
    // slept so far, and the last one spends only that rest instead of a
    // fresh 600 ms. The bounds are taken from the clock around each call and
    // from the moments of sending, so a late sender under load still gives
    // exact checks.
    r.Context("one budget over Wait and two Rewaits");
    const long kBudget = 600000;
    start = Clock::now();
    Clock::time_point sent1, sent2;
    std::thread sender([start, &sent1, &sent2] {
      std::this_thread::sleep_until(start + std::chrono::milliseconds(100));
      sent1 = Clock::now();
      SendDatagram("127.0.0.1", kQueryPort, Pattern(10, 2));
      std::this_thread::sleep_until(start + std::chrono::milliseconds(200));
      sent2 = Clock::now();
      SendDatagram("127.0.0.1", kQueryPort, Pattern(20, 3));
    });
    Clock::time_point waitStart = Clock::now();
    int first = connector.Wait(0, static_cast<int>(kBudget));
    double woke1 = MillisecondsSince(waitStart);
    long leftFirst = Microseconds(watch.Timeout());
    int received1 = connector.ReceiveReply(buffer);
    int second = connector.Rewait();
    double woke2 = MillisecondsSince(waitStart);
    long leftSecond = Microseconds(watch.Timeout());
    int received2 = connector.ReceiveReply(buffer);
    Clock::time_point lastStart = Clock::now();
    int third = connector.Rewait();
    double last = MillisecondsSince(lastStart);
    double total = MillisecondsSince(start);
    sender.join();
    // Microseconds of budget that may be left when the waits so far slept
    // at least `sleptMs` / at most `sleptMs`.
    auto leftAfter = [kBudget](double sleptMs) {
      return kBudget - static_cast<long>(sleptMs * 1000);
    };
    const long kSlack = 2000;
    // A datagram can only wake the wait after it was sent.
    double arrived1 = std::chrono::duration<double, std::milli>(sent1 - waitStart).count();
    double arrived2 = std::chrono::duration<double, std::milli>(sent2 - waitStart).count();
    std::ostringstream times;
    times << " (sent at " << arrived1 << " and " << arrived2 << " ms, woke at " << woke1 << " and "
          << woke2 << " ms, left " << leftFirst << " and " << leftSecond << " us)";
    NS_CHECK_EQ(r, 1, first);
    r.Check(leftFirst <= leftAfter(arrived1) + kSlack && leftFirst >= leftAfter(woke1) - kSlack,
            __FILE__, __LINE__, "first wait's rest" + times.str());
    NS_CHECK_EQ(r, 10, received1);
    NS_CHECK_EQ(r, 1, second);
    r.Check(leftSecond <= leftAfter(arrived2) + kSlack && leftSecond >= leftAfter(woke2) - kSlack,
            __FILE__, __LINE__, "second wait's rest" + times.str());
    NS_CHECK_EQ(r, 20, received2);
    NS_CHECK_EQ(r, 0, third);
    NS_CHECK(r, watch.Expired());
    NS_CHECK(r, last >= leftSecond / 1000.0 - 2 && last < leftSecond / 1000.0 + 150);
    NS_CHECK(r, total >= kBudget / 1000 - 5 && total < kBudget / 1000 + 300);
  });
  EXPECT_EQ("", failures);
}

// ---------------------------------------------------------------------------
// Broadcast.

// Seven veth pairs lead from the connector's namespace to a peer namespace,
// where one socket has joined the group on every peer end and notes on which
// interface each datagram arrived. The query leaves once by every pair that
// is up, whatever the system's listing order; not by loopback, by the pair
// that is down, a second time by a second address, or by a link without
// carrier (one listed before every pair).
TEST(NetBroadcast, QueryLeavesOnceByEveryUsableInterface) {
  std::string failures = RunInNamespace(false, 30, [](Report& r) {
    const int kPairs = 7;
    const int order[kPairs] = {6, 2, 4, 0, 5, 1, 3};
    NetNs peer(false);
    if (!NS_CHECK(r, peer.ok())) return;
    std::string hostSide, peerSide;
    for (int i = 0; i < kPairs; ++i) {
      int k = order[i];
      hostSide += "link add h" + std::to_string(k) + " type veth peer name p" + std::to_string(k) +
                  " netns " + peer.Path() + "\n";
    }
    for (int k = kPairs - 1; k >= 0; --k) {
      std::string n = std::to_string(k);
      hostSide += "addr add 10.70." + n + ".1/24 dev h" + n + "\n" + "link set h" + n + " up\n";
      peerSide += "addr add 10.70." + n + ".2/24 dev p" + n + "\n" + "link set p" + n + " up\n";
    }
    const int kDown = order[1];
    const int kTwoAddresses = order[0];
    // A link without carrier: up, but its far end is not.
    hostSide =
        "link add nc0 type veth peer name nc1\naddr add 10.72.0.1/24 dev nc0\nlink set nc0 up\n" +
        hostSide + "link set lo up\naddr add 10.71.0.1/24 dev h" + std::to_string(kTwoAddresses) +
        "\n";
    if (!NS_CHECK(r, Ip(hostSide))) return;

    // Host side: which address belongs to which pair, in listing order.
    std::vector<Interface> listed = ListInterfaces();
    if (!NS_CHECK_EQ(r, static_cast<size_t>(kPairs + 3), listed.size())) return;

    int receiver = -1;
    std::vector<int> peerIndex(kPairs);
    {
      Enter inPeer(peer);
      if (!NS_CHECK(r, inPeer.ok() && Ip(peerSide))) return;
      receiver = BoundUdp(kQueryPort, true);
      if (!NS_CHECK(r, receiver >= 0)) return;
      int one = 1;
      setsockopt(receiver, IPPROTO_IP, IP_PKTINFO, &one, sizeof(one));
      for (int k = 0; k < kPairs; ++k) {
        peerIndex[static_cast<size_t>(k)] =
            static_cast<int>(if_nametoindex(("p" + std::to_string(k)).c_str()));
        ip_mreqn join;
        memset(&join, 0, sizeof(join));
        inet_pton(AF_INET, "224.0.0.251", &join.imr_multiaddr);
        join.imr_ifindex = peerIndex[static_cast<size_t>(k)];
        NS_CHECK_EQ(r, 0, setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof(join)));
      }
    }
    Fd receiverFd(receiver);

    // A veth pair passes packets only once the kernel has noticed, in its own
    // time, that both ends are up; until then it drops them quietly. Probe
    // every pair with unicast datagrams to another port until each got
    // through, so that the query below is not sent into links still asleep.
    const int kProbePort = 9999;
    int probe = -1;
    {
      Enter inPeer(peer);
      probe = BoundUdp(kProbePort, false);
    }
    Fd probeFd(probe);
    if (!NS_CHECK(r, probe >= 0)) return;
    std::set<int> through;
    Clock::time_point probeStart = Clock::now();
    while (through.size() < static_cast<size_t>(kPairs) && MillisecondsSince(probeStart) < 5000) {
      for (int k = 0; k < kPairs; ++k) {
        if (through.count(k) != 0) continue;
        std::string to = "10.70." + std::to_string(k) + ".2";
        SendDatagram(to.c_str(), kProbePort, Bytes(1, static_cast<unsigned char>(k)));
      }
      DescriptorWatch wait;
      wait.AddRead(probe);
      while (wait.Wait(0, 50000) > 0) {
        unsigned char k = 0xFF;
        if (recv(probe, &k, 1, 0) == 1 && k < kPairs) through.insert(k);
      }
    }
    if (!NS_CHECK_EQ(r, static_cast<size_t>(kPairs), through.size())) return;
    if (!NS_CHECK(r, Ip("link set h" + std::to_string(kDown) + " down\n"))) return;

    DescriptorWatch watch;
    Connector connector(&watch);
    DataBuffer query(kCapacity);
    query.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
    NS_CHECK_EQ(r, 1, connector.Broadcast(query, kQueryPort));
    NS_CHECK(r, connector.UdpSocket() >= 0);

    // Collect until 300 ms pass without a datagram.
    std::multiset<std::string> arrivedFrom;  // host address of the pair
    for (;;) {
      DescriptorWatch wait;
      wait.AddRead(receiver);
      if (wait.Wait(0, 300000) <= 0) break;
      unsigned char payload[kCapacity];
      char control[256];
      sockaddr_in source;
      iovec io = {payload, sizeof(payload)};
      msghdr message;
      memset(&message, 0, sizeof(message));
      message.msg_name = &source;
      message.msg_namelen = sizeof(source);
      message.msg_iov = &io;
      message.msg_iovlen = 1;
      message.msg_control = control;
      message.msg_controllen = sizeof(control);
      ssize_t n = recvmsg(receiver, &message, 0);
      if (!NS_CHECK(r, n >= 0)) break;
      NS_CHECK(r, Bytes(payload, payload + n) == HostConfigQuery().bytes());
      char text[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &source.sin_addr, text, sizeof(text));
      NS_CHECK_EQ(r, kQueryPort, ntohs(source.sin_port));
      arrivedFrom.insert(text);
      // It must arrive on the peer end of the pair whose address it carries.
      for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
        in_pktinfo info;
        memcpy(&info, CMSG_DATA(c), sizeof(info));
        int pair = -1;
        sscanf(text, "10.70.%d.1", &pair);
        NS_CHECK(r, pair >= 0 && pair < kPairs &&
                        info.ipi_ifindex == peerIndex[static_cast<size_t>(pair)]);
      }
    }
    std::multiset<std::string> expected;
    std::set<std::string> names;
    for (const Interface& i : listed) {
      if (i.name == "lo" || i.name == "nc0" || i.name == "h" + std::to_string(kDown) ||
          names.count(i.name) != 0)
        continue;
      names.insert(i.name);
      expected.insert(i.address);
    }
    NS_CHECK(r, arrivedFrom == expected);
    NS_CHECK(r, arrivedFrom.count("10.71.0.1") == 0);
    NS_CHECK_EQ(r, static_cast<size_t>(kPairs - 1), arrivedFrom.size());
    std::string noCarrier = "not listed";
    for (const Connector::QueryInterface& i : connector.Interfaces())
      if (i.name == "nc0") noCarrier = i.skipped != nullptr ? i.skipped : "used";
    NS_CHECK_EQ(r, std::string("no carrier"), noCarrier);

    // The socket stays registered for the replies: one sent back to the
    // first pair's address wakes the watch.
    {
      Enter inPeer(peer);
      sockaddr_in to = Address(expected.begin()->c_str(), kQueryPort);
      Bytes reply = Pattern(64, 9);
      NS_CHECK_EQ(r, 64,
                  sendto(receiver, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to),
                         sizeof(to)));
    }
    NS_CHECK_EQ(r, 1, watch.Wait(1, 0));
    NS_CHECK(r, watch.IsReadable(connector.UdpSocket()));
    NS_CHECK_EQ(r, 64, connector.ReceiveReply(query));
    NS_CHECK(r, Contents(query, 0, 64) == Pattern(64, 9));

    connector.CloseBroadcast();
    NS_CHECK_EQ(r, -1, connector.UdpSocket());
    NS_CHECK(r, !WatchHoldsSomething(watch));
  });
  EXPECT_EQ("", failures);
}

struct BroadcastRow {
  const char* name;
  bool loopbackUp;
  int dataLength;
  int holdPort;  // 0 none, 1 without address reuse, 2 with it
  int result;    // 1, -1, or any negative (-2)
  const char* stderrText;
};

TEST(NetBroadcast, Outcomes) {
  const BroadcastRow rows[] = {
      {"one interface", true, 41, 0, 1, ""},
      {"no IPv4 interface at all", false, 41, 0, -1, ""},
      {"zero-length data: nothing counts as sent", true, 0, 0, -1, ""},
      {"port held by a socket that allowed reuse", true, 41, 2, 1, ""},
      {"port held without reuse", true, 41, 1, -2, "Broadcast: bind: Address already in use\n"},
  };
  for (const BroadcastRow& row : rows) {
    std::string failures = RunInNamespace(row.loopbackUp, 20, [&row](Report& r) {
      r.Context(row.name);
      Fd holder(row.holdPort == 0 ? -1 : BoundUdp(kQueryPort, row.holdPort == 2));
      if (row.holdPort != 0 && !NS_CHECK(r, holder.get() >= 0)) return;
      DescriptorWatch watch;
      Connector connector(&watch);
      DataBuffer data(kCapacity);
      data.Assign(gDNSQueryPacket, row.dataLength);
      int result;
      std::string stderrText;
      {
        CaptureStderr capture;
        result = connector.Broadcast(data, kQueryPort);
        stderrText = capture.Text();
      }
      if (row.result == -2)
        NS_CHECK(r, result < 0);
      else
        NS_CHECK_EQ(r, row.result, result);
      NS_CHECK_EQ(r, std::string(row.stderrText), stderrText);
      NS_CHECK_EQ(r, row.result > 0, connector.UdpSocket() >= 0);
      NS_CHECK_EQ(r, row.result > 0, WatchHoldsSomething(watch));
    });
    EXPECT_EQ("", failures) << row.name;
  }
}

// Two runs at the same moment (two listings, a listing and a job) each get
// a port of their own for the replies, even from a narrow range: sharing one
// would hand each reply to one of them only.
TEST(NetBroadcast, RunsAtTheSameTimeNeverShareAPort) {
  std::string failures = RunInNamespace(true, 20, [](Report& r) {
    std::ofstream("/proc/sys/net/ipv4/ip_local_port_range") << "40000 40001\n";
    DataBuffer data(kCapacity);
    data.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
    DescriptorWatch watch;
    Connector first(&watch), second(&watch), third(&watch);
    NS_CHECK_EQ(r, 1, first.Broadcast(data, kQueryPort, 0));
    NS_CHECK_EQ(r, 1, second.Broadcast(data, kQueryPort, 0));
    sockaddr_in a, b;
    socklen_t size = sizeof(a);
    getsockname(first.UdpSocket(), reinterpret_cast<sockaddr*>(&a), &size);
    size = sizeof(b);
    getsockname(second.UdpSocket(), reinterpret_cast<sockaddr*>(&b), &size);
    NS_CHECK(r, a.sin_port != b.sin_port);
    // The range is used up: the third cannot bind, and says so.
    CaptureStderr quiet;
    NS_CHECK(r, third.Broadcast(data, kQueryPort, 0) < 0);
  });
  EXPECT_EQ("", failures);
}

// A second Broadcast opens a new socket in place of the first, which leaves
// the watch; the destructor closes the socket but leaves a watch it does not
// own alone.
TEST(NetBroadcast, SecondBroadcastReplacesTheSocketAndDestructorCloses) {
  std::string failures = RunInNamespace(true, 20, [](Report& r) {
    DescriptorWatch watch;
    DataBuffer data(kCapacity);
    data.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
    int last = -1;
    {
      Connector connector(&watch);
      NS_CHECK_EQ(r, 1, connector.Broadcast(data, kQueryPort));
      NS_CHECK_EQ(r, 1, connector.Broadcast(data, kQueryPort));
      last = connector.UdpSocket();
      NS_CHECK_EQ(r, 3, SendDatagram("127.0.0.1", kQueryPort, Pattern(3, 4)));
      // Only the second socket is watched: a closed first one would make
      // select() fail, a doubly registered one count twice.
      NS_CHECK_EQ(r, 1, watch.Wait(1, 0));
      NS_CHECK_EQ(r, 3, connector.ReceiveReply(data));
    }
    NS_CHECK(r, last >= 0 && fcntl(last, F_GETFD) == -1 && errno == EBADF);
    // Still listed in the caller's watch, now a closed descriptor.
    NS_CHECK_EQ(r, -1, watch.Wait(0, 100000));
  });
  EXPECT_EQ("", failures);
}

// ---------------------------------------------------------------------------
// ReceiveReply.

enum Mark {
  kNoWait,          // no wait since Broadcast
  kWaitBeforeSend,  // the last wait timed out before the datagram came
  kWaitAfterSend,   // the last wait saw the datagram
  kWaitThenDrain,   // the last wait saw it, but it was taken before the call
};

struct ReceiveRow {
  const char* name;
  int size;  // of the datagram sent to the connector's port
  Mark mark;
  int result;
  int length;  // the buffer's length afterwards
};

TEST(NetReceiveReply, Table) {
  const ReceiveRow rows[] = {
      {"datagram queued, no wait since Broadcast", 100, kNoWait, 0, 41},
      {"datagram queued after the last wait", 100, kWaitBeforeSend, 0, 41},
      {"300 bytes into a buffer that held the query", 300, kWaitAfterSend, 300, 300},
      {"exactly the capacity", 4096, kWaitAfterSend, 4096, 4096},
      {"longer than the capacity is cut", 5000, kWaitAfterSend, 4096, 4096},
      {"zero-length datagram", 0, kWaitAfterSend, 0, 41},
      {"marked, but the datagram is gone", 100, kWaitThenDrain, -1, 41},
  };
  std::string failures = RunInNamespace(true, 30, [&rows](Report& r) {
    for (const ReceiveRow& row : rows) {
      r.Context(row.name);
      DescriptorWatch watch;
      Connector connector(&watch);
      DataBuffer buffer(kCapacity);
      memset(buffer.Data(), 0xA5, kCapacity);
      buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
      Bytes before = Contents(buffer, 0, kCapacity);
      if (!NS_CHECK_EQ(r, 1, connector.Broadcast(buffer, kQueryPort))) continue;

      Bytes sent = Pattern(row.size, row.size);
      if (row.mark == kWaitBeforeSend) NS_CHECK_EQ(r, 0, watch.Wait(0, 50000));
      NS_CHECK_EQ(r, static_cast<ssize_t>(row.size), SendDatagram("127.0.0.1", kQueryPort, sent));
      if (row.mark == kWaitAfterSend || row.mark == kWaitThenDrain)
        NS_CHECK_EQ(r, 1, watch.Wait(1, 0));
      if (row.mark == kWaitThenDrain) {
        unsigned char sink[kCapacity];
        NS_CHECK_EQ(r, static_cast<ssize_t>(row.size),
                    recv(connector.UdpSocket(), sink, sizeof(sink), 0));
      }

      Clock::time_point start = Clock::now();
      NS_CHECK_EQ(r, row.result, connector.ReceiveReply(buffer));
      NS_CHECK(r, MillisecondsSince(start) < 100);  // never blocks
      NS_CHECK_EQ(r, row.length, buffer.Length());
      if (row.result > 0) {
        NS_CHECK(r,
                 Contents(buffer, 0, row.result) == Bytes(sent.begin(), sent.begin() + row.result));
        NS_CHECK(r, Contents(buffer, row.result, kCapacity) ==
                        Bytes(before.begin() + row.result, before.end()));
      } else {
        NS_CHECK(r, Contents(buffer, 0, kCapacity) == before);
      }
      // Whatever was not received is still queued; a cut datagram's rest is
      // gone.
      bool leftOver = row.mark == kNoWait || row.mark == kWaitBeforeSend;
      NS_CHECK_EQ(r, leftOver ? 1 : 0, watch.Wait(0, 50000));
    }
  });
  EXPECT_EQ("", failures);
}

// Printers answer the query at the same moment. 120 replies of 1000 bytes,
// all queued before the first wait, are more than a datagram socket's
// default receive queue holds (about 90 of them); the connector's socket
// keeps every one for the discovery's loop.
TEST(NetReceiveReply, ABurstOfRepliesIsKept) {
  std::string failures = RunInNamespace(true, 20, [](Report& r) {
    const int kReplies = 120;
    DescriptorWatch watch;
    Connector connector(&watch);
    DataBuffer buffer(kCapacity);
    buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
    if (!NS_CHECK_EQ(r, 1, connector.Broadcast(buffer, kQueryPort))) return;
    Fd sender(socket(AF_INET, SOCK_DGRAM, 0));
    sockaddr_in to = Address("127.0.0.1", kQueryPort);
    for (int i = 0; i < kReplies; ++i) {
      Bytes reply = Pattern(1000, i);
      reply[0] = static_cast<unsigned char>(i);
      sendto(sender.get(), reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&to),
             sizeof(to));
    }
    std::vector<int> order;
    int ready = watch.Wait(0, 300000);
    while (ready > 0 && !watch.Expired()) {
      if (connector.ReceiveReply(buffer) == 1000) order.push_back(buffer.Data()[0]);
      ready = watch.Rewait();
    }
    NS_CHECK_EQ(r, static_cast<size_t>(kReplies), order.size());
    for (size_t i = 0; i < order.size(); ++i) NS_CHECK_EQ(r, static_cast<int>(i), order[i]);
  });
  EXPECT_EQ("", failures);
}

// ---------------------------------------------------------------------------
// The stream side.

const int kListenPort = 7100;
const int kClosedPort = 7101;

int Listener(const char* ip, int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in address = Address(ip, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

TEST(NetConnect, ToAListenerDataMovesBothWays) {
  std::string failures = RunInNamespace(true, 20, [](Report& r) {
    Fd listener(Listener("127.0.0.1", kListenPort));
    if (!NS_CHECK(r, listener.get() >= 0)) return;
    DescriptorWatch watch;
    Connector connector(&watch);
    NS_CHECK(r, !connector.IsConnected());
    NS_CHECK_EQ(r, -1, connector.ConnectedSocket());

    NS_CHECK_EQ(r, 0, connector.Connect("127.0.0.1", kListenPort));
    NS_CHECK(r, connector.IsConnected());
    int socketFd = connector.ConnectedSocket();
    if (!NS_CHECK(r, socketFd >= 0)) return;
    Fd server(accept(listener.get(), nullptr, nullptr));
    if (!NS_CHECK(r, server.get() >= 0)) return;

    // Registered for both directions with the connector's watch, and
    // marked only by a wait.
    NS_CHECK(r, !connector.TcpWritable() && !connector.TcpReadable());
    NS_CHECK_EQ(r, 1, watch.Wait(1, 0));
    NS_CHECK(r, connector.TcpWritable());
    NS_CHECK(r, !connector.TcpReadable());

    DataBuffer out(kCapacity);
    const std::string ping = "ping from the connector";
    out.Assign(reinterpret_cast<const unsigned char*>(ping.data()), static_cast<int>(ping.size()));
    NS_CHECK_EQ(r, static_cast<int>(ping.size()), connector.Send(out));
    char received[64] = {};
    NS_CHECK_EQ(r, static_cast<ssize_t>(ping.size()),
                recv(server.get(), received, sizeof(received), 0));
    NS_CHECK_EQ(r, ping, std::string(received));

    DataBuffer in(kCapacity);
    NS_CHECK_EQ(r, -1, connector.Receive(in));  // nothing yet: not an error that disconnects
    NS_CHECK(r, connector.IsConnected());
    const std::string pong = "pong";
    NS_CHECK_EQ(r, 4, send(server.get(), pong.data(), pong.size(), 0));
    NS_CHECK_EQ(r, 2, watch.Wait(1, 0));
    NS_CHECK(r, connector.TcpReadable());
    NS_CHECK_EQ(r, 0, connector.Receive(in));
    NS_CHECK_EQ(r, 4, in.Length());
    NS_CHECK_EQ(r, pong, std::string(reinterpret_cast<char*>(in.Data()), 4));

    // The peer closes: Receive gives 0 and keeps the length.
    shutdown(server.get(), SHUT_WR);
    NS_CHECK(r, watch.Wait(1, 0) >= 1 && connector.TcpReadable());
    NS_CHECK_EQ(r, 0, connector.Receive(in));
    NS_CHECK_EQ(r, 4, in.Length());

    connector.Disconnect();
    NS_CHECK(r, !connector.IsConnected());
    NS_CHECK_EQ(r, -1, connector.ConnectedSocket());
    NS_CHECK(r, fcntl(socketFd, F_GETFD) == -1);
    NS_CHECK(r, !WatchHoldsSomething(watch));
    NS_CHECK_EQ(r, 0, static_cast<int>(recv(server.get(), received, sizeof(received), 0)));
    NS_CHECK(r, connector.Send(out) < 0);

    // Connected again, the peer goes away: sending fails for good, which
    // disconnects.
    NS_CHECK_EQ(r, 0, connector.Connect("127.0.0.1", kListenPort));
    server.Reset(accept(listener.get(), nullptr, nullptr));
    server.Reset(-1);
    int sent = 0;
    for (int i = 0; i < 10 && sent >= 0; ++i) sent = connector.Send(out);
    NS_CHECK(r, sent < 0 && !connector.IsConnected());
    NS_CHECK(r, !WatchHoldsSomething(watch));
  });
  EXPECT_EQ("", failures);
}

struct ConnectRow {
  const char* name;
  const char* ip;
  int port;
  int result;
};

TEST(NetConnect, RefusedAndInvalidAddresses) {
  const ConnectRow rows[] = {
      {"closed port", "127.0.0.1", kClosedPort, ECONNREFUSED},
      {"empty address", "", kListenPort, -1},
      {"a name, not an address", "localhost", kListenPort, -1},
      {"three parts", "127.0.0", kListenPort, -1},
      {"part out of range", "256.0.0.1", kListenPort, -1},
      {"trailing space", "127.0.0.1 ", kListenPort, -1},
      {"IPv6", "::1", kListenPort, -1},
  };
  std::string failures = RunInNamespace(true, 20, [&rows](Report& r) {
    for (const ConnectRow& row : rows) {
      r.Context(row.name);
      DescriptorWatch watch;
      Connector connector(&watch);
      Clock::time_point start = Clock::now();
      NS_CHECK_EQ(r, row.result, connector.Connect(row.ip, row.port));
      NS_CHECK(r, MillisecondsSince(start) < 900);  // ends at once, not after the waits
      NS_CHECK(r, !connector.IsConnected());
      NS_CHECK_EQ(r, -1, connector.ConnectedSocket());
      NS_CHECK(r, !WatchHoldsSomething(watch));
    }
  });
  EXPECT_EQ("", failures);
}

// The SYN goes out of a veth end towards a neighbour entry that no host owns:
// nothing ever answers, not even with an error, so only the one-second waits
// end the attempt; a signal that interrupts one is waited out.
TEST(NetConnect, UnansweredAddressEndsAfterTheOneSecondWaits) {
  std::string failures = RunInNamespace(true, 40, [](Report& r) {
    if (!NS_CHECK(r, Ip("link add v0 type veth peer name v1\n"
                        "addr add 10.98.0.1/24 dev v0\n"
                        "link set v0 up\n"
                        "link set v1 up\n"
                        "neigh add 10.98.0.2 lladdr 02:00:00:00:00:99 dev v0 nud permanent\n")))
      return;
    DescriptorWatch watch;
    Connector connector(&watch);
    struct sigaction quiet = {};
    quiet.sa_handler = [](int) {};  // no SA_RESTART: the wait fails with EINTR
    sigaction(SIGUSR1, &quiet, nullptr);
    pthread_t self = pthread_self();
    std::thread interrupter([self] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      pthread_kill(self, SIGUSR1);
    });
    Clock::time_point start = Clock::now();
    int result = connector.Connect("10.98.0.2", kListenPort);
    double seconds = MillisecondsSince(start) / 1000;
    interrupter.join();
    printf("unanswered connect ended after %.2f s\n", seconds);
    fflush(stdout);
    NS_CHECK_EQ(r, 0, result);
    NS_CHECK(r, !connector.IsConnected());
    NS_CHECK_EQ(r, -1, connector.ConnectedSocket());
    NS_CHECK(r, seconds > 14.9 && seconds < 17.5);
    NS_CHECK(r, !WatchHoldsSomething(watch));
  });
  EXPECT_EQ("", failures);
}

// ---------------------------------------------------------------------------
// The trace of the connector's operations.

TEST(NetTrace, ConnectorOperationsWriteTheirLines) {
  TempDir dir("net_trace");
  ASSERT_TRUE(WriteFile(dir / ".slog", "", 0644));

  pid_t child = -1;
  std::string failures = RunInNamespace(
      true, 20,
      [&](Report& r) {
        setenv("TMPDIR", dir.path().c_str(), 1);
        // This process may have found the trace off before; start afresh.
        gLogFD = -1;
        const std::string path = OwnTracePath();

        // Untrusted reply bytes: format directives and unprintable bytes must
        // come out as they are, never be interpreted.
        const std::string replyText = "HELLO %s%n %d";
        Bytes reply(replyText.begin(), replyText.end());
        reply.push_back(0x01);
        reply.push_back(0xFF);
        {
          DescriptorWatch watch;
          Connector connector(&watch);
          DataBuffer buffer(kCapacity);
          buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
          NS_CHECK_EQ(r, 1, connector.Broadcast(buffer, kQueryPort));
          NS_CHECK_EQ(r, static_cast<ssize_t>(reply.size()),
                      SendDatagram("127.0.0.1", kQueryPort, reply));
          NS_CHECK_EQ(r, 1, watch.Wait(1, 0));
          NS_CHECK_EQ(r, static_cast<int>(reply.size()), connector.ReceiveReply(buffer));
          connector.CloseBroadcast();

          Fd holder(BoundUdp(5400, false));
          CaptureStderr quiet;
          buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
          NS_CHECK(r, connector.Broadcast(buffer, 5400) < 0);

          Fd listener(Listener("127.0.0.1", kListenPort));
          NS_CHECK_EQ(r, 0, connector.Connect("127.0.0.1", kListenPort));
        }
        log_exit();

        struct stat info;
        NS_CHECK(r, stat(path.c_str(), &info) == 0 && (info.st_mode & 0777) == 0600);
        const std::string content = ReadFile(path);
        const std::vector<TraceLine> lines = TraceLines(content);
        unlink(path.c_str());

        // Each expected body, in order, with the function it is traced from.
        const std::string n = std::to_string(reply.size());
        const struct {
          std::string body;
          const char* function;
        } expected[] = {
            {"begin data.size=41 port=5353", "Broadcast"},
            {"interface lo (127.0.0.1) skipped: loopback", "ChooseInterfaces"},
            {"query sent on nb0 (10.99.0.1)", "SendQuery"},
            {"end with ret=1", "Broadcast"},
            {"begin", "ReceiveReply"},
            {"received " + n + " bytes from 127.0.0.1 on lo (TTL 64): HELLO %s%n %d..",
             "ReceiveReply"},
            {TraceHex(reply, 0, reply.size()), "ReceiveReply"},
            {"end with data.size=" + n + " ret=" + n, "ReceiveReply"},
            {"begin data.size=41 port=5400", "Broadcast"},
            {"end bind with error ret=-1", "Broadcast"},
            {"begin with ip=127.0.0.1 port=" + std::to_string(kListenPort), "Connect"},
            {"end with ret=0", "Connect"},
        };
        size_t at = 0;
        for (const auto& e : expected) {
          while (at < lines.size() &&
                 !(lines[at].body == e.body && lines[at].function == e.function &&
                   lines[at].source == "src/connector"))
            ++at;
          if (!r.Check(at < lines.size(), __FILE__, __LINE__,
                       "missing in order: " + e.body + " (" + e.function + ")"))
            break;
          ++at;
        }
        for (const TraceLine& line : lines) NS_CHECK(r, !line.stamp.empty());  // a whole trace line
        if (!r.text().empty()) r.Check(false, __FILE__, __LINE__, "trace file was:\n" + content);
      },
      &child);
  EXPECT_EQ("", failures);

  // Whatever the child did, leave nothing behind.
  if (child > 0) unlink(OwnTracePath(child).c_str());
}

}  // namespace
