// printer_sim: plays one or more host-config printers inside a private
// network namespace, so that tests and the demo can run discovery and print
// jobs against peers that behave like real printers, hostile ones included.
// It has its own DNS encoder on purpose: sharing the backend's code would
// make both sides agree on the same mistakes.
//
// Usage:
//   printer_sim [global options] --printer [printer options] [--printer [printer options]]...
//
// Global options:
//   --jobs-dir DIR      also run a raw print listener on TCP port 9100 (all local
//                       addresses); each connection's bytes are stored as
//                       DIR/<local-ip>-<n>.bin (n = 1, 2, ... per local ip), written
//                       to DIR/.<local-ip>-<n>.part and renamed when the peer closes,
//                       so a reader never sees half a job
//   --ready-file FILE   create FILE (holding the pid) once every socket is bound and
//                       the group joined
//   --no-mdns           no mDNS socket and no printers: only the print listener of
//                       --jobs-dir (for a responder that is not this one)
//   --junk KIND         send a scripted malformed datagram to the querier before the
//                       good replies (repeatable, sent in the order given); see below
//   --list-junk         print every junk kind, one name a line, and exit with status
//                       0: a script that sends every kind reads them from here
//   --flood RATE        after the first query, send the junk datagrams and the
//                       replies round robin at RATE datagrams a second to the querier
//                       for --flood-seconds (default 20), instead of the replies'
//                       schedule
//   --flood-seconds N   how long a flood lasts
//   --spray ADDR:LO-HI  without waiting for a query, send every reply to every UDP
//                       port LO..HI of ADDR, ten rounds a second, as a host that
//                       guesses the querier's port would
//   --quiet             no per-event log on stderr (errors are still reported)
//   --help              this text
//
// Printer options (apply to the most recent --printer):
//   --macuaa VALUE      the MACUAA attribute value as the printer writes it (default empty)
//   --ip ADDR           the IPADDRESS attribute value (default empty); when it is dotted
//                       IPv4 it is also the A record's address and, when it is an address
//                       of this namespace, the source address of the replies; otherwise
//                       the reply carries no A record (ARCOUNT 2)
//   --device-id TEXT    the 1284STRID value, written as 1284STRID="TEXT" (default empty)
//   --vidpid HEX        the PRINTERVIDPID attribute value (omitted when not given)
//   --mdns-name NAME    service instance name and MDNSNAME value (default printer-<n>)
//   --txt KEY=VALUE     an extra raw attribute, appended in order (repeatable)
//   --delay-ms N        answer N ms after the query arrives (default 0)
//   --repeat N          send the reply N times (default 1), --interval-ms apart
//   --interval-ms N     gap between repeated replies (default 1000)
//   --ignore N          do not answer the first N queries (a lost query, a printer
//                       waking up)
//
// Junk kinds are the rows of the junk table (JunkKinds() below): --help
// lists them with a line each, and each builder says how its datagram is
// broken. Each is built around a junk identity: MACUAA=4A554E4B2121,
// IPADDRESS=10.77.0.254, 1284STRID="MFG:Junk;MDL:Junk Printer;",
// MDNSNAME=junk-<kind>, instance name junk-<kind>.
//
// Behaviour: binds UDP 0.0.0.0:5353, joins 224.0.0.251 on every non-loopback
// IPv4 address, and answers each datagram that is byte for byte the host-config
// query by unicast to its sender, each printer on its own schedule. Other
// datagrams are logged and ignored. SIGTERM or SIGINT ends it with status 0
// after storing the jobs whose peers have closed (unfinished ones are dropped).
// Exit status 1 for a setup failure, 2 for a usage error.

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <queue>
#include <string>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const uint8_t kQuery[41] = {
    0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x0C, 0x5F, 0x68, 0x6F, 0x73, 0x74, 0x2D, 0x63, 0x6F, 0x6E,
    0x66, 0x69, 0x67, 0x04, 0x5F, 0x75, 0x64, 0x70, 0x05, 0x6C, 0x6F,
    0x63, 0x61, 0x6C, 0x00, 0x00, 0x0C, 0x80, 0x01};

const char kUsageOptions[] =
    "usage: printer_sim [global options] --printer [printer options] [--printer ...]...\n"
    "Global options:\n"
    "  --jobs-dir DIR      raw print listener on TCP 9100; jobs stored as DIR/<local-ip>-<n>.bin\n"
    "  --ready-file FILE   create FILE once every socket is bound and the group joined\n"
    "  --no-mdns           only the print listener of --jobs-dir, no mDNS, no printers\n"
    "  --junk KIND         send a malformed datagram to the querier before the good replies\n"
    "                      (repeatable); KIND is one of the junk kinds below\n"
    "  --list-junk         print the junk kinds, one a line, and exit\n"
    "  --flood RATE        after the first query, send junk and replies round robin at\n"
    "                      RATE datagrams a second for --flood-seconds (default 20)\n"
    "  --flood-seconds N   how long a flood lasts\n"
    "  --spray ADDR:LO-HI  send every reply to every UDP port LO..HI of ADDR, ten\n"
    "                      rounds a second, without waiting for a query\n"
    "  --quiet             no per-event log on stderr\n"
    "  --help              this text\n"
    "Printer options (apply to the most recent --printer):\n"
    "  --macuaa VALUE      MACUAA attribute value (default empty)\n"
    "  --ip ADDR           IPADDRESS value; A record and reply source when dotted IPv4\n"
    "  --device-id TEXT    1284STRID value, written as 1284STRID=\"TEXT\"\n"
    "  --vidpid HEX        PRINTERVIDPID value (omitted when not given)\n"
    "  --mdns-name NAME    instance name and MDNSNAME value (default printer-<n>)\n"
    "  --txt KEY=VALUE     extra raw attribute, appended in order (repeatable)\n"
    "  --delay-ms N        answer N ms after the query (default 0)\n"
    "  --repeat N          send the reply N times (default 1)\n"
    "  --interval-ms N     gap between repeats (default 1000)\n"
    "  --ignore N          do not answer the first N queries\n";

// The identity every junk datagram is built around, with the instance name
// junk-<kind>: a listing that shows it says which kind got through.
const char kJunkMacuaa[] = "4A554E4B2121";
const char kJunkIp[] = "10.77.0.254";
const char kJunkDeviceId[] = "MFG:Junk;MDL:Junk Printer;";

const uint16_t kTypeA = 1;
const uint16_t kTypeNull = 10;
const uint16_t kTypePtr = 12;
const uint16_t kTypeTxt = 16;
const uint16_t kTypeSrv = 33;
const uint16_t kClassIn = 1;
const uint16_t kClassInFlush = 0x8001;  // unique records: cache-flush bit set
const uint32_t kTtlService = 4500;
const uint32_t kTtlHost = 120;
const uint16_t kMdnsPort = 5353;
const uint16_t kRawPrintPort = 9100;
const size_t kMaxPendingSends = 4096;  // bounds the timer queue under a query flood
const size_t kMaxJobs = 64;            // concurrent print connections

bool gQuiet = false;

void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Log(const char* fmt, ...) {
  if (gQuiet) return;
  va_list ap;
  va_start(ap, fmt);
  std::fputs("printer_sim: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

void Error(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Error(const char* fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  std::fputs("printer_sim: error: ", stderr);
  std::vfprintf(stderr, fmt, ap);
  std::fputc('\n', stderr);
  va_end(ap);
}

// Owns one descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

std::string AddrText(const sockaddr_in& a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(a.sin_port));
}

std::string IpText(in_addr a) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &a, ip, sizeof ip);
  return ip;
}

struct Printer {
  std::string macuaa;
  std::string ip;
  std::string device_id;
  std::string vidpid;
  bool has_vidpid = false;
  std::string name;
  std::vector<std::string> extras;
  int delay_ms = 0;
  int repeat = 1;
  int interval_ms = 1000;
  int ignore = 0;
};

// One kind of junk: a datagram broken in one particular way, for checking
// that a reader takes no harm from it and loses none of the good replies
// around it.
struct JunkKind {
  const char* name;
  const char* description;  // one line, for the usage text
  // Builds the datagram around `junk`, the junk identity named after the kind.
  std::vector<uint8_t> (*build)(const Printer& junk);
};

struct Options {
  std::string jobs_dir;
  std::string ready_file;
  std::vector<const JunkKind*> junk;
  std::vector<Printer> printers;
  bool mdns = true;
  int flood_rate = 0;
  int flood_seconds = 20;
  sockaddr_in spray_to{};
  int spray_last_port = 0;
};

// The TXT strings in the order a printer writes them.
std::vector<std::string> Attributes(const Printer& p) {
  std::vector<std::string> a;
  a.push_back("IPADDRESS=" + p.ip);
  a.push_back("IPNETMASK=255.255.255.0");
  a.push_back("MACUAA=" + p.macuaa);
  a.push_back("1284STRID=\"" + p.device_id + "\"");
  if (p.has_vidpid) a.push_back("PRINTERVIDPID=" + p.vidpid);
  a.push_back("MDNSNAME=" + p.name);
  for (const std::string& e : p.extras) a.push_back(e);
  return a;
}

// Builds a DNS message with name compression the way responders do it: a
// name suffix already written anywhere earlier becomes a 2-byte pointer.
class MessageWriter {
 public:
  void U8(uint8_t v) { out_.push_back(v); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v >> 8));
    U8(static_cast<uint8_t>(v));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v >> 16));
    U16(static_cast<uint16_t>(v));
  }
  void Bytes(const void* data, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), b, b + n);
  }
  void Fill(uint8_t v, size_t n) { out_.insert(out_.end(), n, v); }
  void PatchU16(size_t at, uint16_t v) {
    out_[at] = static_cast<uint8_t>(v >> 8);
    out_[at + 1] = static_cast<uint8_t>(v);
  }
  size_t size() const { return out_.size(); }
  std::vector<uint8_t>& bytes() { return out_; }

  // Writes a name; the first `in_place` labels are always written out (the
  // instance label of a service name is, so that its record reads on its
  // own), the rest becomes a pointer when that suffix was written before.
  void Name(const std::vector<std::string>& labels, size_t in_place = 0) {
    for (size_t i = 0; i < labels.size(); ++i) {
      std::string key = SuffixKey(labels, i);
      auto it = seen_.find(key);
      if (i >= in_place && it != seen_.end()) {
        U16(static_cast<uint16_t>(0xC000 | it->second));
        return;
      }
      if (out_.size() < 0x3FFF && it == seen_.end())
        seen_[key] = static_cast<uint16_t>(out_.size());
      U8(static_cast<uint8_t>(labels[i].size()));
      Bytes(labels[i].data(), labels[i].size());
    }
    U8(0);
  }

  // Starts a resource record; returns where its RDLENGTH goes.
  size_t BeginRecord(const std::vector<std::string>& name, size_t in_place,
                     uint16_t type, uint16_t cls, uint32_t ttl) {
    Name(name, in_place);
    U16(type);
    U16(cls);
    U32(ttl);
    size_t at = size();
    U16(0);
    return at;
  }
  void EndRecord(size_t rdlength_at) {
    PatchU16(rdlength_at, static_cast<uint16_t>(size() - rdlength_at - 2));
  }

 private:
  static std::string SuffixKey(const std::vector<std::string>& labels, size_t from) {
    std::string key;
    for (size_t i = from; i < labels.size(); ++i) {
      key.push_back(static_cast<char>(labels[i].size()));
      key += labels[i];
    }
    return key;
  }

  std::vector<uint8_t> out_;
  std::map<std::string, uint16_t> seen_;
};

const std::vector<std::string> kService = {"_host-config", "_udp", "local"};

std::vector<std::string> InstanceName(const std::string& instance) {
  return {instance, "_host-config", "_udp", "local"};
}

// Where the interesting parts of a built reply are, for the junk makers.
struct Reply {
  std::vector<uint8_t> bytes;
  size_t txt_rdlength_at = 0;
  std::vector<size_t> string_at;  // offset of each TXT string's length byte
};

// The answer a printer gives: PTR in the answer section, then TXT, SRV and
// (for a dotted IPv4 address) A as additional records.
Reply BuildReply(const Printer& p) {
  in_addr a{};
  bool has_a = inet_pton(AF_INET, p.ip.c_str(), &a) == 1;

  MessageWriter w;
  w.U16(0);       // ID
  w.U16(0x8400);  // QR, AA
  w.U16(0);       // QDCOUNT
  w.U16(1);       // ANCOUNT
  w.U16(0);       // NSCOUNT
  w.U16(has_a ? 3 : 2);

  size_t at = w.BeginRecord(kService, 0, kTypePtr, kClassIn, kTtlService);
  w.Name(InstanceName(p.name), 1);
  w.EndRecord(at);

  Reply r;
  at = w.BeginRecord(InstanceName(p.name), 1, kTypeTxt, kClassInFlush, kTtlService);
  r.txt_rdlength_at = at;
  for (const std::string& s : Attributes(p)) {
    r.string_at.push_back(w.size());
    w.U8(static_cast<uint8_t>(s.size()));
    w.Bytes(s.data(), s.size());
  }
  w.EndRecord(at);

  const std::vector<std::string> host = {p.name, "local"};
  at = w.BeginRecord(InstanceName(p.name), 0, kTypeSrv, kClassInFlush, kTtlHost);
  w.U16(0);  // priority
  w.U16(0);  // weight
  w.U16(kRawPrintPort);
  w.Name(host, 1);
  w.EndRecord(at);

  if (has_a) {
    at = w.BeginRecord(host, 0, kTypeA, kClassInFlush, kTtlHost);
    w.Bytes(&a, 4);
    w.EndRecord(at);
  }
  r.bytes = std::move(w.bytes());
  return r;
}

Printer JunkPrinter(const std::string& kind) {
  Printer p;
  p.macuaa = kJunkMacuaa;
  p.ip = kJunkIp;
  p.device_id = kJunkDeviceId;
  p.name = "junk-" + kind;
  return p;
}

// A response header with the given record counts.
void JunkHeader(MessageWriter& w, uint16_t an, uint16_t ar) {
  w.U16(0);
  w.U16(0x8400);
  w.U16(0);
  w.U16(an);
  w.U16(0);
  w.U16(ar);
}

// The fixed fields and RDATA of a TXT record holding the IP attribute, after
// a record name that the kind has made unreadable: a reader that skips the
// name instead of rejecting it finds a plausible record.
std::vector<uint8_t> EndWithIpRecord(MessageWriter& w, const Printer& junk) {
  const std::string ip_attr = "IPADDRESS=" + junk.ip;
  w.U16(kTypeTxt);
  w.U16(kClassInFlush);
  w.U32(kTtlService);
  w.U16(static_cast<uint16_t>(ip_attr.size() + 1));
  w.U8(static_cast<uint8_t>(ip_attr.size()));
  w.Bytes(ip_attr.data(), ip_attr.size());
  return w.bytes();
}

std::vector<uint8_t> BuildEmpty(const Printer&) { return {}; }

std::vector<uint8_t> BuildShortHeader(const Printer&) {
  MessageWriter w;
  JunkHeader(w, 1, 3);
  return w.bytes();
}

// A querier must not take its own question, echoed by a peer, for an answer.
std::vector<uint8_t> BuildQueryEcho(const Printer&) {
  return std::vector<uint8_t>(kQuery, kQuery + sizeof kQuery);
}

// Cut halfway into MACUAA: IPADDRESS and IPNETMASK arrive whole, the MAC
// address does not, and every count and length still claims the full reply.
std::vector<uint8_t> BuildTruncated(const Printer& junk) {
  Reply r = BuildReply(junk);
  // Strings 0 and 1 are IPADDRESS and IPNETMASK; cut halfway into MACUAA.
  size_t mac = r.string_at[2];
  r.bytes.resize(mac + 1 + r.bytes[mac] / 2);
  return r.bytes;
}

// The TXT record's name is its instance label and a pointer back to that
// label: a reader that follows pointers without a bound goes round for ever.
std::vector<uint8_t> BuildPointerLoop(const Printer& junk) {
  MessageWriter w;
  JunkHeader(w, 1, 0);
  size_t start = w.size();
  w.U8(static_cast<uint8_t>(junk.name.size()));
  w.Bytes(junk.name.data(), junk.name.size());
  w.U16(static_cast<uint16_t>(0xC000 | start));
  return EndWithIpRecord(w, junk);
}

// A pointer (C0 11) at its own two bytes: the shortest loop there is.
std::vector<uint8_t> BuildPointerSelf(const Printer& junk) {
  MessageWriter w;
  JunkHeader(w, 1, 0);
  w.U8(4);
  w.Bytes("junk", 4);
  w.U16(static_cast<uint16_t>(0xC000 | w.size()));
  return EndWithIpRecord(w, junk);
}

// Every string inside the datagram is whole; only RDLENGTH lies.
std::vector<uint8_t> BuildHugeRdlength(const Printer& junk) {
  Reply r = BuildReply(junk);
  r.bytes[r.txt_rdlength_at] = 0xFF;
  r.bytes[r.txt_rdlength_at + 1] = 0xFF;
  return r.bytes;
}

// The datagram ends with its TXT record, whose last string's length byte
// (255) claims more than the record and the datagram hold.
std::vector<uint8_t> BuildTxtOverrun(const Printer& junk) {
  const std::string ip_attr = "IPADDRESS=" + junk.ip;
  MessageWriter w;
  JunkHeader(w, 1, 1);
  size_t at = w.BeginRecord(kService, 0, kTypePtr, kClassIn, kTtlService);
  w.Name(InstanceName(junk.name), 1);
  w.EndRecord(at);
  at = w.BeginRecord(InstanceName(junk.name), 1, kTypeTxt, kClassInFlush, kTtlService);
  w.U8(static_cast<uint8_t>(ip_attr.size()));
  w.Bytes(ip_attr.data(), ip_attr.size());
  const std::string mac = "MACUAA=" + junk.macuaa;
  w.U8(255);
  w.Bytes(mac.data(), mac.size());
  w.EndRecord(at);
  return w.bytes();
}

// Whether a reader takes 0xC2 for a label length (194) or for a pointer (to
// offset 0x241), it leads past the datagram's end.
std::vector<uint8_t> BuildLabelC2(const Printer&) {
  MessageWriter w;
  JunkHeader(w, 1, 0);
  w.U8(4);
  w.Bytes("junk", 4);
  w.U8(0xC2);
  w.Fill('A', 16);
  return w.bytes();
}

// Larger than a 4096-byte receive buffer, and valid: the reply comes first
// and the padding after it, so a reader that takes only a datagram's first
// bytes still has the whole reply.
std::vector<uint8_t> BuildOversize(const Printer& junk) {
  const size_t total = 5000;
  Reply r = BuildReply(junk);
  std::vector<uint8_t>& b = r.bytes;
  // NULL records named by a pointer to the reply's first name.
  const size_t overhead = 2 + 10;
  size_t rest = total - b.size();
  size_t count = (rest + 1011) / 1012;
  size_t rdata = rest - overhead * count;
  uint16_t arcount = static_cast<uint16_t>(((b[10] << 8) | b[11]) + count);
  b[10] = static_cast<uint8_t>(arcount >> 8);
  b[11] = static_cast<uint8_t>(arcount);
  for (size_t i = 0; i < count; ++i) {
    size_t len = rdata / count + (i + 1 == count ? rdata % count : 0);
    const uint8_t rec[12] = {0xC0, 0x0C, 0, kTypeNull, 0, kClassIn, 0, 0, 0x11, 0x94,
                             static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
    b.insert(b.end(), rec, rec + sizeof rec);
    b.insert(b.end(), len, 'P');
  }
  return b;
}

// As much as fits in 4096 bytes (4088): a chain of 500 one-byte labels
// inside a NULL record's data, then 255 records named by a pointer to its
// start. Every pointer is legal (it points backwards), but the name it leads
// to is 1001 bytes long; a reader that walks each name to its end instead of
// stopping at 255 bytes reads 127,500 labels.
std::vector<uint8_t> BuildDeepNames(const Printer&) {
  const size_t total = 4096;
  const int links = 500;
  MessageWriter w;
  JunkHeader(w, 0, 0);
  size_t at = w.BeginRecord({"pad"}, 1, kTypeNull, kClassIn, kTtlHost);
  const size_t chain = w.size();
  for (int i = 0; i < links; ++i) {
    w.U8(1);
    w.U8('a');
  }
  w.U8(0);
  w.EndRecord(at);
  uint16_t records = 1;
  while (w.size() + 12 <= total) {
    w.U16(static_cast<uint16_t>(0xC000 | chain));
    w.U16(kTypeA);
    w.U16(kClassIn);
    w.U32(kTtlHost);
    w.U16(0);
    ++records;
  }
  w.PatchU16(6, records);
  return w.bytes();
}

// Every kind, in the order the usage text and --list-junk give them.
const std::vector<JunkKind>& JunkKinds() {
  static const std::vector<JunkKind> kinds = {
      {"empty", "a 0-byte datagram", BuildEmpty},
      {"short-header", "12 bytes: a response header claiming 4 records, nothing after it",
       BuildShortHeader},
      {"query-echo", "the 41-byte query itself (QR=0)", BuildQueryEcho},
      {"truncated", "a complete reply cut inside the MACUAA string of its TXT record",
       BuildTruncated},
      {"pointer-loop", "a record name whose pointer leads back to the name's own start",
       BuildPointerLoop},
      {"pointer-self", "a record name whose pointer (C0 11) points at its own two bytes",
       BuildPointerSelf},
      {"huge-rdlength", "a complete reply whose TXT RDLENGTH is 0xFFFF", BuildHugeRdlength},
      {"txt-overrun", "a TXT string whose length byte overruns RDLENGTH and the datagram",
       BuildTxtOverrun},
      {"label-c2", "a record name with label length byte 0xC2 and 16 bytes after it",
       BuildLabelC2},
      {"oversize", "a 5000-byte datagram: a valid reply padded with NULL records",
       BuildOversize},
      {"deep-names", "4088 bytes: 255 records named by a pointer to a 500-label chain",
       BuildDeepNames},
  };
  return kinds;
}

// The kind called `name`, or nullptr when there is none.
const JunkKind* FindJunkKind(const std::string& name) {
  for (const JunkKind& k : JunkKinds())
    if (name == k.name) return &k;
  return nullptr;
}

// The datagram of `kind`.
std::vector<uint8_t> BuildJunk(const JunkKind& kind) { return kind.build(JunkPrinter(kind.name)); }

void PrintUsage(FILE* out) {
  std::fputs(kUsageOptions, out);
  std::fputs("Junk kinds:\n", out);
  int width = 0;
  for (const JunkKind& k : JunkKinds())
    width = std::max(width, static_cast<int>(std::strlen(k.name)));
  for (const JunkKind& k : JunkKinds())
    std::fprintf(out, "  %-*s  %s\n", width, k.name, k.description);
  std::fprintf(out,
               "Junk datagrams carry MACUAA=%s IPADDRESS=%s and the\n"
               "instance name junk-<kind>. SIGTERM/SIGINT: clean exit, status 0.\n",
               kJunkMacuaa, kJunkIp);
}

void PrintJunkKinds() {
  for (const JunkKind& k : JunkKinds()) std::printf("%s\n", k.name);
}

bool ParseInt(const char* text, int lo, int hi, int* out) {
  if (*text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  *out = static_cast<int>(v);
  return true;
}

// Parses the command line; returns 0 to run, 1 for --help, 2 for
// --list-junk, -1 on error.
int ParseArgs(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; ++i) {
    std::string opt = argv[i];
    if (opt == "--help" || opt == "-h") return 1;
    if (opt == "--list-junk") return 2;
    if (opt == "--quiet") {
      gQuiet = true;
      continue;
    }
    if (opt == "--no-mdns") {
      o->mdns = false;
      continue;
    }
    if (opt == "--printer") {
      o->printers.emplace_back();
      o->printers.back().name = "printer-" + std::to_string(o->printers.size());
      continue;
    }
    if (i + 1 >= argc) {
      Error("%s needs a value", opt.c_str());
      return -1;
    }
    const char* value = argv[++i];
    if (opt == "--jobs-dir") {
      o->jobs_dir = value;
    } else if (opt == "--ready-file") {
      o->ready_file = value;
    } else if (opt == "--junk") {
      const JunkKind* kind = FindJunkKind(value);
      if (kind == nullptr) {
        Error("unknown junk kind '%s'", value);
        return -1;
      }
      o->junk.push_back(kind);
    } else if (opt == "--flood") {
      if (!ParseInt(value, 1, 100000, &o->flood_rate)) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return -1;
      }
    } else if (opt == "--flood-seconds") {
      if (!ParseInt(value, 1, 3600, &o->flood_seconds)) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return -1;
      }
    } else if (opt == "--spray") {
      char addr[64];
      int lo = 0, hi = 0;
      o->spray_to.sin_family = AF_INET;
      if (std::strlen(value) >= sizeof addr ||
          std::sscanf(value, "%63[0-9.]:%d-%d", addr, &lo, &hi) != 3 ||
          inet_pton(AF_INET, addr, &o->spray_to.sin_addr) != 1 || lo < 1 || hi > 65535 ||
          lo > hi) {
        Error("bad value '%s' for %s (ADDR:LO-HI)", value, opt.c_str());
        return -1;
      }
      o->spray_to.sin_port = htons(static_cast<uint16_t>(lo));
      o->spray_last_port = hi;
    } else if (opt == "--macuaa" || opt == "--ip" || opt == "--device-id" ||
               opt == "--vidpid" || opt == "--mdns-name" || opt == "--txt" ||
               opt == "--delay-ms" || opt == "--repeat" || opt == "--interval-ms" ||
               opt == "--ignore") {
      if (o->printers.empty()) {
        Error("%s comes before the first --printer", opt.c_str());
        return -1;
      }
      Printer& p = o->printers.back();
      bool ok = true;
      if (opt == "--macuaa") {
        p.macuaa = value;
      } else if (opt == "--ip") {
        p.ip = value;
      } else if (opt == "--device-id") {
        p.device_id = value;
      } else if (opt == "--vidpid") {
        p.vidpid = value;
        p.has_vidpid = true;
      } else if (opt == "--mdns-name") {
        p.name = value;
        ok = !p.name.empty() && p.name.size() <= 63;
      } else if (opt == "--txt") {
        p.extras.push_back(value);
      } else if (opt == "--delay-ms") {
        ok = ParseInt(value, 0, 600000, &p.delay_ms);
      } else if (opt == "--repeat") {
        ok = ParseInt(value, 1, 1000, &p.repeat);
      } else if (opt == "--ignore") {
        ok = ParseInt(value, 0, 1000, &p.ignore);
      } else {
        ok = ParseInt(value, 0, 600000, &p.interval_ms);
      }
      if (!ok) {
        Error("bad value '%s' for %s", value, opt.c_str());
        return -1;
      }
    } else {
      Error("unknown option '%s'", opt.c_str());
      return -1;
    }
  }
  if (o->mdns && o->printers.empty()) {
    Error("no --printer given");
    return -1;
  }
  if (!o->mdns && (!o->printers.empty() || o->jobs_dir.empty())) {
    Error("--no-mdns takes --jobs-dir and no --printer");
    return -1;
  }
  for (const Printer& p : o->printers) {
    for (const std::string& s : Attributes(p)) {
      if (s.size() > 255) {
        Error("attribute longer than 255 bytes: %.40s...", s.c_str());
        return -1;
      }
    }
  }
  return 0;
}

// Signals end the loop through a pipe, so that a signal arriving just
// before poll() still wakes it.
int gSignalPipe = -1;

void OnSignal(int) {
  int saved = errno;
  const char b = 1;
  ssize_t ignored = write(gSignalPipe, &b, 1);
  (void)ignored;
  errno = saved;
}

bool SetNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A socket of `type` with address reuse, bound to 0.0.0.0:`port`; invalid
// (with a message) when that fails.
Fd BoundSocket(int type, uint16_t port) {
  Fd s(socket(AF_INET, type | SOCK_CLOEXEC, 0));
  if (!s.valid()) {
    Error("socket: %s", std::strerror(errno));
    return Fd();
  }
  int one = 1;
  setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(s.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    Error("bind %s 0.0.0.0:%u: %s", type == SOCK_DGRAM ? "UDP" : "TCP", port,
          std::strerror(errno));
    return Fd();
  }
  return s;
}

Fd OpenMdnsSocket() {
  Fd s = BoundSocket(SOCK_DGRAM, kMdnsPort);
  if (!s.valid() || !SetNonBlocking(s.get())) return Fd();

  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) {
    Error("getifaddrs: %s", std::strerror(errno));
    return Fd();
  }
  int joined = 0;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if (i->ifa_flags & IFF_LOOPBACK) continue;
    ip_mreq m{};
    inet_pton(AF_INET, "224.0.0.251", &m.imr_multiaddr);
    m.imr_interface = reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr;
    std::string where = std::string(i->ifa_name) + " " + IpText(m.imr_interface);
    if (setsockopt(s.get(), IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) == 0) {
      ++joined;
      Log("joined 224.0.0.251 on %s", where.c_str());
    } else if (errno == EADDRINUSE) {
      ++joined;  // a second address on an interface already in the group
    } else {
      Error("join 224.0.0.251 on %s: %s", where.c_str(), std::strerror(errno));
    }
  }
  freeifaddrs(list);
  if (joined == 0) {
    Error("no IPv4 interface besides loopback joined the group");
    return Fd();
  }
  return s;
}

Fd OpenJobListener() {
  Fd s = BoundSocket(SOCK_STREAM, kRawPrintPort);
  if (!s.valid()) return Fd();
  if (listen(s.get(), 16) != 0 || !SetNonBlocking(s.get())) {
    Error("listen TCP 0.0.0.0:%u: %s", kRawPrintPort, std::strerror(errno));
    return Fd();
  }
  return s;
}

bool WriteReadyFile(const std::string& path) {
  std::string tmp = path + ".tmp";
  Fd f(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!f.valid()) {
    Error("%s: %s", tmp.c_str(), std::strerror(errno));
    return false;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (write(f.get(), pid.data(), pid.size()) != static_cast<ssize_t>(pid.size()) ||
      rename(tmp.c_str(), path.c_str()) != 0) {
    Error("%s: %s", path.c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

// One reply (or one repeat of it) waiting for its time.
struct PendingSend {
  Clock::time_point when;
  uint64_t seq;  // keeps equal times in the order they were queued
  size_t printer;
  int nth;
  sockaddr_in to;
  bool operator>(const PendingSend& o) const {
    return when != o.when ? when > o.when : seq > o.seq;
  }
};

// One print connection being stored.
struct Job {
  Fd sock;
  Fd file;
  std::string part;
  std::string final_path;
  std::string peer;
  size_t bytes = 0;
};

class Simulator {
 public:
  explicit Simulator(Options o) : opt_(std::move(o)) {
    for (const Printer& p : opt_.printers) replies_.push_back(BuildReply(p).bytes);
    for (const JunkKind* k : opt_.junk) junk_.push_back(BuildJunk(*k));
    queries_seen_.assign(opt_.printers.size(), 0);
    next_spray_ = Clock::now();
  }

  int Run(int signal_fd) {
    if (opt_.mdns) {
      udp_ = OpenMdnsSocket();
      if (!udp_.valid()) return 1;
    }
    if (!opt_.jobs_dir.empty()) {
      if (mkdir(opt_.jobs_dir.c_str(), 0755) != 0 && errno != EEXIST) {
        Error("%s: %s", opt_.jobs_dir.c_str(), std::strerror(errno));
        return 1;
      }
      listener_ = OpenJobListener();
      if (!listener_.valid()) return 1;
    }
    if (!opt_.ready_file.empty() && !WriteReadyFile(opt_.ready_file)) return 1;
    Log("ready: %zu printer(s)%s", opt_.printers.size(),
        listener_.valid() ? ", jobs on TCP 9100" : "");

    for (;;) {
      std::vector<pollfd> fds;
      fds.push_back({signal_fd, POLLIN, 0});
      fds.push_back({udp_.get(), POLLIN, 0});
      bool accepting = listener_.valid() && jobs_.size() < kMaxJobs;
      fds.push_back({accepting ? listener_.get() : -1, POLLIN, 0});
      for (const Job& j : jobs_) fds.push_back({j.sock.get(), POLLIN, 0});

      int rc = poll(fds.data(), fds.size(), TimeoutMs());
      if (rc < 0 && errno != EINTR) {
        Error("poll: %s", std::strerror(errno));
        return 1;
      }
      if (rc > 0 && fds[0].revents != 0) break;
      if (rc > 0 && fds[1].revents != 0) ReceiveDatagrams();
      Flood();
      Spray();
      if (rc > 0 && fds[2].revents != 0) AcceptJobs();
      if (rc > 0) {
        // Jobs accepted just now sit past the polled ones and wait a round.
        std::vector<size_t> done;
        for (size_t i = 0; i + 3 < fds.size(); ++i)
          if (fds[i + 3].revents != 0 && ReadJob(jobs_[i], false)) done.push_back(i);
        for (size_t k = done.size(); k-- > 0;) jobs_.erase(jobs_.begin() + done[k]);
      }
      SendDue();
    }
    Shutdown();
    return 0;
  }

 private:
  int TimeoutMs() const {
    bool have = !pending_.empty();
    Clock::time_point next = have ? pending_.top().when : Clock::time_point();
    if (flooding_ && (!have || flood_next_ < next)) {
      next = flood_next_;
      have = true;
    }
    if (opt_.spray_last_port != 0 && (!have || next_spray_ < next)) {
      next = next_spray_;
      have = true;
    }
    if (!have) return -1;
    auto left = next - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1;
    return static_cast<int>(ms);
  }

  // Sends what the flood owes by now, round robin over junk and replies.
  void Flood() {
    if (!flooding_) return;
    Clock::time_point now = Clock::now();
    if (now >= flood_end_) {
      flooding_ = false;
      Log("flood over: %llu datagrams to %s", static_cast<unsigned long long>(flood_sent_),
          AddrText(flood_to_).c_str());
      return;
    }
    size_t kinds = junk_.size() + replies_.size();
    const auto gap = std::chrono::nanoseconds(1000000000LL / opt_.flood_rate);
    while (flood_next_ <= now && kinds > 0) {
      size_t k = flood_sent_ % kinds;
      const std::vector<uint8_t>& msg = k < junk_.size() ? junk_[k] : replies_[k - junk_.size()];
      sendto(udp_.get(), msg.data(), msg.size(), 0,
             reinterpret_cast<const sockaddr*>(&flood_to_), sizeof flood_to_);
      ++flood_sent_;
      flood_next_ += gap;
    }
  }

  // One round of replies to every port of the spray range.
  void Spray() {
    if (opt_.spray_last_port == 0 || Clock::now() < next_spray_) return;
    next_spray_ += std::chrono::milliseconds(100);
    sockaddr_in to = opt_.spray_to;
    int first = ntohs(to.sin_port);
    for (int port = first; port <= opt_.spray_last_port; ++port) {
      to.sin_port = htons(static_cast<uint16_t>(port));
      for (const std::vector<uint8_t>& msg : replies_)
        sendto(udp_.get(), msg.data(), msg.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    if (++spray_rounds_ == 1)
      Log("spraying replies at %s to port %d", AddrText(opt_.spray_to).c_str(),
          opt_.spray_last_port);
  }

  void ReceiveDatagrams() {
    for (int round = 0; round < 64; ++round) {
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(udp_.get(), rx_.data(), rx_.size(), 0,
                           reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 0) return;
      if (len < sizeof from || from.sin_family != AF_INET) continue;
      if (n != sizeof kQuery || std::memcmp(rx_.data(), kQuery, sizeof kQuery) != 0) {
        Log("ignored %zd-byte datagram from %s (not the host-config query)", n,
            AddrText(from).c_str());
        continue;
      }
      Log("query from %s", AddrText(from).c_str());
      Clock::time_point now = Clock::now();
      if (opt_.flood_rate > 0) {
        if (!flooding_ && flood_sent_ == 0) {
          flooding_ = true;
          flood_to_ = from;
          flood_next_ = now;
          flood_end_ = now + std::chrono::seconds(opt_.flood_seconds);
          Log("flooding %s with %d datagrams a second", AddrText(from).c_str(),
              opt_.flood_rate);
        }
        continue;
      }
      for (size_t k = 0; k < junk_.size(); ++k)
        Send(junk_[k], from, nullptr, std::string("junk ") + opt_.junk[k]->name);
      for (size_t i = 0; i < opt_.printers.size(); ++i) {
        const Printer& p = opt_.printers[i];
        if (queries_seen_[i]++ < p.ignore) {
          Log("%s ignores query %d from %s", p.name.c_str(), queries_seen_[i],
              AddrText(from).c_str());
          continue;
        }
        for (int r = 0; r < p.repeat; ++r) {
          if (pending_.size() >= kMaxPendingSends) {
            Log("too many replies pending; dropping the rest for %s", AddrText(from).c_str());
            break;
          }
          auto when = now + std::chrono::milliseconds(p.delay_ms) +
                      std::chrono::milliseconds(static_cast<int64_t>(p.interval_ms) * r);
          pending_.push({when, next_seq_++, i, r + 1, from});
        }
      }
    }
  }

  void SendDue() {
    Clock::time_point now = Clock::now();
    while (!pending_.empty() && pending_.top().when <= now) {
      PendingSend s = pending_.top();
      pending_.pop();
      const Printer& p = opt_.printers[s.printer];
      in_addr src{};
      bool has_src = inet_pton(AF_INET, p.ip.c_str(), &src) == 1;
      std::string what = "reply " + p.name + " (" + std::to_string(s.nth) + "/" +
                         std::to_string(p.repeat) + ")";
      Send(replies_[s.printer], s.to, has_src ? &src : nullptr, what);
    }
  }

  // Sends to the querier only. A printer's replies leave from its own
  // address when that address is one of the namespace's, as they would from
  // a real device; otherwise the kernel picks the source.
  void Send(const std::vector<uint8_t>& msg, const sockaddr_in& to, const in_addr* src,
            const std::string& what) {
    iovec iov{const_cast<uint8_t*>(msg.data()), msg.size()};
    msghdr mh{};
    mh.msg_name = const_cast<sockaddr_in*>(&to);
    mh.msg_namelen = sizeof to;
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (src != nullptr) {
      mh.msg_control = control;
      mh.msg_controllen = sizeof control;
      cmsghdr* c = CMSG_FIRSTHDR(&mh);
      c->cmsg_level = IPPROTO_IP;
      c->cmsg_type = IP_PKTINFO;
      c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
      in_pktinfo info{};
      info.ipi_spec_dst = *src;
      std::memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    ssize_t n = sendmsg(udp_.get(), &mh, 0);
    // Not an address of this namespace (a printer answering through a relay
    // from elsewhere, or no printer at all): the kernel picks the source.
    if (n < 0 && src != nullptr) {
      mh.msg_control = nullptr;
      mh.msg_controllen = 0;
      n = sendmsg(udp_.get(), &mh, 0);
    }
    if (n < 0) {
      Error("%s to %s: %s", what.c_str(), AddrText(to).c_str(), std::strerror(errno));
      return;
    }
    Log("%s to %s, %zu bytes", what.c_str(), AddrText(to).c_str(), msg.size());
  }

  void AcceptJobs() {
    while (jobs_.size() < kMaxJobs) {
      sockaddr_in peer{};
      socklen_t plen = sizeof peer;
      Fd s(accept4(listener_.get(), reinterpret_cast<sockaddr*>(&peer), &plen,
                   SOCK_NONBLOCK | SOCK_CLOEXEC));
      if (!s.valid()) return;
      sockaddr_in local{};
      socklen_t llen = sizeof local;
      getsockname(s.get(), reinterpret_cast<sockaddr*>(&local), &llen);
      std::string ip = IpText(local.sin_addr);
      int n = ++job_count_[ip];
      Job j;
      j.part = opt_.jobs_dir + "/." + ip + "-" + std::to_string(n) + ".part";
      j.final_path = opt_.jobs_dir + "/" + ip + "-" + std::to_string(n) + ".bin";
      j.peer = AddrText(peer);
      j.file = Fd(open(j.part.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
      if (!j.file.valid()) {
        Error("%s: %s", j.part.c_str(), std::strerror(errno));
        continue;
      }
      j.sock = std::move(s);
      Log("job connection from %s to %s", j.peer.c_str(), ip.c_str());
      jobs_.push_back(std::move(j));
    }
  }

  // Reads what the peer has sent; returns true when the job is finished
  // (stored or dropped). With `final_round`, data not yet closed by the
  // peer is dropped.
  bool ReadJob(Job& j, bool final_round) {
    char buf[65536];
    for (;;) {
      ssize_t n = read(j.sock.get(), buf, sizeof buf);
      if (n > 0) {
        if (!WriteAll(j.file.get(), buf, static_cast<size_t>(n))) {
          Error("%s: %s", j.part.c_str(), std::strerror(errno));
          return DropJob(j, "write failed");
        }
        j.bytes += static_cast<size_t>(n);
        continue;
      }
      if (n == 0) return StoreJob(j);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK)
        return final_round ? DropJob(j, "unfinished at exit") : false;
      return DropJob(j, std::strerror(errno));
    }
  }

  static bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
      ssize_t w = write(fd, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return false;
      p += w;
      n -= static_cast<size_t>(w);
    }
    return true;
  }

  bool StoreJob(Job& j) {
    j.file.Reset();
    if (rename(j.part.c_str(), j.final_path.c_str()) != 0) {
      Error("%s: %s", j.final_path.c_str(), std::strerror(errno));
      unlink(j.part.c_str());
      return true;
    }
    Log("job stored %s (%zu bytes from %s)", j.final_path.c_str(), j.bytes, j.peer.c_str());
    return true;
  }

  bool DropJob(Job& j, const char* why) {
    j.file.Reset();
    unlink(j.part.c_str());
    Log("job from %s dropped: %s", j.peer.c_str(), why);
    return true;
  }

  void Shutdown() {
    listener_.Reset();
    for (Job& j : jobs_) ReadJob(j, true);
    jobs_.clear();
    udp_.Reset();
    Log("stopped");
  }

  Options opt_;
  // Big enough for any UDP datagram, so each is read whole and only the
  // bytes received are ever compared.
  std::vector<uint8_t> rx_ = std::vector<uint8_t>(65536);
  std::vector<std::vector<uint8_t>> replies_;
  std::vector<std::vector<uint8_t>> junk_;  // per entry of opt_.junk
  Fd udp_;
  Fd listener_;
  std::vector<Job> jobs_;
  std::map<std::string, int> job_count_;
  std::priority_queue<PendingSend, std::vector<PendingSend>, std::greater<PendingSend>> pending_;
  uint64_t next_seq_ = 0;
  std::vector<int> queries_seen_;  // per printer, for --ignore
  bool flooding_ = false;
  sockaddr_in flood_to_{};
  Clock::time_point flood_next_;
  Clock::time_point flood_end_;
  uint64_t flood_sent_ = 0;
  Clock::time_point next_spray_;
  uint64_t spray_rounds_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  int parsed = ParseArgs(argc, argv, &opt);
  if (parsed == 1) {
    PrintUsage(stdout);
    return 0;
  }
  if (parsed == 2) {
    PrintJunkKinds();
    return 0;
  }
  if (parsed < 0) {
    PrintUsage(stderr);
    return 2;
  }

  int p[2];
  if (pipe2(p, O_CLOEXEC | O_NONBLOCK) != 0) {
    Error("pipe: %s", std::strerror(errno));
    return 1;
  }
  Fd signal_read(p[0]);
  Fd signal_write(p[1]);
  gSignalPipe = signal_write.get();
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Simulator sim(std::move(opt));
  return sim.Run(signal_read.get());
}
