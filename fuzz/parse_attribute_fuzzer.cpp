// Each input is the text of one TXT character-string, applied with
// ParseAttribute under every brand text. The checks are what any attribute
// must leave behind: only the fields of its own key change, the MAC address
// is 12 upper-case hex digits, the brand is a vendor word or the brand text,
// applying an attribute twice is the same as once, the MAC address, the
// vendor and the quotes agree with independent readings of the same text,
// and the attribute read from a printer's reply (built by
// tests/support/dns_message.h) fills the record as ParseAttribute does.

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

// The text between the first and the last double quote, or after the only
// one; the whole text without any.
std::string Unquoted(const std::string& text) {
  const size_t first = text.find('"');
  const size_t last = text.rfind('"');
  if (first == std::string::npos) return text;
  if (first == last) return text.substr(first + 1);
  return text.substr(first + 1, last - first - 1);
}

// The vendor ID of a PRINTERVIDPID value: its hex digits read from the end,
// the i-th shifted by 4 * (i mod 8) and ORed in, others counting 0; then the
// upper 16 bits. Up to eight digits this is strtoul's number.
uint32_t VendorOf(const std::string& value) {
  uint32_t number = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    const char c = value[value.size() - 1 - i];
    if (IsHexDigit(c))
      number |= static_cast<uint32_t>(strtoul(std::string(1, c).c_str(), nullptr, 16))
                << (4 * (i % 8));
  }
  bool allHex = !value.empty() && value.size() <= 8;
  for (char c : value) allHex = allHex && IsHexDigit(c);
  if (allHex) FUZZ_CHECK(number == strtoul(value.c_str(), nullptr, 16));
  return number >> 16;
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
  const std::string unquoted = Unquoted(value);

  if (key == "IPADDRESS") {
    FUZZ_CHECK(record.ipAddress() == unquoted);
    FUZZ_CHECK(record.macAddress().empty() && record.deviceId().empty() && record.brand().empty());
  } else if (key == "MACUAA") {
    // Six zero bytes (a value without digits among them) are no address.
    FUZZ_CHECK(record.macAddress() != "000000000000");
    FUZZ_CHECK(record.ipAddress().empty() && record.deviceId().empty() && record.brand().empty());
    bool twelve = unquoted.size() >= 12;
    for (size_t i = 0; twelve && i < 12; ++i) twelve = IsHexDigit(unquoted[i]);
    if (twelve) {
      const std::string mac = ExpectedMac(unquoted);
      FUZZ_CHECK(record.macAddress() == (mac == "000000000000" ? std::string() : mac));
    }
  } else if (key == "1284STRID") {
    FUZZ_CHECK(value.find(record.deviceId()) != std::string::npos);
    FUZZ_CHECK(record.macAddress().empty() && record.ipAddress().empty());
    const bool named = record.deviceId().find(brandText) != std::string::npos;
    FUZZ_CHECK(record.brand() == (named ? brandText : std::string()));
  } else if (key == "PRINTERVIDPID") {
    FUZZ_CHECK(record.macAddress().empty() && record.ipAddress().empty() &&
               record.deviceId().empty());
    const uint32_t vendor = VendorOf(unquoted);
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
