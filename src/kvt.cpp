#include "kvt.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "backend_util.h"
#include "connector.h"
#include "data_buffer.h"
#include "descriptor_watch.h"
#include "trace_log.h"

const unsigned char gDNSQueryPacket[41] = {
    0x00, 0x00,  // ID
    0x00, 0x00,  // flags: a standard query
    0x00, 0x01,  // QDCOUNT
    0x00, 0x00,  // ANCOUNT
    0x00, 0x00,  // NSCOUNT
    0x00, 0x00,  // ARCOUNT
    0x0C, '_',  'h', 'o', 's',  't', '-', 'c', 'o', 'n', 'f',  'i',  'g',  0x04,
    '_',  'u',  'd', 'p', 0x05, 'l', 'o', 'c', 'a', 'l', 0x00, 0x00, 0x0C,  // QTYPE PTR
    0x80, 0x01,  // QCLASS IN, unicast response wanted
};

namespace {

const char kSource[] = "src/kvt";
const int kBufferSize = 4096;

const char kServiceLabel[] = "_host-config";
const uint16_t kTypeTXT = 16;

// The longest name there is, in octets on the wire.
const unsigned kMaxNameOctets = 255;

// The first character of the program's file name picks the brand it lists.
struct NameBrand {
  char first;
  const char* brand;
};
const NameBrand kBrandWords[] = {
    {'t', "Tamo"},
    {'g', "Printer"},
    {'s', "SOLENA"},
    {'z', "ZALOR"},
};
const char kDefaultBrand[] = "Orbec";
const char kAllBrands[] = "Printer";

struct VendorBrand {
  uint32_t vendorId;
  const char* brand;
};
const VendorBrand kVendors[] = {
    {0x5A21, "Korvane"},
    {0x2E97, "Tamo"},
};

int64_t NowMicroseconds() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

// The fixed parts of the message format.
const size_t kHeaderSize = 12;  // ID, flags, and the four counts
const size_t kFlagsAt = 2;      // the flags byte that holds QR
const unsigned char kResponseBit = 0x80;
const size_t kQdcountAt = 4;
const size_t kAncountAt = 6;
const size_t kArcountAt = 10;
const size_t kQuestionFields = 4;  // QTYPE, QCLASS after a question's name
const size_t kRecordFields = 10;   // TYPE, CLASS, TTL, RDLENGTH after a record's name
const size_t kRdlengthAt = 8;      // within those fields
const unsigned char kQuestionPointer = 0xC0;

// Reads a received message [begin, end) and nothing outside it: every read
// goes through one check against what is left, so a count, a length or a
// pointer that leads past the end fails the read instead of reading there.
class WireReader {
 public:
  WireReader(const unsigned char* begin, const unsigned char* end)
      : begin_(begin), pos_(begin), end_(end) {}

  size_t Left() const { return static_cast<size_t>(end_ - pos_); }
  const unsigned char* Position() const { return pos_; }
  const unsigned char* Begin() const { return begin_; }
  const unsigned char* End() const { return end_; }

  // Moves to `offset` from the start; false (and no move) past the end.
  bool Seek(size_t offset) {
    if (offset > static_cast<size_t>(end_ - begin_)) return false;
    pos_ = begin_ + offset;
    return true;
  }
  bool Skip(size_t n) {
    if (Left() < n) return false;
    pos_ += n;
    return true;
  }
  // The byte `ahead` bytes on, not moving.
  bool Peek8(size_t ahead, unsigned char* value) const {
    if (Left() <= ahead) return false;
    *value = pos_[ahead];
    return true;
  }
  // The big-endian 16-bit field `ahead` bytes on, not moving.
  bool Peek16(size_t ahead, uint16_t* value) const {
    if (Left() < ahead + 2) return false;
    *value = static_cast<uint16_t>((pos_[ahead] << 8) | pos_[ahead + 1]);
    return true;
  }

 private:
  const unsigned char* begin_;
  const unsigned char* pos_;
  const unsigned char* end_;
};

bool IsPointerLead(unsigned char b) { return b == 0xC0 || b == 0xC1 || b == 0xC4; }

// A label's or a character-string's text ends at its first zero byte.
std::string_view LabelText(const unsigned char* label, size_t length) {
  const void* zero = memchr(label, 0, length);
  size_t n = zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - label) : length;
  return std::string_view(reinterpret_cast<const char*>(label), n);
}

// Walks the name at `pos` of the message [begin, end) and hands each of its
// first two labels to `keep(index, bytes, length)`, as they stand (not yet
// cut at a zero byte). Returns the bytes the name takes
// up at its place, or 0 when it is malformed (see ReadName).
template <typename Keep>
uint16_t WalkName(const unsigned char* begin, const unsigned char* end, const unsigned char* pos,
                  Keep keep) {
  WireReader wire(begin, end);
  if (!wire.Seek(static_cast<size_t>(pos - begin))) return 0;
  unsigned char b;
  if (!wire.Peek8(0, &b)) return 0;
  if (b == 0) return 1;
  unsigned count = 0;
  bool pointerMet = false;
  int labels = 0;
  unsigned octets = 0;
  for (;;) {
    if (!wire.Peek8(0, &b)) return 0;
    if (IsPointerLead(b)) {
      unsigned char low;
      if (!wire.Peek8(1, &low)) return 0;
      if (!pointerMet) {
        count += 2;
        pointerMet = true;
      }
      // Behind a pointer the count is fixed; with both labels kept, nothing
      // further can change what the name yields. Every pointer followed
      // yields a label, so at most two are followed and a pointer leading
      // back into its own name cannot keep the walk going.
      if (labels >= 2) return static_cast<uint16_t>(count);
      // The byte at the target is taken as a label length whatever it is.
      if (!wire.Seek(((static_cast<unsigned>(b) << 8) | low) & 0x3FFF)) return 0;
      if (!wire.Peek8(0, &b)) return 0;
    } else if (!pointerMet) {
      count += b + 1u;
    }
    // The label, and the byte after it that says how the name goes on.
    if (wire.Left() < b + 2u) return 0;
    octets += b + 1u;
    if (octets + 1 > kMaxNameOctets) return 0;
    if (labels < 2) keep(labels, wire.Position() + 1, b);
    ++labels;
    wire.Skip(b + 1u);
    if (pointerMet && labels >= 2) return static_cast<uint16_t>(count);
    wire.Peek8(0, &b);
    if (b == 0) {
      if (!pointerMet) count += 1;
      return static_cast<uint16_t>(count);
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One byte of a "MACUAA" value read at `pos` as sscanf's "%2x" reads it:
// leading white space skipped, a sign or "0x" allowed, up to two digits.
unsigned char MacByte(std::string_view value, size_t pos) {
  if (pos >= value.size()) return 0;
  int high = HexValue(value[pos]);
  int low = pos + 1 < value.size() ? HexValue(value[pos + 1]) : -1;
  if (high >= 0 && low >= 0) return static_cast<unsigned char>(high * 16 + low);
  // The rare forms go to sscanf itself, on a terminated copy.
  char text[256];
  size_t n = std::min(value.size() - pos, sizeof(text) - 1);
  memcpy(text, value.data() + pos, n);
  text[n] = '\0';
  unsigned int number = 0;
  if (sscanf(text, "%2x", &number) != 1) return 0;
  return static_cast<unsigned char>(number & 0xFF);
}

// The text between the first and the last double quote, or after the only
// one; the whole text when it holds none.
std::string_view Unquoted(std::string_view value) {
  const char* begin = value.data();
  const char* end = begin + value.size();
  const char* first = static_cast<const char*>(memchr(begin, '"', value.size()));
  if (first == nullptr) return value;
  const char* last = static_cast<const char*>(memrchr(begin, '"', value.size()));
  return last != first ? std::string_view(first + 1, static_cast<size_t>(last - first - 1))
                       : std::string_view(first + 1, static_cast<size_t>(end - first - 1));
}

// Whether a label, cut at its first zero byte, is "_host-config".
bool IsServiceLabel(const unsigned char* label, size_t length) {
  const size_t n = sizeof(kServiceLabel) - 1;
  return length >= n && memcmp(label, kServiceLabel, n) == 0 && (length == n || label[n] == 0);
}

// Length first: comparing with a literal through operator== costs a strlen
// and a memcmp for every key of the table.
template <size_t N>
bool Is(std::string_view s, const char (&literal)[N]) {
  return s.size() == N - 1 && memcmp(s.data(), literal, N - 1) == 0;
}

std::string AddressText(in_addr address) {
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &address, text, sizeof(text)) != nullptr ? text : "?";
}

// One line for every datagram that did not give a printer, saying why.
void TraceVerdict(const Arrival& arrival, Verdict verdict, const DeviceRecord& record, int bytes) {
  if (verdict == kAccepted) return;
  std::string from = AddressText(arrival.source);
  if (IsSenderVerdict(verdict) || verdict == kMalformed || verdict == kNotHostConfig)
    log_printf('F', __LINE__, kSource, __func__, "dropped %d bytes from %s (TTL %d): %s", bytes,
               from.c_str(), arrival.ttl, VerdictText(verdict));
  else
    log_printf('F', __LINE__, kSource, __func__,
               "reply from %s (TTL %d) not used: %s (MAC \"%s\", IP \"%s\")", from.c_str(),
               arrival.ttl, VerdictText(verdict), log_escape(record.macAddress()).c_str(),
               log_escape(record.ipAddress()).c_str());
}

}  // namespace

std::string BrandForProgramName(const std::string& name) {
  if (!name.empty()) {
    for (size_t i = 0; i < sizeof(kBrandWords) / sizeof(kBrandWords[0]); ++i)
      if (name[0] == kBrandWords[i].first) return kBrandWords[i].brand;
  }
  return kDefaultBrand;
}

Discoverer::Discoverer() {
  std::string name;
  ReadProgramName(name);
  brand_ = BrandForProgramName(name);
}

Discoverer::Discoverer(const std::string& programName) : brand_(BrandForProgramName(programName)) {}

int Discoverer::discover(const ReplyObserver& observer, const DiscoveryOptions& options) {
  log_printf('F', __LINE__, kSource, __func__, "begin");
  DescriptorWatch watch;
  Connector connector(&watch);
  DataBuffer buffer(kBufferSize);
  buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);

  // The query leaves from a port of this process's own (port 0: the system
  // picks one), and printers answer by unicast to that port. Bound to 5353,
  // every listing running at the same moment (the scheduler starts each
  // brand's name at once) and any local mDNS daemon would share the port,
  // and the system hands each unicast reply to one of them only.
  int result = connector.Broadcast(buffer, options.port, 0);
  if (options.queryInterfaces != nullptr) *options.queryInterfaces = connector.Interfaces();
  if (result <= 0) {
    log_printf('I', __LINE__, kSource, __func__, "unable to locate devices with result=%d", result);
    return result;
  }

  // One deadline for the whole run, fixed when the waiting starts: every
  // wait gets what is left of it, and the time spent on replies counts too,
  // so neither a printer answering every second nor a flood of costly
  // datagrams can keep the run alive.
  const int64_t start = NowMicroseconds();
  const int64_t deadline = start + static_cast<int64_t>(options.seconds) * 1000000;
  size_t repeats =
      options.repeatQuery ? sizeof(kRepeatQueryAfter) / sizeof(kRepeatQueryAfter[0]) : 0;
  size_t repeated = 0;
  size_t kept = 0;
  bool more = true;
  while (more) {
    int64_t now = NowMicroseconds();
    if (now >= deadline) break;
    int64_t until = deadline;
    if (repeated < repeats) {
      int64_t due = start + static_cast<int64_t>(kRepeatQueryAfter[repeated]) * 1000000;
      if (now >= due) {
        // The buffer holds the last reply by now: put the query back.
        buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
        log_printf('F', __LINE__, kSource, __func__, "query again after %d s: ret=%d",
                   kRepeatQueryAfter[repeated], connector.Resend(buffer));
        ++repeated;
        continue;
      }
      if (due < until) until = due;
    }
    int64_t left = until - now;
    int ready = watch.Wait(static_cast<int>(left / 1000000), static_cast<int>(left % 1000000));
    if (ready < 0) break;
    if (ready == 0) continue;
    Arrival arrival;
    int received = connector.ReceiveReply(buffer, arrival);
    if (received <= 0) continue;
    if (kept >= kMaxRecordsPerRun) {
      if (kept++ == kMaxRecordsPerRun)
        log_printf('F', __LINE__, kSource, __func__,
                   "%d records kept: further replies of this run are ignored",
                   static_cast<int>(kMaxRecordsPerRun));
      continue;
    }
    // Every datagram is judged by one rule, in one place: the sender before
    // a byte is read, then the message, then the printer it describes.
    const HostLinks& links = connector.Links();
    DeviceRecord record;
    std::string address;
    ReplyKind kind = kMalformedReply;
    Verdict verdict = links.JudgeSender(arrival);
    if (verdict == kAccepted) {
      kind = ReadReply(buffer, record);
      if (kind == kMalformedReply)
        verdict = kMalformed;
      else if (kind == kOtherMessage)
        verdict = kNotHostConfig;
      else
        verdict = JudgeRecord(record, arrival, links, address);
    }
    bool keep = kind == kHostConfigReply && verdict != kOtherBrand;
    if (keep) {
      ++kept;
      deviceList_.push_back(record);
    }
    TraceVerdict(arrival, verdict, record, received);
    if (observer)
      more = observer(Reply{buffer, arrival, links, verdict, kind, record, address, keep});
  }
  connector.CloseBroadcast();
  log_printf('F', __LINE__, kSource, __func__, "end");
  return result;
}

bool Discoverer::Admits(const DeviceRecord& record) const {
  return brand_ == kAllBrands || record.brand() == brand_;
}

Verdict Discoverer::JudgeRecord(const DeviceRecord& record, const Arrival& arrival,
                                const HostLinks& links, std::string& address) const {
  if (!Admits(record)) return kOtherBrand;
  if (record.macAddress().empty()) return kNoMacAddress;
  return links.JudgeAddress(record.ipAddress(), arrival, address);
}

bool Discoverer::ParseReply(const DataBuffer& reply, DeviceRecord& record) const {
  return ReadReply(reply, record) == kHostConfigReply;
}

ReplyKind Discoverer::ReadReply(const DataBuffer& reply, DeviceRecord& record) const {
  if (reply.Length() <= static_cast<int>(kHeaderSize)) return kMalformedReply;
  const unsigned char* begin = reply.Data();
  WireReader wire(begin, begin + reply.Length());
  unsigned char flags = 0;
  uint16_t questions = 0, answers = 0, additional = 0;
  if (!wire.Peek8(kFlagsAt, &flags) || (flags & kResponseBit) == 0) return kOtherMessage;
  wire.Peek16(kQdcountAt, &questions);
  wire.Peek16(kAncountAt, &answers);
  wire.Peek16(kArcountAt, &additional);
  // NSCOUNT is not counted in: a reply with authority records leaves as
  // many of its last additional records unread.
  uint16_t records = static_cast<uint16_t>(answers + additional);

  // Questions are passed over without being read; only 0xC0 ends a name
  // there as a pointer.
  wire.Skip(kHeaderSize);
  for (uint16_t q = 0; q < questions; ++q) {
    for (;;) {
      unsigned char b;
      if (!wire.Peek8(0, &b)) return kMalformedReply;
      if (b == kQuestionPointer) {
        if (!wire.Skip(2)) return kMalformedReply;
        break;
      }
      if (b == 0) {
        wire.Skip(1);
        break;
      }
      if (!wire.Skip(b + 1u)) return kMalformedReply;
    }
    if (!wire.Skip(kQuestionFields)) return kMalformedReply;
  }
  if (records == 0) return kOtherMessage;

  // Only the first host-config TXT record counts: a printer describes itself
  // once, and whatever follows it is not read.
  while (records != 0) {
    bool service = false;
    uint16_t taken = WalkName(begin, wire.End(), wire.Position(),
                              [&service](int index, const unsigned char* label, size_t length) {
                                if (index == 1) service = IsServiceLabel(label, length);
                              });
    uint16_t type = 0, rdlength = 0;
    if (taken == 0 || !wire.Skip(taken) || wire.Left() < kRecordFields) return kMalformedReply;
    wire.Peek16(0, &type);
    wire.Peek16(kRdlengthAt, &rdlength);
    wire.Skip(kRecordFields);
    if (service && type == kTypeTXT) {
      // The strings may run past neither the record's data nor the
      // datagram; a string that would is not applied.
      WireReader rdata(wire.Position(), wire.Position() + std::min<size_t>(rdlength, wire.Left()));
      unsigned char length;
      while (rdata.Peek8(0, &length) && rdata.Left() >= 1u + length) {
        // The string's text ends at a zero byte; its first '=' splits key
        // from value.
        std::string_view text = LabelText(rdata.Position() + 1, length);
        const char* equals = static_cast<const char*>(memchr(text.data(), '=', text.size()));
        if (equals != nullptr)
          ApplyKeyValue(std::string_view(text.data(), static_cast<size_t>(equals - text.data())),
                        std::string_view(equals + 1, static_cast<size_t>(text.data() + text.size() -
                                                                         equals - 1)),
                        record);
        rdata.Skip(1u + length);
      }
      return kHostConfigReply;
    }
    if (!wire.Skip(rdlength)) return kMalformedReply;
    --records;
  }
  return kOtherMessage;
}

uint16_t Discoverer::ReadName(const unsigned char* begin, const unsigned char* end,
                              const unsigned char* pos, std::string& first, std::string& second) {
  return WalkName(begin, end, pos, [&](int index, const unsigned char* label, size_t length) {
    std::string_view text = LabelText(label, length);
    (index == 0 ? first : second).append(text.data(), text.size());
  });
}

std::string Discoverer::ReadTextString(const unsigned char* pos, uint16_t& length) {
  length = *pos;
  return std::string(LabelText(pos + 1, length));
}

void Discoverer::StripQuotes(std::string& value) { value = std::string(Unquoted(value)); }

unsigned char Discoverer::ReverseBits(unsigned char byte) {
  // Each nibble mirrored, and the two swapped.
  static const unsigned char kMirror[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                            0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};
  return static_cast<unsigned char>((kMirror[byte & 0x0F] << 4) | kMirror[byte >> 4]);
}

uint32_t Discoverer::ParseHex(std::string_view text) {
  uint32_t result = 0;
  size_t size = text.size();
  for (size_t i = 0; i < size; ++i) {
    int value = HexValue(text[size - 1 - i]);
    if (value > 0) result |= static_cast<uint32_t>(value) << (4 * (i % 8));
  }
  return result;
}

void Discoverer::MatchBrand(std::string_view key, std::string_view value,
                            DeviceRecord& record) const {
  if (Is(key, "1284STRID") || Is(key, "MDNSNAME")) AdoptBrand(value, record);
}

void Discoverer::ParseAttribute(const std::string& attribute, DeviceRecord& record) const {
  ApplyAttribute(attribute, record);
}

void Discoverer::ApplyAttribute(std::string_view attribute, DeviceRecord& record) const {
  size_t equals = attribute.find('=');
  if (equals == std::string_view::npos) return;
  ApplyKeyValue(attribute.substr(0, equals), attribute.substr(equals + 1), record);
}

void Discoverer::ApplyKeyValue(std::string_view key, std::string_view value,
                               DeviceRecord& record) const {
  // Only these five keys matter; the others a printer sends (IPNETMASK,
  // IPGATEWAY, IPNAME, MACLAA, IPADDRSOURCE, PASSWORDSET, ADAPTERNAME,
  // CPDATTACHED) and any unknown key change nothing. Keys are compared whole
  // and case-sensitively, by their length first.
  switch (key.size()) {
    case 9:
      if (Is(key, "IPADDRESS")) {
        record.setIpAddress(Unquoted(value));
      } else if (Is(key, "1284STRID")) {
        // The device ID is what the quotes hold; a value without any quote
        // is taken whole rather than dropped.
        std::string_view id = Unquoted(value);
        record.setDeviceId(id);
        AdoptBrand(id, record);
      }
      break;
    case 6:
      if (Is(key, "MACUAA")) {
        std::string_view mac = Unquoted(value);
        // The printer writes its address with the bits of each byte reversed.
        static const char kHex[] = "0123456789ABCDEF";
        char text[12];
        unsigned char any = 0;
        for (int i = 0; i < 6; ++i) {
          unsigned char b = ReverseBits(MacByte(mac, 2 * static_cast<size_t>(i)));
          any |= b;
          text[2 * i] = kHex[b >> 4];
          text[2 * i + 1] = kHex[b & 0x0F];
        }
        // A value without a digit reads as six zero bytes, and no interface
        // has that address: every such printer would share one device URI.
        record.setMacAddress(any != 0 ? std::string_view(text, sizeof(text)) : std::string_view());
      }
      break;
    case 13:
      if (Is(key, "PRINTERVIDPID")) {
        uint32_t vendor = ParseHex(Unquoted(value)) >> 16;
        std::string_view word;
        for (size_t i = 0; i < sizeof(kVendors) / sizeof(kVendors[0]); ++i)
          if (kVendors[i].vendorId == vendor) word = kVendors[i].brand;
        record.setBrand(word);
      }
      break;
    case 8:
      if (Is(key, "MDNSNAME")) AdoptBrand(Unquoted(value), record);
      break;
  }
}

void Discoverer::AdoptBrand(std::string_view value, DeviceRecord& record) const {
  if (record.brand().empty() && value.find(brand_) != std::string_view::npos)
    record.setBrand(brand_);
}
