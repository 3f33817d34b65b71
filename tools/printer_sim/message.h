// The datagrams the simulator sends: the reply a printer gives to the
// host-config query, the catalogue of malformed ("junk") datagrams that
// --junk scripts, and the IPv4 and UDP headers of a spray from a spoofed
// source. The simulator (simulator.cpp) sends them; main.cpp lists the
// catalogue in the usage text and --list-junk.
#ifndef PRINTER_SIM_MESSAGE_H_
#define PRINTER_SIM_MESSAGE_H_

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The 41-byte host-config query, byte for byte: the only datagram answered.
extern const uint8_t kQuery[41];

// Where a printer takes print jobs; its SRV record names this port.
const uint16_t kRawPrintPort = 9100;

// The identity every junk datagram is built around, with the instance name
// junk-<kind>: a listing that shows it says which kind got through.
const char kJunkMacuaa[] = "4A554E4B2121";
const char kJunkIp[] = "10.77.0.254";
const char kJunkDeviceId[] = "MFG:Junk;MDL:Junk Printer;";

// One printer as the command line describes it: what it says about itself
// (the reply) and when it answers (the simulator's schedule).
struct Printer {
  std::string macuaa;
  std::string ip;
  std::string deviceId;
  std::string vidpid;
  bool hasVidpid = false;
  std::string name;
  std::vector<std::string> extras;
  int delayMs = 0;
  int repeat = 1;
  int intervalMs = 1000;
  int ignore = 0;
  int ttl = 0;  // IP time-to-live of its replies; 0: the system's default
};

// The TXT strings in the order a printer writes them. Each must fit its
// one-byte length, which the command line checks.
std::vector<std::string> Attributes(const Printer& p);

// The answer a printer gives: PTR in the answer section, then TXT, SRV and
// (for a dotted IPv4 address) A as additional records.
// Requires: every string of Attributes(p) is at most 255 bytes.
std::vector<uint8_t> BuildReply(const Printer& p);

// One kind of junk: a datagram broken in one particular way, for checking
// that a reader takes no harm from it and loses none of the good replies
// around it.
struct JunkKind {
  const char* name;
  const char* description;  // one line, for the usage text
  // Builds the datagram around `junk`, the junk identity named after the kind.
  std::vector<uint8_t> (*build)(const Printer& junk);
};

// Every kind, in the order the usage text and --list-junk give them.
const std::vector<JunkKind>& JunkKinds();

// The kind called `name`, or nullptr when there is none.
const JunkKind* FindJunkKind(const std::string& name);

// The datagram of `kind`.
std::vector<uint8_t> BuildJunk(const JunkKind& kind);

// The most a UDP payload can be in one IPv4 datagram: the 16-bit total
// length less the 20-byte IP header and the 8-byte UDP header.
const size_t kMaxUdpPayloadV4 = 65535 - 20 - 8;

// Writes to `out` an IPv4 datagram (a 20-byte header, no options) holding a
// UDP datagram of `payload` from `src`:`srcPort` to `dst`:`dstPort` (ports
// in host order), for a raw socket with IP_HDRINCL. The UDP checksum is
// filled in; the IP header checksum and ID are left 0, which Linux fills in
// on such a socket. Returns false, with `out` untouched, when the payload is
// longer than kMaxUdpPayloadV4.
// Requires: 1 <= ttl <= 255.
bool BuildIpv4Udp(in_addr src, uint16_t srcPort, in_addr dst, uint16_t dstPort, int ttl,
                  const std::vector<uint8_t>& payload, std::vector<uint8_t>* out);

#endif  // PRINTER_SIM_MESSAGE_H_
