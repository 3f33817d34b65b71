// The simulator's own DNS encoder, the reply a printer gives and the junk
// catalogue. It shares nothing with the backend's parser on purpose: two
// sides built from one codec would agree on the same mistakes.
#include "message.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <map>
#include <utility>

const uint8_t kQuery[41] = {0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x0C, 0x5F, 0x68, 0x6F, 0x73, 0x74, 0x2D, 0x63, 0x6F, 0x6E,
                            0x66, 0x69, 0x67, 0x04, 0x5F, 0x75, 0x64, 0x70, 0x05, 0x6C, 0x6F,
                            0x63, 0x61, 0x6C, 0x00, 0x00, 0x0C, 0x80, 0x01};

namespace {

const uint16_t kTypeA = 1;
const uint16_t kTypeNull = 10;
const uint16_t kTypePtr = 12;
const uint16_t kTypeTxt = 16;
const uint16_t kTypeSrv = 33;
const uint16_t kClassIn = 1;
const uint16_t kClassInFlush = 0x8001;  // unique records: cache-flush bit set
const uint32_t kTtlService = 4500;
const uint32_t kTtlHost = 120;

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
  void Append(const void* data, size_t n) {
    const uint8_t* b = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), b, b + n);
  }
  void Fill(uint8_t v, size_t n) { out_.insert(out_.end(), n, v); }
  // Requires: at + 2 <= Size().
  void PatchU16(size_t at, uint16_t v) {
    out_[at] = static_cast<uint8_t>(v >> 8);
    out_[at + 1] = static_cast<uint8_t>(v);
  }
  size_t Size() const { return out_.size(); }
  std::vector<uint8_t>& Bytes() { return out_; }

  // Writes a name; the first `inPlace` labels are always written out (the
  // instance label of a service name is, so that its record reads on its
  // own), the rest becomes a pointer when that suffix was written before.
  void Name(const std::vector<std::string>& labels, size_t inPlace = 0) {
    for (size_t i = 0; i < labels.size(); ++i) {
      std::string key = SuffixKey(labels, i);
      auto it = seen_.find(key);
      if (i >= inPlace && it != seen_.end()) {
        U16(static_cast<uint16_t>(0xC000 | it->second));
        return;
      }
      // A pointer holds 14 bits: a suffix written later cannot be pointed at.
      if (out_.size() < 0x3FFF && it == seen_.end())
        seen_[key] = static_cast<uint16_t>(out_.size());
      U8(static_cast<uint8_t>(labels[i].size()));
      Append(labels[i].data(), labels[i].size());
    }
    U8(0);
  }

  // Starts a resource record; returns where its RDLENGTH goes.
  size_t BeginRecord(const std::vector<std::string>& name, size_t inPlace, uint16_t type,
                     uint16_t cls, uint32_t ttl) {
    Name(name, inPlace);
    U16(type);
    U16(cls);
    U32(ttl);
    size_t at = Size();
    U16(0);
    return at;
  }
  void EndRecord(size_t rdlengthAt) {
    PatchU16(rdlengthAt, static_cast<uint16_t>(Size() - rdlengthAt - 2));
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
  std::map<std::string, uint16_t> seen_;  // name suffix -> where it was written
};

const std::vector<std::string> kService = {"_host-config", "_udp", "local"};

std::vector<std::string> InstanceName(const std::string& instance) {
  return {instance, "_host-config", "_udp", "local"};
}

// A reply with the places the junk builders break it.
struct Reply {
  std::vector<uint8_t> bytes;
  size_t txtRdlengthAt = 0;
  std::vector<size_t> stringAt;  // offset of each TXT string's length byte
};

Reply LayOutReply(const Printer& p) {
  in_addr a{};
  bool hasA = inet_pton(AF_INET, p.ip.c_str(), &a) == 1;

  MessageWriter w;
  w.U16(0);       // ID
  w.U16(0x8400);  // QR, AA
  w.U16(0);       // QDCOUNT
  w.U16(1);       // ANCOUNT
  w.U16(0);       // NSCOUNT
  w.U16(hasA ? 3 : 2);

  size_t at = w.BeginRecord(kService, 0, kTypePtr, kClassIn, kTtlService);
  w.Name(InstanceName(p.name), 1);
  w.EndRecord(at);

  Reply r;
  at = w.BeginRecord(InstanceName(p.name), 1, kTypeTxt, kClassInFlush, kTtlService);
  r.txtRdlengthAt = at;
  for (const std::string& s : Attributes(p)) {
    r.stringAt.push_back(w.Size());
    w.U8(static_cast<uint8_t>(s.size()));
    w.Append(s.data(), s.size());
  }
  w.EndRecord(at);

  const std::vector<std::string> host = {p.name, "local"};
  at = w.BeginRecord(InstanceName(p.name), 0, kTypeSrv, kClassInFlush, kTtlHost);
  w.U16(0);  // priority
  w.U16(0);  // weight
  w.U16(kRawPrintPort);
  w.Name(host, 1);
  w.EndRecord(at);

  if (hasA) {
    at = w.BeginRecord(host, 0, kTypeA, kClassInFlush, kTtlHost);
    w.Append(&a, 4);
    w.EndRecord(at);
  }
  r.bytes = std::move(w.Bytes());
  return r;
}

Printer JunkPrinter(const std::string& kind) {
  Printer p;
  p.macuaa = kJunkMacuaa;
  p.ip = kJunkIp;
  p.deviceId = kJunkDeviceId;
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
  const std::string ipAttr = "IPADDRESS=" + junk.ip;
  w.U16(kTypeTxt);
  w.U16(kClassInFlush);
  w.U32(kTtlService);
  w.U16(static_cast<uint16_t>(ipAttr.size() + 1));
  w.U8(static_cast<uint8_t>(ipAttr.size()));
  w.Append(ipAttr.data(), ipAttr.size());
  return w.Bytes();
}

std::vector<uint8_t> BuildEmpty(const Printer&) { return {}; }

std::vector<uint8_t> BuildShortHeader(const Printer&) {
  MessageWriter w;
  JunkHeader(w, 1, 3);
  return w.Bytes();
}

// A querier must not take its own question, echoed by a peer, for an answer.
std::vector<uint8_t> BuildQueryEcho(const Printer&) {
  return std::vector<uint8_t>(kQuery, kQuery + sizeof kQuery);
}

// Cut halfway into MACUAA: IPADDRESS and IPNETMASK arrive whole, the MAC
// address does not, and every count and length still claims the full reply.
std::vector<uint8_t> BuildTruncated(const Printer& junk) {
  Reply r = LayOutReply(junk);
  // Strings 0 and 1 are IPADDRESS and IPNETMASK; cut halfway into MACUAA.
  size_t mac = r.stringAt[2];
  r.bytes.resize(mac + 1 + r.bytes[mac] / 2);
  return r.bytes;
}

// The TXT record's name is its instance label and a pointer back to that
// label: a reader that follows pointers without a bound goes round for ever.
std::vector<uint8_t> BuildPointerLoop(const Printer& junk) {
  MessageWriter w;
  JunkHeader(w, 1, 0);
  size_t start = w.Size();
  w.U8(static_cast<uint8_t>(junk.name.size()));
  w.Append(junk.name.data(), junk.name.size());
  w.U16(static_cast<uint16_t>(0xC000 | start));
  return EndWithIpRecord(w, junk);
}

// A pointer (C0 11) at its own two bytes: the shortest loop there is.
std::vector<uint8_t> BuildPointerSelf(const Printer& junk) {
  MessageWriter w;
  JunkHeader(w, 1, 0);
  w.U8(4);
  w.Append("junk", 4);
  w.U16(static_cast<uint16_t>(0xC000 | w.Size()));
  return EndWithIpRecord(w, junk);
}

// Every string inside the datagram is whole; only RDLENGTH lies.
std::vector<uint8_t> BuildHugeRdlength(const Printer& junk) {
  Reply r = LayOutReply(junk);
  r.bytes[r.txtRdlengthAt] = 0xFF;
  r.bytes[r.txtRdlengthAt + 1] = 0xFF;
  return r.bytes;
}

// The datagram ends with its TXT record, whose last string's length byte
// (255) claims more than the record and the datagram hold.
std::vector<uint8_t> BuildTxtOverrun(const Printer& junk) {
  const std::string ipAttr = "IPADDRESS=" + junk.ip;
  MessageWriter w;
  JunkHeader(w, 1, 1);
  size_t at = w.BeginRecord(kService, 0, kTypePtr, kClassIn, kTtlService);
  w.Name(InstanceName(junk.name), 1);
  w.EndRecord(at);
  at = w.BeginRecord(InstanceName(junk.name), 1, kTypeTxt, kClassInFlush, kTtlService);
  w.U8(static_cast<uint8_t>(ipAttr.size()));
  w.Append(ipAttr.data(), ipAttr.size());
  const std::string mac = "MACUAA=" + junk.macuaa;
  w.U8(255);
  w.Append(mac.data(), mac.size());
  w.EndRecord(at);
  return w.Bytes();
}

// Whether a reader takes 0xC2 for a label length (194) or for a pointer (to
// offset 0x241), it leads past the datagram's end.
std::vector<uint8_t> BuildLabelC2(const Printer&) {
  MessageWriter w;
  JunkHeader(w, 1, 0);
  w.U8(4);
  w.Append("junk", 4);
  w.U8(0xC2);
  w.Fill('A', 16);
  return w.Bytes();
}

// Larger than a 4096-byte receive buffer, and valid: the reply comes first
// and the padding after it, so a reader that takes only a datagram's first
// bytes still has the whole reply.
std::vector<uint8_t> BuildOversize(const Printer& junk) {
  const size_t total = 5000;
  Reply r = LayOutReply(junk);
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
    const uint8_t rec[12] = {0xC0,
                             0x0C,
                             0,
                             kTypeNull,
                             0,
                             kClassIn,
                             0,
                             0,
                             0x11,
                             0x94,
                             static_cast<uint8_t>(len >> 8),
                             static_cast<uint8_t>(len)};
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
  const size_t chain = w.Size();
  for (int i = 0; i < links; ++i) {
    w.U8(1);
    w.U8('a');
  }
  w.U8(0);
  w.EndRecord(at);
  uint16_t records = 1;
  while (w.Size() + 12 <= total) {
    w.U16(static_cast<uint16_t>(0xC000 | chain));
    w.U16(kTypeA);
    w.U16(kClassIn);
    w.U32(kTtlHost);
    w.U16(0);
    ++records;
  }
  w.PatchU16(6, records);
  return w.Bytes();
}

// Adds the `n` bytes at `p` to the one's complement sum `sum` as big-endian
// 16-bit words, an odd last byte padded with a zero. Unfolded: 65,535 bytes
// add at most 32,768 * 0xFFFF, far below the 32-bit limit.
uint32_t AddWords(const uint8_t* p, size_t n, uint32_t sum) {
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>((p[i] << 8) | p[i + 1]);
  if (n % 2 != 0) sum += static_cast<uint32_t>(p[n - 1] << 8);
  return sum;
}

}  // namespace

std::vector<std::string> Attributes(const Printer& p) {
  std::vector<std::string> a;
  a.push_back("IPADDRESS=" + p.ip);
  a.push_back("IPNETMASK=255.255.255.0");
  a.push_back("MACUAA=" + p.macuaa);
  a.push_back("1284STRID=\"" + p.deviceId + "\"");
  if (p.hasVidpid) a.push_back("PRINTERVIDPID=" + p.vidpid);
  a.push_back("MDNSNAME=" + p.name);
  for (const std::string& e : p.extras) a.push_back(e);
  return a;
}

std::vector<uint8_t> BuildReply(const Printer& p) { return LayOutReply(p).bytes; }

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
      {"label-c2", "a record name with label length byte 0xC2 and 16 bytes after it", BuildLabelC2},
      {"oversize", "a 5000-byte datagram: a valid reply padded with NULL records", BuildOversize},
      {"deep-names", "4088 bytes: 255 records named by a pointer to a 500-label chain",
       BuildDeepNames},
  };
  return kinds;
}

const JunkKind* FindJunkKind(const std::string& name) {
  for (const JunkKind& k : JunkKinds())
    if (name == k.name) return &k;
  return nullptr;
}

std::vector<uint8_t> BuildJunk(const JunkKind& kind) { return kind.build(JunkPrinter(kind.name)); }

bool BuildIpv4Udp(in_addr src, uint16_t srcPort, in_addr dst, uint16_t dstPort, int ttl,
                  const std::vector<uint8_t>& payload, std::vector<uint8_t>* out) {
  if (payload.size() > kMaxUdpPayloadV4) return false;
  const size_t ipLen = 20, udpLen = 8 + payload.size();
  MessageWriter w;
  w.U8(0x45);  // version 4, a 5-word header
  w.U8(0);     // TOS
  w.U16(static_cast<uint16_t>(ipLen + udpLen));
  w.U16(0);  // ID: the kernel picks one
  w.U16(0);  // no flags, no fragment offset
  w.U8(static_cast<uint8_t>(ttl));
  w.U8(IPPROTO_UDP);
  w.U16(0);  // header checksum: the kernel fills it in
  w.Append(&src, 4);
  w.Append(&dst, 4);
  w.U16(srcPort);
  w.U16(dstPort);
  w.U16(static_cast<uint16_t>(udpLen));
  w.U16(0);  // the checksum, patched below
  w.Append(payload.data(), payload.size());
  std::vector<uint8_t>& b = w.Bytes();

  // Over the pseudo-header (both addresses, protocol, UDP length) and the
  // UDP datagram. A sum of 0 goes out as 0xFFFF: 0 would mean "none".
  uint32_t sum = AddWords(b.data() + 12, 8, IPPROTO_UDP + static_cast<uint32_t>(udpLen));
  sum = AddWords(b.data() + ipLen, udpLen, sum);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  uint16_t check = static_cast<uint16_t>(~sum);
  w.PatchU16(ipLen + 6, check == 0 ? 0xFFFF : check);
  *out = std::move(b);
  return true;
}
