#include "printer_listing.h"

#include <memory>
#include <set>
#include <vector>

#include "device_id.h"
#include "device_uri.h"
#include "printer_link.h"

namespace {

// PAPPL keeps a device ID in buffers of 1 KiB and more; an ID past that is
// not one a printer sends.
const size_t kMaxDeviceIdBytes = 1023;
const size_t kMaxInfoBytes = 255;

// Whether the brand of `scheme` accepts the printer of `reply`, read once
// under the name for every printer; `brand` receives the brand text it
// reads.
bool Accepts(const char* scheme, const Reply& reply, std::string& brand) {
  std::string address;
  return Discoverer(scheme).Rejudge(reply, address, brand) == kAccepted;
}

std::string Info(const DeviceRecord& record, const std::string& brand) {
  std::string model = MakeAndModel(record.deviceId());
  if (model.empty()) model = (brand.empty() ? std::string("Network") : brand) + " Printer";
  return PrintableText(model, kMaxInfoBytes) + " (" + record.macAddress() + ")";
}

}  // namespace

std::string SchemeForReply(const Reply& reply, std::string& brand) {
  for (const char* scheme : kBrandSchemes)
    if (Accepts(scheme, reply, brand)) return scheme;
  brand.clear();
  return kAnyBrandScheme;
}

int ListPrinters(const ListedPrinterCallback& found, AddressBook* book, int seconds) {
  Discoverer all(kAnyBrandScheme);
  DiscoveryOptions options;
  options.seconds = seconds;
  std::set<std::string> seen;
  return all.discover(
      [&](const Reply& reply) {
        if (reply.verdict != kAccepted) return true;
        const std::string& mac = reply.record.macAddress();
        // The first accepted reply for a printer gives its entry, as the
        // first gives a job's address.
        if (!seen.insert(mac).second) return true;
        std::string brand;
        std::string scheme = SchemeForReply(reply, brand);
        if (book != nullptr) {
          book->Remember(MakeDeviceUri(kAnyBrandScheme, mac), reply.address);
          for (const char* other : kBrandSchemes) {
            std::string ignored;
            if (other == scheme || Accepts(other, reply, ignored))
              book->Remember(MakeDeviceUri(other, mac), reply.address);
          }
        }
        ListedPrinter printer;
        printer.uri = MakeDeviceUri(scheme, mac);
        printer.info = Info(reply.record, brand);
        printer.deviceId = PrintableText(reply.record.deviceId(), kMaxDeviceIdBytes);
        return found(printer);
      },
      options);
}
