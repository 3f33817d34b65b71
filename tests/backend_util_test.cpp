// The front end's small helpers as the scheduler and an administrator meet
// them: the scheme and target taken out of DEVICE_URI, which targets count as
// IPv4 literals, the program's own name, and the exact bytes of a device line.
#include "backend_util.h"

#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "kvt.h"
#include "test_util.h"

namespace {

struct UriRow {
  const char* why;
  const char* value;  // nullptr: DEVICE_URI unset
  std::string scheme;
  std::string target;
};

TEST(DeviceUriTest, SchemeAndTargetAreSplitAtTheFirstSeparators) {
  const std::string longMac(20000, 'A');
  const std::string longUri = "tamo://" + longMac;
  const UriRow rows[] = {
      {"listing's own URI", "tamo://0011AABBCCDD", "tamo", "0011AABBCCDD"},
      {"an IPv4 literal written by hand", "tamo://192.168.1.20", "tamo", "192.168.1.20"},
      {"a trailing queue name stays in the target", "tamo://0011AABBCCDD/queue", "tamo",
       "0011AABBCCDD/queue"},
      {"port and query stay too", "tamo://192.168.1.20:9100?x=1", "tamo", "192.168.1.20:9100?x=1"},
      {"nothing after ://", "tamo://", "tamo", ""},
      {"\"://\" twice", "a://b://c", "a", "b://c"},
      {"\"//\" only later: whole value is the scheme", "scheme:/path//rest", "scheme:/path//rest",
       "rest"},
      {"unset", nullptr, "", ""},
      {"empty", "", "", ""},
      {"no \"//\": the whole value is the target", "0011AABBCCDD", "0011AABBCCDD", "0011AABBCCDD"},
      {"no \"//\", IPv4 literal", "192.168.1.20", "192.168.1.20", "192.168.1.20"},
      {"one slash only", "tamo:/0011AABBCCDD", "tamo:/0011AABBCCDD", "tamo:/0011AABBCCDD"},
      {"empty scheme", "://x", "", "x"},
      {"starts with //", "//x", "//x", "x"},
      {"three slashes", ":///x", "", "/x"},
      {"only slashes", "///", "///", "/"},
      {"UTF-8 bytes are kept", "\xc3\xa4://\xc3\xb6\xff", "\xc3\xa4", "\xc3\xb6\xff"},
      {"blanks and quotes are kept", " t a\"://  x \" ", " t a\"", "  x \" "},
      {"a newline is kept", "t://a\nb", "t", "a\nb"},
      {"a very long target is not cut", longUri.c_str(), "tamo", longMac},
  };
  for (const UriRow& row : rows) {
    SCOPED_TRACE(row.why);
    ScopedEnv uri("DEVICE_URI", row.value);
    std::string scheme = "stale scheme";
    std::string target = "stale target";
    ReadUriScheme(scheme);
    ReadUriTarget(target);
    EXPECT_EQ(row.scheme, scheme);
    EXPECT_EQ(row.target, target);
  }
}

struct IpRow {
  std::string text;
  bool literal;
};

TEST(IsIpAddressTest, DigitsAndExactlyThreeDots) {
  const IpRow rows[] = {
      {"192.168.1.20", true},
      {"0.0.0.0", true},
      {"999.1.1.1", true},  // values are not checked
      {"1..2.3", true},     // nor empty groups
      {"...", true},        // nor digits at all
      {"0001.2.3.4444444444", true},
      {std::string(100000, '7') + ".1.1.1", true},
      {"10.0.1", false},    // two dots
      {"1.2.3.4.", false},  // four dots
      {"1.2.3.4.5", false},
      {"....", false},
      {"1.2.3.x", false},
      {"", false},
      {"1.2.3.4 ", false},
      {" 1.2.3.4", false},
      {"1.2.3.4\n", false},
      {"1.2.3.4/24", false},
      {"1.2.3.4:9100", false},
      {"-1.2.3.4", false},
      {"+1.2.3.4", false},
      {"1,2.3.4", false},
      {"0x1.2.3.4", false},
      {"1.2.3.\xb2", false},                           // superscript two, Latin-1
      {"\xd9\xa1.\xd9\xa2.\xd9\xa3.\xd9\xa4", false},  // Arabic-Indic digits
      {std::string("1.2\0.3.4", 8), false},            // an embedded NUL
      {"AABBCCDDEEFF", false},
  };
  for (const IpRow& row : rows) {
    EXPECT_EQ(row.literal, IsIpAddress(row.text)) << "[" << row.text.substr(0, 40) << "]";
  }
}

// ------------------------------------------------------------ device lines

DeviceRecord Record(const std::string& mac, const std::string& ip, const std::string& deviceId,
                    const std::string& brand) {
  DeviceRecord record;
  record.setMacAddress(mac);
  record.setIpAddress(ip);
  record.setDeviceId(deviceId);
  record.setBrand(brand);
  return record;
}

std::string DeviceLine(int number, const std::string& name, const DeviceRecord& record) {
  char* data = nullptr;
  size_t size = 0;
  FILE* out = open_memstream(&data, &size);
  if (out == nullptr) return "<open_memstream failed>";
  PrintDeviceLine(out, number, name, record);
  fclose(out);
  std::string line(data, size);
  free(data);
  return line;
}

struct LineRow {
  const char* why;
  int number;
  std::string name;
  DeviceRecord record;
  std::string line;
};

TEST(PrintDeviceLineTest, WritesTheSchedulersDeviceLineByteForByte) {
  const std::string mac = "0011AABBCCDD";
  const std::string ip = "192.168.1.20";
  const LineRow rows[] = {
      {"brand inside the device ID: device ID alone", 1, "tamo",
       Record(mac, ip, "MFG:Korvane;MDL:K1;", "Korvane"),
       "network tamo://0011AABBCCDD \"MFG:Korvane;MDL:K1;\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"brand in the middle of the device ID", 1, "tamo", Record(mac, ip, "xxKorvaneyy", "Korvane"),
       "network tamo://0011AABBCCDD \"xxKorvaneyy\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"brand only in another letter case: brand, blank, device ID", 1, "tamo",
       Record(mac, ip, "MFG:KORVANE;MDL:K1;", "Korvane"),
       "network tamo://0011AABBCCDD \"Korvane MFG:KORVANE;MDL:K1;\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"brand longer than the device ID", 1, "tamo", Record(mac, ip, "Korv", "Korvane"),
       "network tamo://0011AABBCCDD \"Korvane Korv\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"empty brand: device ID alone, description starts with a blank", 1, "tamo",
       Record(mac, ip, "MFG:X;", ""),
       "network tamo://0011AABBCCDD \"MFG:X;\" "
       "\" Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"empty device ID: brand and one blank", 1, "tamo", Record(mac, ip, "", "Korvane"),
       "network tamo://0011AABBCCDD \"Korvane \" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"empty name: URI starts with ://", 1, "", Record(mac, ip, "Korvane", "Korvane"),
       "network ://0011AABBCCDD \"Korvane\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"everything empty", 1, "", Record("", "", "", ""),
       "network :// \"\" \" Network Printer #1 ()\" \"\"\n"},
      {"third record", 3, "tamo", Record(mac, ip, "Korvane", "Korvane"),
       "network tamo://0011AABBCCDD \"Korvane\" "
       "\"Korvane Network Printer #3 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"tenth record: no leading zero or blank", 10, "tamo", Record(mac, ip, "Korvane", "Korvane"),
       "network tamo://0011AABBCCDD \"Korvane\" "
       "\"Korvane Network Printer #10 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"large number", 123456, "g", Record(mac, ip, "Korvane", "Korvane"),
       "network g://0011AABBCCDD \"Korvane\" "
       "\"Korvane Network Printer #123456 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"quotes and backslashes are escaped as the scheduler reads them", 1, "tamo",
       Record(mac, ip, "MDL:\"K\" 1;Korvane\\", "Korvane"),
       "network tamo://0011AABBCCDD \"MDL:\\\"K\\\" 1;Korvane\\\\\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"a forged set of fields stays inside the make and model", 1, "tamo",
       Record(mac, ip, "MFG:Tamo;MDL:X\" \"Forged Info\" \"MFG:Other;MDL:Y;\" \"Room 1", "Tamo"),
       "network tamo://0011AABBCCDD "
       "\"MFG:Tamo;MDL:X\\\" \\\"Forged Info\\\" \\\"MFG:Other;MDL:Y;\\\" \\\"Room 1\" "
       "\"Tamo Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"bytes that are not UTF-8 become '?', C1 controls blanks", 1, "tamo",
       Record(mac, ip,
              "A\xff\xfe"
              "B\x9b"
              "C\xc2\x9b"
              "D\xc0\xaf"
              "E\xed\xa0\x80"
              "F\xe2\x82",
              "A"),
       "network tamo://0011AABBCCDD \"A??B?C D??E???F??\" "
       "\"A Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"marks that reorder or break the text are blanks, their neighbours kept", 1, "tamo",
       Record(mac, ip,
              "a\xc2\x9f"
              "b\xc2\xa0"
              "c\xe2\x80\xae"
              "d\xe2\x80\xa8"
              "e\xe2\x80\x8e"
              "f\xe2\x81\xa9"
              "g\xef\xbb\xbf"
              "h\xe2\x80\x8d"
              "i\xe2\x80\xaf"
              "j\xe2\x81\xaa",
              "A"),
       "network tamo://0011AABBCCDD \"A a b\xc2\xa0"
       "c d e f g h\xe2\x80\x8d"
       "i\xe2\x80\xaf"
       "j\xe2\x81\xaa\" \"A Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"UTF-8 is written unchanged", 1, "tamo",
       Record(mac, ip,
              "MFG:\xc3\x9c"
              "ber;",
              "\xc3\x9c"
              "ber"),
       "network tamo://0011AABBCCDD \"MFG:\xc3\x9c"
       "ber;\" "
       "\"\xc3\x9c"
       "ber Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"newline in the device ID becomes a blank", 1, "tamo",
       Record(mac, ip, "MDL:K1;\nnetwork evil://x \"a\" \"b\"", "Korvane"),
       "network tamo://0011AABBCCDD \"Korvane MDL:K1; network evil://x \\\"a\\\" \\\"b\\\"\" "
       "\"Korvane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"tab in the brand, carriage return in the name", 1, "ta\rmo",
       Record(mac, ip, "Kor\tvane", "Kor\tvane"),
       "network ta mo://0011AABBCCDD \"Kor vane\" "
       "\"Kor vane Network Printer #1 (0011AABBCCDD)\" \"192.168.1.20\"\n"},
      {"0x7F in the MAC and 0x01 in the IP address", 1, "tamo",
       Record("0011\x7f"
              "ABBCCDD",
              "192.168.1\x01"
              "20",
              "Korvane", "Korvane"),
       "network tamo://0011 ABBCCDD \"Korvane\" "
       "\"Korvane Network Printer #1 (0011 ABBCCDD)\" \"192.168.1 20\"\n"},
  };
  for (const LineRow& row : rows) {
    SCOPED_TRACE(row.why);
    EXPECT_EQ(row.line, DeviceLine(row.number, row.name, row.record));
  }
}

TEST(PrintDeviceLineTest, WritesToStandardOutputAndFlushes) {
  char path[] = "/tmp/device_line.XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  fflush(stdout);
  int saved = dup(STDOUT_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(STDOUT_FILENO, dup2(file, STDOUT_FILENO));
  PrintDeviceLine(2, "tamo", Record("0011AABBCCDD", "10.0.0.2", "Korvane K1", "Korvane"));
  // Read back before restoring: the line must already be flushed.
  char buffer[512];
  ssize_t n = pread(file, buffer, sizeof(buffer), 0);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  close(file);
  unlink(path);
  ASSERT_GT(n, 0);
  EXPECT_EQ(
      "network tamo://0011AABBCCDD \"Korvane K1\" "
      "\"Korvane Network Printer #2 (0011AABBCCDD)\" \"10.0.0.2\"\n",
      std::string(buffer, static_cast<size_t>(n)));
}

}  // namespace
