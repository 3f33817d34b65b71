#include "kvt.h"

#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

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
    0x0C, '_', 'h', 'o', 's', 't', '-', 'c', 'o', 'n', 'f', 'i', 'g',
    0x04, '_', 'u', 'd', 'p',
    0x05, 'l', 'o', 'c', 'a', 'l',
    0x00,
    0x00, 0x0C,  // QTYPE PTR
    0x80, 0x01,  // QCLASS IN, unicast response wanted
};

namespace {

const char kSource[] = "src/kvt";
const int kBufferSize = 4096;

// When a job's query goes out again, in seconds after the first: a printer
// that lost the query or was asleep gets three more chances, and none comes
// within a second of the last (some responders ignore a repeat that soon).
const int kRepeatAfter[] = {1, 3, 7};

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
    {'t', "Tamo"}, {'g', "Printer"}, {'s', "SOLENA"}, {'z', "ZALOR"},
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

uint16_t Read16(const unsigned char* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

bool IsPointerLead(unsigned char b) { return b == 0xC0 || b == 0xC1 || b == 0xC4; }

void KeepLabel(int index, const unsigned char* label, int length,
               std::string& first, std::string& second) {
  if (index > 1) return;
  const void* zero = memchr(label, 0, static_cast<size_t>(length));
  size_t n = zero ? static_cast<size_t>(static_cast<const unsigned char*>(zero) - label)
                  : static_cast<size_t>(length);
  (index == 0 ? first : second).append(reinterpret_cast<const char*>(label), n);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// One byte of a "MACUAA" value read at `pos` as sscanf's "%2x" reads it:
// leading white space skipped, a sign or "0x" allowed, up to two digits.
unsigned char MacByte(const std::string& value, size_t pos) {
  if (pos >= value.size()) return 0;
  int high = HexValue(value[pos]);
  int low = pos + 1 < value.size() ? HexValue(value[pos + 1]) : -1;
  if (high >= 0 && low >= 0) return static_cast<unsigned char>(high * 16 + low);
  unsigned int number = 0;
  if (sscanf(value.c_str() + pos, "%2x", &number) != 1) return 0;
  return static_cast<unsigned char>(number & 0xFF);
}

// Length first: comparing a string with a literal through operator== costs a
// strlen and a memcmp for every key of the table.
template <size_t N>
bool Is(const std::string& s, const char (&literal)[N]) {
  return s.size() == N - 1 && memcmp(s.data(), literal, N - 1) == 0;
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
  char link[80];
  char target[1024];
  memset(link, 0, sizeof(link));
  memset(target, 0, sizeof(target));
  snprintf(link, sizeof(link), "/proc/%i/exe", static_cast<int>(getpid()));
  ssize_t n = readlink(link, target, sizeof(target) - 1);
  target[n > 0 ? n : 0] = '\0';
  const char* slash = strrchr(target, '/');
  brand_ = BrandForProgramName(slash != nullptr ? slash + 1 : target);
}

Discoverer::Discoverer(const std::string& programName)
    : brand_(BrandForProgramName(programName)) {}

int Discoverer::discover(const DeviceObserver& observer, const DiscoveryOptions& options) {
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
  if (result <= 0) {
    log_printf('I', __LINE__, kSource, __func__,
               "unable to locate devices with result=%d", result);
    return result;
  }

  // One deadline for the whole run, fixed when the waiting starts: every
  // wait gets what is left of it, and the time spent on replies counts too,
  // so neither a printer answering every second nor a flood of costly
  // datagrams can keep the run alive.
  const int64_t start = NowMicroseconds();
  const int64_t deadline = start + static_cast<int64_t>(options.seconds) * 1000000;
  size_t repeats = options.repeatQuery ? sizeof(kRepeatAfter) / sizeof(kRepeatAfter[0]) : 0;
  size_t repeated = 0;
  size_t kept = 0;
  bool more = true;
  while (more) {
    int64_t now = NowMicroseconds();
    if (now >= deadline) break;
    int64_t until = deadline;
    if (repeated < repeats) {
      int64_t due = start + static_cast<int64_t>(kRepeatAfter[repeated]) * 1000000;
      if (now >= due) {
        // The buffer holds the last reply by now: put the query back.
        buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
        log_printf('F', __LINE__, kSource, __func__, "query again after %d s: ret=%d",
                   kRepeatAfter[repeated], connector.Resend(buffer));
        ++repeated;
        continue;
      }
      if (due < until) until = due;
    }
    int64_t left = until - now;
    int ready = watch.Wait(static_cast<int>(left / 1000000), static_cast<int>(left % 1000000));
    if (ready < 0) break;
    if (ready == 0) continue;
    if (connector.ReceiveReply(buffer) <= 0) continue;
    DeviceRecord record;
    if (!ParseReply(buffer, record) || !(brand_ == kAllBrands || record.brand() == brand_))
      continue;
    if (kept == kMaxRecordsPerRun) {
      log_printf('F', __LINE__, kSource, __func__,
                 "%d records kept: further replies of this run are ignored",
                 static_cast<int>(kMaxRecordsPerRun));
      ++kept;
    }
    if (kept > kMaxRecordsPerRun) continue;
    ++kept;
    deviceList_.push_back(record);
    if (observer) more = observer(deviceList_.back());
  }
  connector.CloseBroadcast();
  log_printf('F', __LINE__, kSource, __func__, "end");
  return result;
}

bool Discoverer::ParseReply(const DataBuffer& reply, DeviceRecord& record) const {
  if (reply.Length() <= 12) return false;
  const size_t n = static_cast<size_t>(reply.Length());
  const unsigned char* begin = reply.Data();
  const unsigned char* end = begin + n;
  if ((begin[2] & 0x80) == 0) return false;

  uint16_t questions = Read16(begin + 4);
  uint16_t records = static_cast<uint16_t>(Read16(begin + 6) + Read16(begin + 10));

  // Questions are passed over without being read; only 0xC0 ends a name
  // there as a pointer. Positions are offsets so that a count or length
  // leading past the datagram is caught before anything is read there.
  size_t pos = 12;
  for (uint16_t q = 0; q < questions; ++q) {
    for (;;) {
      if (pos >= n) return false;
      if (begin[pos] == 0xC0) {
        pos += 2;
        break;
      }
      if (begin[pos] == 0) {
        pos += 1;
        break;
      }
      pos += begin[pos] + 1u;
    }
    pos += 4;
  }
  if (records == 0) return false;

  // Only the first host-config TXT record counts: a printer describes itself
  // once, and whatever follows it is not read.
  while (records != 0) {
    if (pos >= n) return false;
    std::string first, second;
    uint16_t taken = ReadName(begin, end, begin + pos, first, second);
    if (taken == 0) return false;
    pos += taken;
    if (pos > n || n - pos < 10) return false;
    size_t rdlength = Read16(begin + pos + 8);
    if (Is(second, kServiceLabel) && Read16(begin + pos) == kTypeTXT) {
      pos += 10;
      // The strings may run past neither the record's data nor the
      // datagram; a string that would is not applied.
      const size_t rdataEnd = n - pos < rdlength ? n : pos + rdlength;
      while (pos < rdataEnd && rdataEnd - pos >= 1u + begin[pos]) {
        uint16_t length = 0;
        std::string attribute = ReadTextString(begin + pos, length);
        ParseAttribute(attribute, record);
        pos += length + 1u;
      }
      return true;
    }
    if (n - pos < 10 + rdlength) return false;
    pos += 10 + rdlength;
    --records;
  }
  return false;
}

uint16_t Discoverer::ReadName(const unsigned char* begin, const unsigned char* end,
                              const unsigned char* pos, std::string& first,
                              std::string& second) {
  if (pos >= end) return 0;
  if (*pos == 0) return 1;
  unsigned count = 0;
  bool pointerMet = false;
  int labels = 0;
  unsigned octets = 0;
  const unsigned char* p = pos;
  for (;;) {
    unsigned char b = *p;
    const unsigned char* label;
    if (IsPointerLead(b)) {
      if (end - p < 2) return 0;
      unsigned offset = ((static_cast<unsigned>(b) << 8) | p[1]) & 0x3FFF;
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
      if (offset >= static_cast<unsigned>(end - begin)) return 0;
      label = begin + offset;
    } else {
      label = p;
      if (!pointerMet) count += b + 1;
    }
    int length = *label;
    if (end - label < length + 2) return 0;  // the label and the byte after it
    octets += length + 1u;
    if (octets + 1 > kMaxNameOctets) return 0;
    KeepLabel(labels++, label + 1, length, first, second);
    p = label + 1 + length;
    if (pointerMet && labels >= 2) return static_cast<uint16_t>(count);
    if (*p == 0) {
      if (!pointerMet) count += 1;
      return static_cast<uint16_t>(count);
    }
  }
}

std::string Discoverer::ReadTextString(const unsigned char* pos, uint16_t& length) {
  length = *pos;
  const char* text = reinterpret_cast<const char*>(pos + 1);
  const void* zero = memchr(text, 0, length);
  return std::string(text, zero ? static_cast<const char*>(zero) - text : length);
}

void Discoverer::StripQuotes(std::string& value) {
  size_t first = value.find('"');
  if (first == std::string::npos) return;
  size_t last = value.rfind('"');
  if (last != first)
    value = value.substr(first + 1, last - first - 1);
  else
    value.erase(0, first + 1);
}

unsigned char Discoverer::ReverseBits(unsigned char byte) {
  unsigned char result = 0;
  for (int k = 0; k < 8; ++k)
    if (byte & (1u << k)) result = static_cast<unsigned char>(result | (0x80u >> k));
  return result;
}

uint32_t Discoverer::ParseHex(const std::string& text) {
  uint32_t result = 0;
  size_t size = text.size();
  for (size_t i = 0; i < size; ++i) {
    int value = HexValue(text[size - 1 - i]);
    if (value > 0) result |= static_cast<uint32_t>(value) << (4 * (i % 8));
  }
  return result;
}

void Discoverer::MatchBrand(const std::string& key, const std::string& value,
                            DeviceRecord& record) const {
  if (!Is(key, "1284STRID") && !Is(key, "MDNSNAME")) return;
  if (!record.brand().empty()) return;
  if (value.find(brand_) != std::string::npos) record.setBrand(brand_);
}

void Discoverer::ParseAttribute(const std::string& attribute, DeviceRecord& record) const {
  size_t equals = attribute.find('=');
  if (equals == std::string::npos) return;
  const std::string key = attribute.substr(0, equals);
  std::string value = attribute.substr(equals + 1);

  // Only these five keys matter; the others a printer sends (IPNETMASK,
  // IPGATEWAY, IPNAME, MACLAA, IPADDRSOURCE, PASSWORDSET, ADAPTERNAME,
  // CPDATTACHED) and any unknown key change nothing. Keys are compared whole
  // and case-sensitively.
  if (Is(key, "IPADDRESS")) {
    StripQuotes(value);
    record.setIpAddress(value);
  } else if (Is(key, "MACUAA")) {
    StripQuotes(value);
    // The printer writes its address with the bits of each byte reversed.
    static const char kHex[] = "0123456789ABCDEF";
    char mac[12];
    for (int i = 0; i < 6; ++i) {
      unsigned char b = ReverseBits(MacByte(value, 2 * static_cast<size_t>(i)));
      mac[2 * i] = kHex[b >> 4];
      mac[2 * i + 1] = kHex[b & 0x0F];
    }
    record.setMacAddress(std::string(mac, 12));
  } else if (Is(key, "1284STRID")) {
    // The device ID starts at its opening quote; a value without any quote
    // is taken whole rather than dropped.
    size_t quote = value.find('"');
    if (quote != std::string::npos) value.erase(0, quote);
    StripQuotes(value);
    record.setDeviceId(value);
    MatchBrand(key, value, record);
  } else if (Is(key, "PRINTERVIDPID")) {
    StripQuotes(value);
    uint32_t vendor = ParseHex(value) >> 16;
    std::string word;
    for (size_t i = 0; i < sizeof(kVendors) / sizeof(kVendors[0]); ++i)
      if (kVendors[i].vendorId == vendor) word = kVendors[i].brand;
    record.setBrand(word);
  } else if (Is(key, "MDNSNAME")) {
    StripQuotes(value);
    MatchBrand(key, value, record);
  }
}
