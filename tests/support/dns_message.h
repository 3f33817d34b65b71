// Builds DNS-format messages byte by byte for the parser's tests and
// benchmarks: replies as printers send them, and malformed ones.
#ifndef NETBACKEND_TESTS_SUPPORT_DNS_MESSAGE_H_
#define NETBACKEND_TESTS_SUPPORT_DNS_MESSAGE_H_

#include <cstdint>
#include <string>
#include <vector>

const int kTypeA = 1;
const int kTypePTR = 12;
const int kTypeTXT = 16;
const int kTypeSRV = 33;

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

  Datagram& Header(int flags, int qd, int an, int ns, int ar) {
    return U16(0x1234).U16(flags).U16(qd).U16(an).U16(ns).U16(ar);
  }
  Datagram& HostConfigQuestion() {
    return Name({"_host-config", "_udp", "local"}).U16(kTypePTR).U16(0x8001);
  }
  // TYPE, CLASS (IN with the cache-flush bit), TTL and RDLENGTH.
  Datagram& Fixed(int type, int rdlength) {
    return U16(type).U16(0x8001).U32(4500).U16(rdlength);
  }
  // The fixed fields and the RDATA of a TXT record holding `strings`.
  Datagram& Txt(const std::vector<std::string>& strings) {
    int rdlength = 0;
    for (const std::string& s : strings) rdlength += 1 + static_cast<int>(s.size());
    Fixed(kTypeTXT, rdlength);
    for (const std::string& s : strings) Label(s);
    return *this;
  }

 private:
  std::vector<unsigned char> bytes_;
};

#endif  // NETBACKEND_TESTS_SUPPORT_DNS_MESSAGE_H_
