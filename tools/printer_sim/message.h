// The datagrams the simulator sends: the reply a printer gives to the
// host-config query, and the catalogue of malformed ("junk") datagrams that
// --junk scripts. The simulator (simulator.cpp) sends them; main.cpp lists
// the catalogue in the usage text and --list-junk.
#ifndef PRINTER_SIM_MESSAGE_H_
#define PRINTER_SIM_MESSAGE_H_

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

#endif  // PRINTER_SIM_MESSAGE_H_
