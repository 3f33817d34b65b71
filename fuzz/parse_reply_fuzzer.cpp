// Each input is one received datagram, parsed under every brand text. The
// datagram sits in a DataBuffer exactly as large as it is, as a reply does
// after ReceiveReply, so that a read past its end is a heap overflow.
//
// Beyond "no crash, no out-of-bounds read", the checks hold for any bytes:
// the brand text decides only the brand, a rejected reply leaves the record
// as it was, the MAC address is always 12 upper-case hex digits, and the
// parser does not write to the datagram.

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "data_buffer.h"
#include "fuzz_check.h"
#include "kvt.h"

namespace {

const int kBrands = sizeof(kPrograms) / sizeof(kPrograms[0]);

bool IsMacAddress(const std::string& s) {
  if (s.size() != 12) return false;
  for (char c : s)
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  return true;
}

bool IsBrandOf(const std::string& brand, const Discoverer& discoverer) {
  return brand.empty() || brand == "Korvane" || brand == "Tamo" || brand == discoverer.brand();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Received datagrams are at most 4096 bytes; larger inputs are still
  // datagrams of the parser's kind and cost nothing more to try, up to the
  // range of the buffer's int length.
  if (size > (1u << 20)) return 0;
  static const Discoverer discoverers[] = {Discoverer(kPrograms[0]), Discoverer(kPrograms[1]),
                                           Discoverer(kPrograms[2]), Discoverer(kPrograms[3]),
                                           Discoverer(kPrograms[4])};

  const int n = static_cast<int>(size);
  DataBuffer buffer(n);
  buffer.Assign(data, n);

  DeviceRecord records[kBrands];
  bool parsed[kBrands];
  for (int i = 0; i < kBrands; ++i) parsed[i] = discoverers[i].ParseReply(buffer, records[i]);

  for (int i = 0; i < kBrands; ++i) {
    const DeviceRecord& r = records[i];
    // The walk does not depend on the brand text, nor do the fields other
    // than the brand.
    FUZZ_CHECK(parsed[i] == parsed[0]);
    FUZZ_CHECK(r.macAddress() == records[0].macAddress());
    FUZZ_CHECK(r.ipAddress() == records[0].ipAddress());
    FUZZ_CHECK(r.deviceId() == records[0].deviceId());
    FUZZ_CHECK(r.macAddress().empty() || IsMacAddress(r.macAddress()));
    FUZZ_CHECK(IsBrandOf(r.brand(), discoverers[i]));
    if (!parsed[i]) {
      FUZZ_CHECK(r.macAddress().empty() && r.ipAddress().empty() && r.deviceId().empty() &&
                 r.brand().empty());
    }
  }

  // A rejected reply leaves even a filled record as it was.
  DeviceRecord filled;
  filled.setMacAddress("mac");
  filled.setIpAddress("ip");
  filled.setDeviceId("id");
  filled.setBrand("brand");
  if (!discoverers[1].ParseReply(buffer, filled)) {
    FUZZ_CHECK(filled.macAddress() == "mac" && filled.ipAddress() == "ip" &&
               filled.deviceId() == "id" && filled.brand() == "brand");
  }

  FUZZ_CHECK(buffer.Length() == n);
  FUZZ_CHECK(size == 0 || memcmp(buffer.Data(), data, size) == 0);
  return 0;
}
