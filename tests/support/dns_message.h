// Builds DNS-format messages byte by byte for the tests, the fuzz targets and
// the benchmarks: the query, the reply a printer sends, and malformed
// messages made of the same parts. Nothing here comes from the parser: names
// are written label by label, pointers from offsets the builder reports, so
// that the parser is checked against an independent writing of the format.
#ifndef NETBACKEND_TESTS_SUPPORT_DNS_MESSAGE_H_
#define NETBACKEND_TESTS_SUPPORT_DNS_MESSAGE_H_

#include <cstdint>
#include <string>
#include <vector>

const int kTypeA = 1;
const int kTypePTR = 12;
const int kTypeTXT = 16;
const int kTypeSRV = 33;

const int kReplyFlags = 0x8400;  // QR (a response) and AA

// Builds a DNS-format message byte by byte; compression pointers take their
// targets from Offset().
class Datagram {
 public:
  int Offset() const { return static_cast<int>(bytes_.size()); }
  const std::vector<unsigned char>& bytes() const { return bytes_; }

  Datagram& Byte(int b, int count = 1) {
    bytes_.insert(bytes_.end(), static_cast<size_t>(count), static_cast<unsigned char>(b));
    return *this;
  }
  Datagram& U16(int v) { return Byte((v >> 8) & 0xFF).Byte(v & 0xFF); }
  Datagram& U32(uint32_t v) {
    return U16(static_cast<int>(v >> 16)).U16(static_cast<int>(v & 0xFFFF));
  }
  Datagram& Raw(const std::string& s) {
    bytes_.insert(bytes_.end(), s.begin(), s.end());
    return *this;
  }
  // Pads with `b` up to `offset`.
  Datagram& PadTo(int offset, int b = 0) { return Byte(b, offset - Offset()); }
  // A label or a character-string: its length byte, then its bytes.
  Datagram& Label(const std::string& s) { return Byte(static_cast<int>(s.size())).Raw(s); }
  // A name written in place: its labels, then the zero byte.
  Datagram& Name(const std::vector<std::string>& labels) {
    for (const std::string& label : labels) Label(label);
    return Byte(0);
  }
  // The lead byte is 0xC0 for offsets below 256, 0xC1 up to 511, 0xC4 for
  // 1024 to 1279.
  Datagram& Pointer(int offset) { return Byte(0xC0 | (offset >> 8)).Byte(offset & 0xFF); }

  // ID 0x1234, then the flags and the four counts.
  Datagram& Header(int flags, int qd, int an, int ns, int ar) {
    return U16(0x1234).U16(flags).U16(qd).U16(an).U16(ns).U16(ar);
  }
  // _host-config._udp.local, type PTR, class IN with the unicast-response bit.
  Datagram& HostConfigQuestion() {
    return Name({"_host-config", "_udp", "local"}).U16(kTypePTR).U16(0x8001);
  }
  // TYPE, CLASS (IN with the cache-flush bit), TTL and RDLENGTH.
  Datagram& Fixed(int type, int rdlength) { return U16(type).U16(0x8001).U32(4500).U16(rdlength); }
  // The fixed fields and the RDATA of a TXT record holding `strings`.
  Datagram& Txt(const std::vector<std::string>& strings) {
    int rdlength = 0;
    for (const std::string& s : strings) rdlength += 1 + static_cast<int>(s.size());
    Fixed(kTypeTXT, rdlength);
    for (const std::string& s : strings) Label(s);
    return *this;
  }
  // The name KVT._host-config written in place, and a whole TXT record so named.
  Datagram& InstanceName() { return Name({"KVT", "_host-config"}); }
  Datagram& InstanceTxt(const std::vector<std::string>& strings) {
    return InstanceName().Txt(strings);
  }

 private:
  std::vector<unsigned char> bytes_;
};

// The query as the backend sends it: ID 0, no flags, the one question.
inline Datagram HostConfigQuery() {
  Datagram d;
  d.U16(0).U16(0).U16(1).U16(0).U16(0).U16(0).HostConfigQuestion();
  return d;
}

// Where a reply that repeats the question holds _host-config._udp.local, and
// where its "local" label starts.
const int kQuestionName = 12;
const int kLocalLabel = 12 + 13 + 5;
// Where the instance name "KVT-1234" stands in PrinterReply: in the RDATA of
// the PTR answer (C0 0C and ten bytes of fixed fields) after the question.
const int kInstanceName = 12 + 29 + 2 + 10;

// The attributes a printer of vendor 0x2E97 puts in its TXT record. They
// give the MAC address 80C4A2E691D5, the address 10.0.0.5 and the brand Tamo.
const std::vector<std::string> kPrinterTxt = {
    "IPADDRESS=10.0.0.5",  "IPNETMASK=255.255.255.0",
    "IPGATEWAY=10.0.0.1",  "IPNAME=KVT-1234",
    "MACLAA=000000000000", "MACUAA=0123456789AB",
    "IPADDRSOURCE=DHCP",   "1284STRID=\"MFG:Tamo;CMD:ESC/P;MDL:T1;CLS:PRINTER;\"",
    "PASSWORDSET=0",       "ADAPTERNAME=KVT-1234",
    "CPDATTACHED=1",       "PRINTERVIDPID=2E970042",
    "MDNSNAME=KVT-1234",
};

// The question and the PTR answer naming the instance KVT-1234, in a reply
// that announces `authority` and `additional` records after them.
inline Datagram WithAnswer(int authority, int additional, int flags = kReplyFlags) {
  Datagram d;
  d.Header(flags, 1, 1, authority, additional).HostConfigQuestion();
  d.Pointer(kQuestionName).Fixed(kTypePTR, 11).Label("KVT-1234").Pointer(kQuestionName);
  return d;
}

// A reply as a printer sends it by unicast: the question repeated, the PTR
// answer naming the instance, then SRV, TXT (holding `txt`) and A records
// whose names point back into it; about 300 bytes with kPrinterTxt.
inline Datagram PrinterReply(const std::vector<std::string>& txt = kPrinterTxt,
                             int flags = kReplyFlags) {
  Datagram d = WithAnswer(0, 3, flags);
  d.Pointer(kInstanceName).Fixed(kTypeSRV, 6 + 9 + 2).U16(0).U16(0).U16(9100);
  const int host = d.Offset();
  d.Label("KVT-1234").Pointer(kLocalLabel);
  d.Pointer(kInstanceName).Txt(txt);
  d.Pointer(host).Fixed(kTypeA, 4).Byte(10).Byte(0).Byte(0).Byte(5);
  return d;
}

// Labels "KVT", "_host-config", then "x" each, every one but the last
// followed by a pointer to the next: a name that starts with a pointer to the
// first link follows `links` pointers in all.
inline Datagram PointerChain(Datagram d, int links, int* start) {
  *start = d.Offset();
  for (int i = 0; i < links; ++i) {
    d.Label(i == 0 ? "KVT" : i == 1 ? "_host-config" : "x");
    if (i + 1 < links)
      d.Pointer(d.Offset() + 2);
    else
      d.Byte(0);
  }
  return d;
}

#endif  // NETBACKEND_TESTS_SUPPORT_DNS_MESSAGE_H_
