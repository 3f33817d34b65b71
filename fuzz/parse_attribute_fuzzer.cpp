// Each input is the text of one TXT character-string, applied with
// ParseAttribute under every brand text. The checks are what any attribute
// must leave behind: only the fields of its own key change, the MAC address
// is 12 upper-case hex digits, the brand is a vendor word or the brand text,
// applying an attribute twice is the same as once, the small helpers agree
// with independent readings of the same text, and the attribute read from a
// printer's reply (built by tests/support/dns_message.h) fills the record as
// ParseAttribute does.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "data_buffer.h"
#include "dns_message.h"
#include "fuzz_check.h"
#include "kvt.h"

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool IsMacAddress(const std::string& s) {
  if (s.size() != 12) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

bool Same(const DeviceRecord& a, const DeviceRecord& b) {
  return a.macAddress() == b.macAddress() && a.ipAddress() == b.ipAddress() &&
         a.deviceId() == b.deviceId() && a.brand() == b.brand();
}

// The MAC address that 12 leading hex digits give, read pair by pair with
// strtoul and each byte mirrored bit by bit.
std::string ExpectedMac(const std::string& digits) {
  std::string mac;
  for (int i = 0; i < 6; ++i) {
    unsigned long byte = strtoul(digits.substr(2 * i, 2).c_str(), nullptr, 16);
    unsigned mirrored = 0;
    for (int k = 0; k < 8; ++k)
      if (byte & (1ul << k)) mirrored |= 0x80u >> k;
    char hex[3];
    snprintf(hex, sizeof(hex), "%02X", mirrored);
    mac += hex;
  }
  return mac;
}

void CheckHelpers(const std::string& text) {
  for (unsigned char c : text) FUZZ_CHECK(Discoverer::ReverseBits(Discoverer::ReverseBits(c)) == c);

  // Up to eight hex digits read as the usual hexadecimal number.
  bool allHex = !text.empty() && text.size() <= 8;
  for (char c : text) allHex = allHex && IsHexDigit(c);
  if (allHex) FUZZ_CHECK(Discoverer::ParseHex(text) == strtoul(text.c_str(), nullptr, 16));

  std::string stripped = text;
  Discoverer::StripQuotes(stripped);
  const size_t first = text.find('"');
  const size_t last = text.rfind('"');
  if (first == std::string::npos)
    FUZZ_CHECK(stripped == text);
  else if (first == last)
    FUZZ_CHECK(stripped == text.substr(first + 1));
  else
    FUZZ_CHECK(stripped.size() == last - first - 1 &&
               text.compare(first + 1, stripped.size(), stripped) == 0);
}

void CheckAttribute(const Discoverer& discoverer, const std::string& attribute) {
  DeviceRecord record;
  discoverer.ParseAttribute(attribute, record);
  const std::string& brandText = discoverer.brand();

  FUZZ_CHECK(record.macAddress().empty() || IsMacAddress(record.macAddress()));
  FUZZ_CHECK(record.brand().empty() || record.brand() == "Korvane" || record.brand() == "Tamo" ||
             record.brand() == brandText);

  const size_t equals = attribute.find('=');
  const bool hasEquals = equals != std::string::npos;
  const std::string key = hasEquals ? attribute.substr(0, equals) : std::string();
  const std::string value = hasEquals ? attribute.substr(equals + 1) : std::string();
  std::string unquoted = value;
  Discoverer::StripQuotes(unquoted);

  if (key == "IPADDRESS") {
    FUZZ_CHECK(record.ipAddress() == unquoted);
    FUZZ_CHECK(record.macAddress().empty() && record.deviceId().empty() && record.brand().empty());
  } else if (key == "MACUAA") {
    FUZZ_CHECK(IsMacAddress(record.macAddress()));
    FUZZ_CHECK(record.ipAddress().empty() && record.deviceId().empty() && record.brand().empty());
    bool twelve = unquoted.size() >= 12;
    for (size_t i = 0; twelve && i < 12; ++i) twelve = IsHexDigit(unquoted[i]);
    if (twelve) FUZZ_CHECK(record.macAddress() == ExpectedMac(unquoted));
  } else if (key == "1284STRID") {
    FUZZ_CHECK(value.find(record.deviceId()) != std::string::npos);
    FUZZ_CHECK(record.macAddress().empty() && record.ipAddress().empty());
    const bool named = record.deviceId().find(brandText) != std::string::npos;
    FUZZ_CHECK(record.brand() == (named ? brandText : std::string()));
  } else if (key == "PRINTERVIDPID") {
    FUZZ_CHECK(record.macAddress().empty() && record.ipAddress().empty() &&
               record.deviceId().empty());
    const uint32_t vendor = Discoverer::ParseHex(unquoted) >> 16;
    const char* word = vendor == 0x5A21 ? "Korvane" : vendor == 0x2E97 ? "Tamo" : "";
    FUZZ_CHECK(record.brand() == word);
  } else if (key == "MDNSNAME") {
    FUZZ_CHECK(record.macAddress().empty() && record.ipAddress().empty() &&
               record.deviceId().empty());
    const bool named = unquoted.find(brandText) != std::string::npos;
    FUZZ_CHECK(record.brand() == (named ? brandText : std::string()));
  } else {
    // No "=", an ignored key or an unknown one.
    FUZZ_CHECK(Same(record, DeviceRecord()));
  }

  // Applying it again changes nothing.
  DeviceRecord twice(record);
  discoverer.ParseAttribute(attribute, twice);
  FUZZ_CHECK(Same(twice, record));

  // A brand already set is replaced only by "PRINTERVIDPID".
  DeviceRecord branded;
  branded.setBrand("Korvane");
  discoverer.ParseAttribute(attribute, branded);
  if (key != "PRINTERVIDPID") FUZZ_CHECK(branded.brand() == "Korvane");
}

// `text`, the one string of the TXT record in `reply`, read by the reply
// parser: the record ParseAttribute gives for its text up to a zero byte,
// where a character-string's text ends.
void CheckInReply(const Discoverer& discoverer, const DataBuffer& reply, const std::string& text) {
  DeviceRecord fromReply, direct;
  FUZZ_CHECK(discoverer.ParseReply(reply, fromReply));
  discoverer.ParseAttribute(text.substr(0, text.find('\0')), direct);
  FUZZ_CHECK(Same(fromReply, direct));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Discoverer discoverers[] = {Discoverer(kPrograms[0]), Discoverer(kPrograms[1]),
                                           Discoverer(kPrograms[2]), Discoverer(kPrograms[3]),
                                           Discoverer(kPrograms[4])};
  const std::string attribute(reinterpret_cast<const char*>(data), size);
  CheckHelpers(attribute);
  const std::string text = attribute.substr(0, 255);  // what a character-string holds
  const std::vector<unsigned char> bytes = PrinterReply({text}).bytes();
  DataBuffer reply(static_cast<int>(bytes.size()));
  reply.Assign(bytes.data(), static_cast<int>(bytes.size()));
  for (const Discoverer& discoverer : discoverers) {
    CheckAttribute(discoverer, attribute);
    CheckInReply(discoverer, reply, text);
  }
  return 0;
}
