#include "kvt.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "brands.h"
#include "connector.h"
#include "data_buffer.h"
#include "descriptor_watch.h"
#include "program_name.h"
#include "trace_log.h"
#include "wire_reader.h"

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
// The function every trace line of a run names, whichever helper writes it.
const char kDiscover[] = "discover";
const int kBufferSize = 4096;

const char kServiceLabel[] = "_host-config";
const uint16_t kTypeTXT = 16;

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

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Bit k becomes bit 7 - k: the printer writes each byte of its MAC address
// so. Each nibble mirrored, and the two swapped.
unsigned char ReverseBits(unsigned char byte) {
  static const unsigned char kMirror[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                            0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};
  return static_cast<unsigned char>((kMirror[byte & 0x0F] << 4) | kMirror[byte >> 4]);
}

// Hex digits read from the end, each shifted by 4 * (i mod 8) and ORed in;
// any other character counts 0. A ninth digit and beyond fall into the low
// bits again, and a prefix such as "0x" adds nothing.
uint32_t ParseHex(std::string_view text) {
  uint32_t result = 0;
  size_t size = text.size();
  for (size_t i = 0; i < size; ++i) {
    int value = HexValue(text[size - 1 - i]);
    if (value > 0) result |= static_cast<uint32_t>(value) << (4 * (i % 8));
  }
  return result;
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

// Passes over `questions` questions without reading them. There only 0xC0
// ends a name as a pointer (0xC1 and 0xC4, pointers in a record's name, are
// label lengths here). This is how the printers' replies are read in the
// field, not an oversight: do not make it the usual test on the top two
// bits. False when a question runs past the end.
bool SkipQuestions(WireReader& wire, uint16_t questions) {
  for (uint16_t q = 0; q < questions; ++q) {
    for (;;) {
      unsigned char b;
      if (!wire.Peek8(0, &b)) return false;
      if (b == kQuestionPointer) {
        if (!wire.Skip(2)) return false;
        break;
      }
      if (b == 0) {
        wire.Skip(1);
        break;
      }
      if (!wire.Skip(b + 1u)) return false;
    }
    if (!wire.Skip(kQuestionFields)) return false;
  }
  return true;
}

// One line for every datagram that did not give a printer, saying why.
void TraceVerdict(const Arrival& arrival, Verdict verdict, const DeviceRecord& record, int bytes) {
  if (verdict == kAccepted || verdict == kRunFull) return;
  std::string from = AddressText(arrival.source);
  if (IsSenderVerdict(verdict) || verdict == kMalformed || verdict == kNotHostConfig)
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__, "dropped %d bytes from %s (TTL %d): %s",
               bytes, from.c_str(), arrival.ttl, VerdictText(verdict));
  else
    log_printf(LOG_DETAIL, __LINE__, kSource, __func__,
               "reply from %s (TTL %d) not used: %s (MAC \"%s\", IP \"%s\")", from.c_str(),
               arrival.ttl, VerdictText(verdict), log_escape(record.macAddress()).c_str(),
               log_escape(record.ipAddress()).c_str());
}

}  // namespace

void DeviceRecord::applyVendorBrand(std::string_view vendorBrand) {
  setBrand(vendorBrand);
  vendorBrand_.assign(vendorBrand.data(), vendorBrand.size());
  brandHints_.clear();
}

void DeviceRecord::applyBrandHint(std::string_view value, const std::string& readerBrand) {
  if (!vendorBrand_.empty()) return;
  brandHints_.append(value.data(), value.size()).push_back('\0');
  if (brand_.empty() && value.find(readerBrand) != std::string_view::npos) setBrand(readerBrand);
}

std::string DeviceRecord::brandFor(const std::string& readerBrand) const {
  if (!vendorBrand_.empty()) return vendorBrand_;
  return brandHints_.find(readerBrand) != std::string::npos ? readerBrand : std::string();
}

Discoverer::Discoverer() {
  std::string name;
  ReadProgramName(name);
  brand_ = BrandForProgramName(name).text;
}

Discoverer::Discoverer(const std::string& programName)
    : brand_(BrandForProgramName(programName).text) {}

int Discoverer::discover(const ReplyObserver& observer, const DiscoveryOptions& options) {
  log_printf(LOG_DETAIL, __LINE__, kSource, kDiscover, "begin");
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
    log_printf(LOG_INFO, __LINE__, kSource, kDiscover, "unable to locate devices with result=%d",
               result);
    return result;
  }
  WaitForReplies(connector, watch, buffer, observer, options);
  connector.CloseBroadcast();
  log_printf(LOG_DETAIL, __LINE__, kSource, kDiscover, "end");
  return result;
}

void Discoverer::WaitForReplies(Connector& connector, DescriptorWatch& watch, DataBuffer& buffer,
                                const ReplyObserver& observer, const DiscoveryOptions& options) {
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
    if (now >= deadline || (options.stop && options.stop())) break;
    int64_t until = deadline;
    if (repeated < repeats) {
      int64_t due = start + static_cast<int64_t>(kRepeatQueryAfter[repeated]) * 1000000;
      if (now >= due) {
        // The buffer holds the last reply by now: put the query back.
        buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
        log_printf(LOG_DETAIL, __LINE__, kSource, kDiscover, "query again after %d s: ret=%d",
                   kRepeatQueryAfter[repeated], connector.Resend(buffer));
        ++repeated;
        continue;
      }
      if (due < until) until = due;
    }
    int64_t left = until - now;
    if (options.stop) left = std::min<int64_t>(left, kStopPollMs * 1000);
    int ready = watch.Wait(static_cast<int>(left / 1000000), static_cast<int>(left % 1000000));
    if (ready < 0) break;
    if (ready == 0) continue;
    Arrival arrival;
    int received = connector.ReceiveReply(buffer, arrival);
    if (received > 0)
      more = TakeReply(buffer, arrival, connector.Links(), received, kept, observer);
  }
}

bool Discoverer::TakeReply(const DataBuffer& buffer, const Arrival& arrival, const HostLinks& links,
                           int received, size_t& kept, const ReplyObserver& observer) {
  // Every datagram is judged by one rule, in one place.
  DeviceRecord record;
  std::string address;
  ReplyKind kind = kMalformedReply;
  Verdict verdict;
  if (kept < kMaxRecordsPerRun) {
    verdict = Judge(buffer, arrival, links, record, address, kind);
  } else {
    // A flood must not grow the list (or an observer's) without end.
    verdict = links.JudgeSender(arrival);
    if (verdict == kAccepted) verdict = kRunFull;
  }
  bool keep = kind == kHostConfigReply && verdict != kOtherBrand;
  if (keep && ++kept == kMaxRecordsPerRun)
    log_printf(LOG_DETAIL, __LINE__, kSource, kDiscover,
               "%d records kept: further replies of this run are not read",
               static_cast<int>(kMaxRecordsPerRun));
  if (keep) deviceList_.push_back(record);
  TraceVerdict(arrival, verdict, record, received);
  return !observer || observer(Reply{buffer, arrival, links, verdict, kind, record, address});
}

Verdict Discoverer::Judge(const DataBuffer& datagram, const Arrival& arrival,
                          const HostLinks& links, DeviceRecord& record, std::string& address,
                          ReplyKind& kind) const {
  kind = kMalformedReply;
  Verdict verdict = links.JudgeSender(arrival);
  if (verdict != kAccepted) return verdict;
  kind = ReadReply(datagram, record);
  if (kind == kMalformedReply) return kMalformed;
  if (kind == kOtherMessage) return kNotHostConfig;
  return JudgeRecord(record, arrival, links, address);
}

Verdict Discoverer::JudgeRecord(const DeviceRecord& record, const Arrival& arrival,
                                const HostLinks& links, std::string& address) const {
  return JudgeAs(record.brand(), record, arrival, links, address);
}

Verdict Discoverer::Rejudge(const Reply& reply, std::string& address, std::string& brand) const {
  address.clear();
  brand.clear();
  if (reply.kind != kHostConfigReply) return reply.verdict;
  brand = reply.record.brandFor(brand_);
  return JudgeAs(brand, reply.record, reply.arrival, reply.links, address);
}

Verdict Discoverer::JudgeAs(const std::string& brand, const DeviceRecord& record,
                            const Arrival& arrival, const HostLinks& links,
                            std::string& address) const {
  // The brand test: the name for every brand admits every printer.
  if (brand_ != kEveryBrand.text && brand != brand_) return kOtherBrand;
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
  // many of its last additional records unread. As with the pointers, this
  // is the printers' format as met in the field.
  uint16_t records = static_cast<uint16_t>(answers + additional);

  wire.Skip(kHeaderSize);
  if (!SkipQuestions(wire, questions)) return kMalformedReply;
  if (records == 0) return kOtherMessage;

  // Only the first host-config TXT record counts: a printer describes itself
  // once, and whatever follows it is not read.
  while (records != 0) {
    std::string_view first, second;
    uint16_t taken = ReadName(begin, wire.End(), wire.Position(), &first, &second);
    const bool service = second == kServiceLabel;
    uint16_t type = 0, rdlength = 0;
    if (taken == 0 || !wire.Skip(taken) || wire.Left() < kRecordFields) return kMalformedReply;
    wire.Peek16(0, &type);
    wire.Peek16(kRdlengthAt, &rdlength);
    wire.Skip(kRecordFields);
    if (service && type == kTypeTXT) {
      // The strings may run past neither the record's data nor the
      // datagram; a string that would is not applied.
      ApplyTxtStrings(
          WireReader(wire.Position(), wire.Position() + std::min<size_t>(rdlength, wire.Left())),
          record);
      return kHostConfigReply;
    }
    if (!wire.Skip(rdlength)) return kMalformedReply;
    --records;
  }
  return kOtherMessage;
}

void Discoverer::ApplyTxtStrings(WireReader rdata, DeviceRecord& record) const {
  unsigned char length;
  while (rdata.Peek8(0, &length) && rdata.Left() >= 1u + length) {
    // The string's text ends at a zero byte; its first '=' splits key from
    // value.
    std::string_view text = LabelText(rdata.Position() + 1, length);
    const char* equals = static_cast<const char*>(memchr(text.data(), '=', text.size()));
    if (equals != nullptr)
      ApplyKeyValue(
          std::string_view(text.data(), static_cast<size_t>(equals - text.data())),
          std::string_view(equals + 1, static_cast<size_t>(text.data() + text.size() - equals - 1)),
          record);
    rdata.Skip(1u + length);
  }
}

void Discoverer::ParseAttribute(std::string_view attribute, DeviceRecord& record) const {
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
        record.applyBrandHint(id, brand_);
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
        record.applyVendorBrand(word);
      }
      break;
    case 8:
      if (Is(key, "MDNSNAME")) record.applyBrandHint(Unquoted(value), brand_);
      break;
  }
}
