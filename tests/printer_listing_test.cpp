// The scheme the application lists a printer under: the first brand of
// the table whose rule accepts the reply read once under the name for
// every printer, else the name for every printer. No network: each row's
// record is read from its attributes and judged on a link of its own.
#include "printer_listing.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <string>
#include <vector>

#include "data_buffer.h"
#include "device_uri.h"

namespace {

TEST(PrinterListingTest, SchemeForReplyTakesTheFirstBrandThatAccepts) {
  in_addr own, mask, printer;
  inet_pton(AF_INET, "10.0.0.1", &own);
  inet_pton(AF_INET, "255.255.255.0", &mask);
  inet_pton(AF_INET, "10.0.0.5", &printer);
  HostLinks links({{2, "eth0", IFF_UP | IFF_RUNNING | IFF_MULTICAST}}, {{2, "eth0", own, mask}},
                  {});
  links.MarkQueried(2);
  const Arrival arrival{printer, 2, 64};
  const std::vector<std::string> base = {"IPADDRESS=10.0.0.5", "MACUAA=0123456789AB"};
  const struct {
    std::vector<std::string> attributes;
    const char* scheme;
    const char* brand;
  } rows[] = {
      {{"PRINTERVIDPID=2E970001"}, "tamo", "Tamo"},
      {{"MDNSNAME=SOLENA-7"}, "solena", "SOLENA"},
      {{"1284STRID=\"MFG:ZALOR;MDL:Z1;\""}, "zalor", "ZALOR"},
      {{"MDNSNAME=Orbec-2"}, "orbec", "Orbec"},
      {{"1284STRID=\"MFG:ZALOR;MDL:Tamo;\""}, "tamo", "Tamo"},  // the table's order decides
      {{"PRINTERVIDPID=5A210001", "MDNSNAME=Tamo-1"}, kAnyBrandScheme, ""},  // the vendor stands
      {{"1284STRID=\"MFG:Acme;\""}, kAnyBrandScheme, ""},
      {{"PRINTERVIDPID=2E970001", "MACUAA="}, kAnyBrandScheme, ""},  // no MAC: no brand lists it
  };
  const Discoverer all(kAnyBrandScheme);
  const DataBuffer datagram(1);
  for (const auto& row : rows) {
    DeviceRecord record;
    std::vector<std::string> attributes = base;
    attributes.insert(attributes.end(), row.attributes.begin(), row.attributes.end());
    for (const std::string& a : attributes) all.ParseAttribute(a, record);
    std::string address, brand = "stale";
    Verdict verdict = all.JudgeRecord(record, arrival, links, address);
    std::string scheme = SchemeForReply(
        Reply{datagram, arrival, links, verdict, kHostConfigReply, record, address}, brand);
    EXPECT_EQ(row.scheme, scheme) << row.attributes.back();
    EXPECT_EQ(row.brand, brand) << row.attributes.back();
  }
}

}  // namespace
