// The printer application's reading of 1284 device IDs and device URIs:
// the driver a printer gets, the text PAPPL is given, the URIs it lists and opens.
#include "device_id.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include "data_buffer.h"
#include "device_uri.h"
#include "printer_listing.h"

TEST(DeviceId, LanguageAndDriverFromCommandSet) {
  struct Row {
    const char* id;
    PageLanguage language;
    const char* driver;
    bool pjl;
    const char* why;
  } rows[] = {
      {"MFG:Tamo;CMD:PJL,PCL,PCLXL;MDL:T;", kLanguagePcl, "pcl", true, "PCL before PCL XL"},
      {"MFG:T;CMD:POSTSCRIPT,PCLXL;", kLanguagePclXl, "pclxl", false, "PCL XL before PostScript"},
      {"COMMAND SET: pjl , postscript ;", kLanguagePostScript, "postscript", true,
       "long key, blanks, case"},
      {"cmd:pcl5e;", kLanguagePcl, "pcl", false, "a PCL 5 name, lower-case key"},
      {"MFG:T;CMD:ESCPL2,URF;", kLanguageNone, "raster", false, "no language we pass through"},
      {"MFG:T;MDL:PJL;", kLanguageNone, "raster", false, "no command set"},
      {"MFG:T;XCMD:PJL;CMD:PS;", kLanguagePostScript, "postscript", false,
       "a key that only ends in CMD"},
      {"CMD:PCLX,PJLX;", kLanguageNone, "raster", false, "a longer name is another language"},
      {"", kLanguageNone, "raster", false, "empty ID"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(SpeaksPjl(row.id), row.pjl) << row.why;
    EXPECT_EQ(LanguageFromDeviceId(row.id), row.language) << row.why;
    EXPECT_STREQ(DriverForLanguage(LanguageFromDeviceId(row.id)).name, row.driver) << row.why;
  }
  // Every driver is found again by the name the state file keeps.
  for (const DriverInfo& driver : kDrivers) EXPECT_EQ(DriverByName(driver.name), &driver);
  EXPECT_EQ(DriverByName("auto"), nullptr);
}

TEST(DeviceId, MakeAndModel) {
  struct Row {
    const char* id;
    const char* expected;
  } rows[] = {
      {"MFG:Tamo;MDL:T-100;", "Tamo T-100"},
      {"MANUFACTURER:Acme;MODEL:Acme Office 9;", "Acme Office 9"},
      {"MFG:Acme;", ""},
      {"MDL: Solo ;", "Solo"},
  };
  for (const Row& row : rows) EXPECT_EQ(MakeAndModel(row.id), row.expected) << row.id;
}

TEST(DeviceId, PrintableText) {
  struct Row {
    std::string text;
    size_t max;
    std::string expected;
    const char* why;
  } rows[] = {
      {"MFG:A;\nMDL:B\r;", 100, "MFG:A; MDL:B ;", "no line of the state file can be forged"},
      {"a\x7F\xC2\x85z", 100, "a  z", "DEL and a C1 control"},
      {"caf\xC3\xA9", 100, "caf\xC3\xA9", "UTF-8 kept"},
      {"\xFF\xC3(", 100,
       "?"
       "?(",
       "bytes that are not UTF-8"},
      {"caf\xC3\xA9", 4, "caf?", "a cut through a character"},
      {"abcdef", 3, "abc", "the bound"},
  };
  for (const Row& row : rows) EXPECT_EQ(PrintableText(row.text, row.max), row.expected) << row.why;
}

TEST(DeviceUri, ParsesOnlyOurSchemesAndWholeMacs) {
  struct Row {
    const char* uri;
    bool ok;
    const char* scheme;
    const char* mac;
  } rows[] = {
      {"tamo://80C4A2E691D5", true, "tamo", "80C4A2E691D5"},
      {"gprinter://03FF77000040", true, "gprinter", "03FF77000040"},
      {"orbec://AABBCCDDEEFF", true, "orbec", "AABBCCDDEEFF"},
      {"tamo://80c4a2e691d5", false, "", ""},    // the listing writes upper case
      {"tamo://80C4A2E691D", false, "", ""},     // short
      {"tamo://80C4A2E691D5/x", false, "", ""},  // a path
      {"tamo://10.0.0.1", false, "", ""},        // an address is not a printer of ours
      {"socket://80C4A2E691D5", false, "", ""},  // PAPPL's scheme
      {"tamo:80C4A2E691D5", false, "", ""},
  };
  for (const Row& row : rows) {
    std::string scheme, mac;
    EXPECT_EQ(ParseDeviceUri(row.uri, scheme, mac), row.ok) << row.uri;
    EXPECT_EQ(scheme, row.scheme) << row.uri;
    EXPECT_EQ(mac, row.mac) << row.uri;
    if (row.ok) {
      EXPECT_EQ(MakeDeviceUri(scheme, mac), row.uri);
    }
  }
}

// A printer's scheme: the first brand that accepts its reply, else every brand's.
TEST(PrinterListingTest, SchemeForReplyTakesTheFirstBrandThatAccepts) {
  const in_addr own{inet_addr("10.0.0.1")}, mask{inet_addr("255.255.255.0")};
  const in_addr printer{inet_addr("10.0.0.5")};
  HostLinks links({{2, "eth0", IFF_UP | IFF_RUNNING | IFF_MULTICAST}}, {{2, "eth0", own, mask}},
                  {});
  links.MarkQueried(2);
  const Arrival arrival{printer, 2, 64};
  const struct {
    std::vector<std::string> attributes;  // beside IPADDRESS and MACUAA
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
    all.ParseAttribute("IPADDRESS=10.0.0.5", record);
    all.ParseAttribute("MACUAA=0123456789AB", record);
    for (const std::string& a : row.attributes) all.ParseAttribute(a, record);
    std::string address, brand = "stale";
    Verdict verdict = all.JudgeRecord(record, arrival, links, address);
    Reply reply{datagram, arrival, links, verdict, kHostConfigReply, record, address};
    EXPECT_EQ(row.scheme, SchemeForReply(reply, brand)) << row.attributes.back();
    EXPECT_EQ(row.brand, brand) << row.attributes.back();
  }
}
