// The rules added to PAPPL's request handling, as tables.
#include "request_rules.h"

#include <gtest/gtest.h>

TEST(RequestRules, OperationsThatChangeTheQueueNeedAnAdministrator) {
  EXPECT_TRUE(NeedsAdministrator(0x0022));   // Enable-Printer
  EXPECT_TRUE(NeedsAdministrator(0x0023));   // Disable-Printer
  EXPECT_TRUE(NeedsAdministrator(0x002D));   // Cancel-Current-Job
  EXPECT_FALSE(NeedsAdministrator(0x0002));  // Print-Job
  EXPECT_FALSE(NeedsAdministrator(0x0008));  // Cancel-Job: its owner's
}

TEST(RequestRules, FormatsCompareWithoutCase) {
  EXPECT_EQ(LowerCaseFormat("application/vnd.hp-PCL"), "application/vnd.hp-pcl");
  std::vector<std::string> listed = {"application/pdf", "application/vnd.hp-pcl"};
  EXPECT_TRUE(IsListedFormat("application/vnd.hp-PCL", listed));
  EXPECT_TRUE(IsListedFormat("Application/PDF", listed));
  EXPECT_FALSE(IsListedFormat("text/html", listed));
  EXPECT_FALSE(IsListedFormat("application/pdfx", listed));
}

TEST(RequestRules, ADocumentThatStopsArrivingEndedShort) {
  struct Row {
    ssize_t result;
    int error;
    bool timedOut;
    bool announced;
    long long remaining;
    bool shortEnd;
    const char* why;
  } rows[] = {
      {0, 0, false, true, 0, false, "the announced end"},
      {4096, 0, false, true, 100, false, "bytes came"},
      {-1, 32, false, true, 100, false, "an error is an error already"},
      {0, 32, false, true, 0, true, "the client closed"},
      {0, 0, true, true, 0, true, "the client fell silent"},
      {0, 0, false, true, 4076, true, "a chunk or length not reached"},
      {0, 0, false, false, 4076, false, "no length announced"},
  };
  for (const Row& row : rows)
    EXPECT_EQ(DocumentEndedShort(row.result, row.error, row.timedOut, row.announced, row.remaining),
              row.shortEnd)
        << row.why;
}

TEST(RequestRules, ADocumentWithoutAFormatIsKnownByItsFirstBytes) {
  struct Row {
    std::string head;
    const char* format;
  } rows[] = {
      {"%PDF-1.7\n", "application/pdf"},
      {"%!PS-Adobe-3.0\n", "application/postscript"},
      {"\x1b%-12345X@PJL JOB\r\n@PJL ENTER LANGUAGE=POSTSCRIPT\r\n%!PS\n",
       "application/postscript"},
      {"\x1b%-12345X@PJL JOB\r\n\x1b"
       "E",
       ""},
      {"\x1b"
       "E\x1b&l26A",
       ""},
      {"%PDF", ""},  // too short to be one
      {"\x1b%-12345X@PJL no end of line", ""},
      {"", ""},
  };
  for (const Row& row : rows)
    EXPECT_EQ(
        SniffedFormat(reinterpret_cast<const unsigned char*>(row.head.data()), row.head.size()),
        row.format)
        << row.head;
}

TEST(RequestRules, TheHostADeviceConnectsToAndTheSpoolsMessage) {
  EXPECT_EQ(DeviceTargetHost("socket://127.0.0.1:7778"), "127.0.0.1");
  EXPECT_EQ(DeviceTargetHost("SOCKET://printer.example/x?y"), "printer.example");
  EXPECT_EQ(DeviceTargetHost("socket://user@[::1]:9100"), "::1");
  EXPECT_EQ(DeviceTargetHost("snmp://localhost"), "localhost");
  EXPECT_EQ(DeviceTargetHost("tamo://80C4A2E691D5"), "");
  EXPECT_EQ(DeviceTargetHost("dnssd://Printer._pdl-datastream._tcp.local/"), "");
  EXPECT_EQ(DeviceTargetHost("socket:/no-host"), "");
  EXPECT_NE(MendedSpoolMessage("Unable to write print file: Success").find("full"),
            std::string::npos);
  EXPECT_EQ(MendedSpoolMessage("Unable to write print file: Permission denied"), "");
}
