// The host's own links as one discovery run sees them: its interfaces,
// their IPv4 addresses and subnets, and the routes that reach a network
// directly (without a gateway), read from the kernel's routing socket when
// the query goes out and again whenever the kernel reports a change. Anyone
// on a link can answer the query, so a reply is believed only on a link the
// query left by, only from that link, and may send a job only where that
// link reaches. The rules live here, so that the backend's discovery loop
// and everything that observes it judge by the same ones.
// Threads: HostLinks is a value; its const rules may run on several threads at once.
#ifndef NETBACKEND_HOST_LINKS_H_
#define NETBACKEND_HOST_LINKS_H_

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

// What the kernel told of one received datagram.
struct Arrival {
  in_addr source;
  int interfaceIndex;  // the interface it came in by; 0 when unknown
  int ttl;             // the IP time-to-live it arrived with; -1 when unknown
};

// What the discovery makes of one datagram: kAccepted, or the first rule it
// fails, in the order the rules are applied: first the sender, before a
// byte is read; then the message; then the printer it describes.
enum Verdict {
  kAccepted,
  kArrivedOnLoopback,
  kNotQueryInterface,
  kSentFromThisHost,
  kSenderOffLink,
  kSenderNotAHost,
  kMalformed,
  kNotHostConfig,
  kOtherBrand,
  kNoMacAddress,
  kAddressUnusable,
  kAddressOfThisHost,
  kAddressNotAHost,
  kAddressBeyondLink,
  kAddressOnAnotherLink,
  kRunFull,  // the run holds its most records already: not read
};

// The verdict as the trace and the probe write it ("listed" for kAccepted).
const char* VerdictText(Verdict verdict);

// True for the verdicts given before a datagram is read.
inline bool IsSenderVerdict(Verdict v) { return v >= kArrivedOnLoopback && v <= kSenderNotAHost; }

// True when `text` has the form of an address a job may be handed to: a
// dotted-quad IPv4 address, the whole text, that names one host (not in
// 0.0.0.0/8, 127.0.0.0/8 or 224.0.0.0/3). `canonical` then holds it as
// inet_ntop writes it. Anything else (a name, a port, a path, a user part)
// could send a job somewhere no printer answered from. Where the address
// lies is HostLinks::JudgeAddress's question.
bool CanonicalHostAddress(const std::string& text, std::string& canonical);

// The query goes out of at most this many interfaces: far more links than a
// host has with a printer on them, however many container and VM bridges
// the system lists first.
const int kMaxQueryInterfaces = 32;

class HostLinks {
 public:
  struct Interface {
    int index;
    std::string name;
    unsigned flags;  // IFF_UP, IFF_RUNNING, IFF_LOOPBACK, IFF_MULTICAST...
  };
  // One IPv4 address of the host, whatever its label, in the kernel's order.
  struct Address {
    int index;              // of its interface
    std::string interface;  // the interface's name
    in_addr address;
    in_addr netmask;
  };
  // A route that reaches a network without a gateway (a subnet's own
  // route, or one such as "169.254.0.0/16 dev eth0 scope link").
  struct Route {
    int index;
    in_addr_t network;  // network byte order, as in_addr
    in_addr_t netmask;
  };

  // An interface the query may leave by, by its first address.
  struct QueryInterface {
    std::string name;
    int index;
    in_addr address;
    const char* skipped;  // why the query does not go out there; null if it does
  };

  HostLinks() = default;
  HostLinks(std::vector<Interface> interfaces, std::vector<Address> addresses,
            std::vector<Route> routes);

  // The host's links as they are now, from the kernel's routing socket:
  // every IPv4 address with its interface and prefix (labels play no part),
  // every interface, and the main table's routes without a gateway.
  static HostLinks Read();

  // Every interface with an IPv4 address, once, in the system's order:
  // those the query goes out of (up, with a carrier, multicast-capable, not
  // loopback, not point-to-point; the first kMaxQueryInterfaces of them),
  // and the others with why not.
  std::vector<QueryInterface> QueryInterfaces() const;

  // Records that the query went out of interface `index` in this run: only
  // a datagram that arrives on such an interface is read at all.
  void MarkQueried(int index);
  const std::vector<int>& Queried() const { return queried_; }

  // A routing socket subscribed to the kernel's notes of changed links,
  // addresses and routes (non-blocking), or -1.
  static int OpenChangeSocket();
  // Reads every note waiting on `fd`; true when any says the host's links
  // changed (or notes were lost), so that they must be read again.
  static bool TakeChanges(int fd);

  // The interface with `index`, or null.
  const Interface* FindInterface(int index) const;

  // Whether a datagram's sender is believed (kAccepted) or why not: it
  // arrived on loopback, or on an interface the query did not leave by, it
  // was sent from one of this host's addresses, its source is not on the
  // link it arrived on, or it is the network or broadcast address of a
  // local subnet.
  Verdict JudgeSender(const Arrival& arrival) const;

  // Whether `ip`, which a reply that arrived as `arrival` names, may take a
  // job (kAccepted, with `canonical` set) or why not: its form, one of this
  // host's addresses, a network or broadcast address, an address beyond
  // the arrival link in a datagram that a router may have forwarded, or an
  // address on another of this host's links. Only an on-link relay, whose
  // datagrams arrive with TTL 255 as no forwarded one can, may speak for a
  // printer on another segment, and only for one beyond every link of this
  // host: a printer on another of them would have answered there itself.
  Verdict JudgeAddress(const std::string& ip, const Arrival& arrival, std::string& canonical) const;

 private:
  // Whether `address` is on the link of interface `index`: in one of its
  // subnets, or reached through it by a route without a gateway. A
  // point-to-point interface or one without an IPv4 address has no link of
  // neighbours that could hear the query.
  bool IsOnLink(in_addr_t address, int index) const;
  // Whether `address` lies in a subnet of, or on a direct route through,
  // any interface but `index`.
  bool IsOnOtherLink(in_addr_t address, int index) const;

  bool IsOwnAddress(in_addr_t address) const;
  bool IsNetworkOrBroadcast(in_addr_t address) const;

  std::vector<Interface> interfaces_;
  std::vector<Address> addresses_;
  std::vector<Route> routes_;
  std::vector<int> queried_;
};

#endif  // NETBACKEND_HOST_LINKS_H_
