// Tests of the host-config protocol: the query, the reply parser, the
// attributes of the TXT record, and the DeviceRecord they fill (the name
// walk has its own, wire_reader_test). Datagrams are built by the Datagram builder of
// support/dns_message.h and handed to the parser in a DataBuffer exactly as
// large as the datagram, so that any read past the datagram's end is a heap
// overflow that the sanitizer build reports.

#include "kvt.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <cstdint>
#include <string>
#include <vector>

#include "brands.h"
#include "data_buffer.h"
#include "dns_message.h"
#include "test_files.h"

namespace {

// The fields in the order macAddress, ipAddress, deviceId, brand.
typedef std::vector<std::string> Fields;
const Fields kEmpty = {"", "", "", ""};

// Read through the getters that hand out the fields themselves; the const
// ones are read by PrintDeviceLine, whose tests see every field.
Fields FieldsOf(DeviceRecord& r) {
  return {r.macAddress(), r.ipAddress(), r.deviceId(), r.brand()};
}

// Parses a copy of `bytes` held in a buffer of exactly their size.
bool Parse(const Discoverer& discoverer, const std::vector<unsigned char>& bytes,
           DeviceRecord& record) {
  DataBuffer buffer(static_cast<int>(bytes.size()));
  buffer.Assign(bytes.data(), static_cast<int>(bytes.size()));
  return discoverer.ParseReply(buffer, record);
}

struct ReplyCase {
  const char* why;
  Datagram reply;
  bool parsed;
  Fields fields;
};

void CheckReplies(const char* program, const std::vector<ReplyCase>& cases) {
  Discoverer discoverer(program);
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.why);
    DeviceRecord record;
    EXPECT_EQ(Parse(discoverer, c.reply.bytes(), record), c.parsed);
    EXPECT_EQ(FieldsOf(record), c.fields);
  }
}

// ---------------------------------------------------------------------------
// The query

// The builder writes the question from its labels, apart from the packet's
// table of bytes; the net tests compare what leaves with the builder's too.
TEST(QueryTest, PacketIsTheHostConfigPtrQuestion) {
  EXPECT_EQ(kDNSQueryPacketSize, static_cast<int>(sizeof(gDNSQueryPacket)));
  EXPECT_EQ(HostConfigQuery().bytes(),
            std::vector<unsigned char>(gDNSQueryPacket, gDNSQueryPacket + sizeof(gDNSQueryPacket)));
}

// ---------------------------------------------------------------------------
// ParseReply. Whatever the counts, lengths and pointers say, nothing beyond
// the datagram is read. Before the host-config TXT record is found a fault
// gives false; inside it, the strings lying wholly inside both the RDATA and
// the datagram are applied and the result is true. Each row builds its
// datagram beside what the parser must make of it.

// A response with no question and the given records: `records` is the ARCOUNT.
Datagram Records(int records) {
  Datagram d;
  d.Header(kReplyFlags, 0, 0, 0, records);
  return d;
}

// A response announcing one question and one additional record, up to the
// question.
Datagram OneQuestion() {
  Datagram d;
  d.Header(kReplyFlags, 1, 0, 0, 1);
  return d;
}

// A filler record whose RDATA reaches past `offset`, where it holds the name
// KVT._host-config; then the TXT record named by a pointer to it.
Datagram TxtNamedFromFar(int offset) {
  Datagram d = Records(2);
  d.Name({"pad"});
  const int rdata = d.Offset() + 10;
  d.Fixed(kTypeA, offset + 4 + 13 + 1 - rdata).PadTo(offset).InstanceName();
  d.Pointer(offset).Txt({"IPADDRESS=10.0.0.5"});
  return d;
}

// Two records: a filler holding in its RDATA the pointer chain of
// PointerChain, then the name of the second, a pointer to the chain's start.
Datagram ChainInFiller(int links) {
  Datagram d = Records(2);
  d.Name({"pad"}).Fixed(kTypeA, 4 + 13 + 2 * (links - 2) + 2 * (links - 1) + 1);
  int start = 0;
  d = PointerChain(d, links, &start);
  return d.Pointer(start);
}

const Fields kPrinter = {"80C4A2E691D5", "10.0.0.5", "MFG:Tamo;CMD:ESC/P;MDL:T1;CLS:PRINTER;",
                         "Tamo"};
const Fields kIpOnly = {"", "10.0.0.5", "", ""};
const std::vector<std::string> kIpTxt = {"IPADDRESS=10.0.0.5"};
// Two attributes, and what a record holds after both or after the first.
const std::vector<std::string> kTwo = {"IPADDRESS=10.0.0.7", "MACUAA=0123456789AB"};
const Fields kBoth = {"80C4A2E691D5", "10.0.0.7", "", ""};
const Fields kFirst = {"", "10.0.0.7", "", ""};

TEST(ParseReplyTest, OnlyAResponseLongerThanItsHeaderCounts) {
  CheckReplies(
      "g",
      {
          {"a printer's reply: PTR answer; SRV, TXT and A additional records", PrinterReply(), true,
           kPrinter},
          {"QR 1, every other flag bit set too", PrinterReply(kPrinterTxt, 0xFFFF), true, kPrinter},
          {"QR 0 in a printer's reply", PrinterReply(kPrinterTxt, 0x0400), false, kEmpty},
          {"QR 0, every other flag bit set", PrinterReply(kPrinterTxt, 0x7FFF), false, kEmpty},
          {"the query (QR 0)", HostConfigQuery(), false, kEmpty},
          {"an empty datagram", Datagram(), false, kEmpty},
          {"one byte", Datagram().Byte(0x80), false, kEmpty},
          {"a header of 12 bytes with counts", Records(1), false, kEmpty},
          {"a 12-byte datagram", Datagram().Header(kReplyFlags, 0, 1, 0, 1), false, kEmpty},
          {"a 13-byte response with every count 0",
           Datagram().Header(kReplyFlags, 0, 0, 0, 0).Byte(0), false, kEmpty},
          {"a 13-byte datagram: a root name and nothing after", Records(1).Byte(0), false, kEmpty},
          {"4096 bytes of 0xC0", Datagram().Byte(0xC0, 4096), false, kEmpty},
          {"4096 bytes of 0xC1", Datagram().Byte(0xC1, 4096), false, kEmpty},
          {"4096 bytes of 0xFF", Datagram().Byte(0xFF, 4096), false, kEmpty},
          {"every count 65535, then zero bytes",
           Datagram().Header(kReplyFlags, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF).PadTo(4096), false,
           kEmpty},
      });
}

// What a datagram was, as the discovery's verdicts tell it: a host-config
// reply, another message, or one that is cut short or malformed before its
// host-config record.
TEST(ParseReplyTest, ReadReplySaysWhatTheDatagramWas) {
  const struct {
    const char* why;
    Datagram datagram;
    ReplyKind kind;
  } rows[] = {
      {"a printer's reply", PrinterReply(), kHostConfigReply},
      {"damage inside the host-config record", Records(1).InstanceName().Fixed(16, 40).Byte(20),
       kHostConfigReply},
      {"the query", HostConfigQuery(), kOtherMessage},
      {"a response whose counts are all 0", Datagram().Header(kReplyFlags, 0, 0, 0, 0).Byte(0),
       kOtherMessage},
      {"the PTR answer alone", WithAnswer(0, 0), kOtherMessage},
      {"a 12-byte datagram", Records(1), kMalformedReply},
      {"a question running past the end", Datagram().Header(kReplyFlags, 1, 0, 0, 1).Byte(9),
       kMalformedReply},
      {"a record name running past the end", Records(1).Byte(0xC1), kMalformedReply},
  };
  const Discoverer discoverer("g");
  for (const auto& row : rows) {
    DataBuffer buffer(static_cast<int>(row.datagram.bytes().size()));
    buffer.Assign(row.datagram.bytes().data(), buffer.Capacity());
    DeviceRecord record;
    EXPECT_EQ(row.kind, discoverer.ReadReply(buffer, record)) << row.why;
  }
}

// One datagram, one verdict: the sender before a byte is read, then the
// message, then the printer. The query left by eth0 only; eth1 is another
// of this host's links.
TEST(JudgeTest, SenderThenMessageThenPrinter) {
  auto ip = [](const char* text) {
    in_addr a;
    inet_pton(AF_INET, text, &a);
    return a;
  };
  HostLinks links({{2, "eth0", IFF_UP | IFF_RUNNING | IFF_MULTICAST},
                   {3, "eth1", IFF_UP | IFF_RUNNING | IFF_MULTICAST}},
                  {{2, "eth0", ip("10.0.0.1"), ip("255.255.255.0")},
                   {3, "eth1", ip("10.1.0.1"), ip("255.255.255.0")}},
                  {});
  links.MarkQueried(2);
  std::vector<std::string> otherLink = kPrinterTxt;
  otherLink[0] = "IPADDRESS=10.1.0.5";
  const struct {
    const char* why;
    const char* program;
    Datagram datagram;
    Arrival arrival;
    Verdict verdict;
    ReplyKind kind;
    std::string address;  // and the MAC read, when the message was
  } rows[] = {
      {"the printer",
       "t",
       PrinterReply(),
       {ip("10.0.0.5"), 2, 255},
       kAccepted,
       kHostConfigReply,
       "10.0.0.5"},
      {"a link the query skipped: not read",
       "t",
       PrinterReply(),
       {ip("10.1.0.5"), 3, 255},
       kNotQueryInterface,
       kMalformedReply,
       ""},
      {"the query itself",
       "t",
       HostConfigQuery(),
       {ip("10.0.0.5"), 2, 255},
       kNotHostConfig,
       kOtherMessage,
       ""},
      {"cut short", "t", Records(1), {ip("10.0.0.5"), 2, 255}, kMalformed, kMalformedReply, ""},
      {"another brand",
       "z",
       PrinterReply(),
       {ip("10.0.0.5"), 2, 255},
       kOtherBrand,
       kHostConfigReply,
       ""},
      {"a relay naming this host's other link",
       "t",
       PrinterReply(otherLink),
       {ip("10.0.0.5"), 2, 255},
       kAddressOnAnotherLink,
       kHostConfigReply,
       ""},
  };
  for (const auto& row : rows) {
    DataBuffer buffer(static_cast<int>(row.datagram.bytes().size()));
    buffer.Assign(row.datagram.bytes().data(), buffer.Capacity());
    DeviceRecord record;
    std::string address;
    ReplyKind kind;
    EXPECT_EQ(
        VerdictText(row.verdict),
        std::string(VerdictText(
            Discoverer(row.program).Judge(buffer, row.arrival, links, record, address, kind))))
        << row.why;
    EXPECT_EQ(row.kind, kind) << row.why;
    EXPECT_EQ(row.address, address) << row.why;
    EXPECT_EQ(row.kind == kHostConfigReply ? "80C4A2E691D5" : "", record.macAddress()) << row.why;
  }
}

// Questions are passed over without their names being read: only 0xC0 ends
// a name there as a pointer; any other byte is a label's length.
TEST(ParseReplyTest, QuestionsArePassedOver) {
  CheckReplies(
      "g",
      {
          {"0xC1 in a question's name is a 193-byte label",
           OneQuestion().Byte(0xC1).Byte('q', 193).Byte(0).U16(kTypePTR).U16(1).InstanceTxt(kIpTxt),
           true, kIpOnly},
          {"0xC4 in a question's name is a 196-byte label",
           OneQuestion()
               .Label("a")
               .Byte(0xC4)
               .Byte('q', 196)
               .Byte(0)
               .U16(kTypePTR)
               .U16(1)
               .InstanceTxt(kIpTxt),
           true, kIpOnly},
          {"C0 0C ends a question's name",
           [] {
             Datagram d;  // the second question ends in a pointer into the first
             d.Header(kReplyFlags, 2, 0, 0, 1).HostConfigQuestion();
             const int second = d.Offset();
             d.Label("KVT").Pointer(kQuestionName).U16(kTypePTR).U16(1);
             return d.Pointer(second).Txt(kIpTxt);
           }(),
           true, kIpOnly},
          {"a question that points at itself: the pointer is not followed",
           OneQuestion().Pointer(12).U16(kTypePTR).U16(1).InstanceTxt(kIpTxt), true, kIpOnly},
          {"QDCOUNT 65535 with one question",
           Datagram().Header(kReplyFlags, 0xFFFF, 0, 0, 1).HostConfigQuestion().InstanceTxt(kTwo),
           false, kEmpty},
          {"a question label past the end", OneQuestion().Byte(50).Raw("abc"), false, kEmpty},
          {"a question name without its zero byte", OneQuestion().Label("_host-config"), false,
           kEmpty},
          {"a question pointer lead byte as the last byte", OneQuestion().Label("a").Byte(0xC0),
           false, kEmpty},
          {"a question without QTYPE and QCLASS", OneQuestion().Name({"a"}), false, kEmpty},
          {"a question cut inside QCLASS", OneQuestion().Name({"a"}).U16(kTypePTR).Byte(0x80),
           false, kEmpty},
      });
}

// ANCOUNT + ARCOUNT, as a 16-bit sum, is how many records may be walked;
// NSCOUNT is not counted in.
TEST(ParseReplyTest, TheCountsBoundTheRecordsWalked) {
  CheckReplies(
      "g",
      {
          {"the PTR answer and the instance's TXT record, which holds only IPADDRESS",
           WithAnswer(0, 1).Pointer(kInstanceName).Txt(kIpTxt), true, kIpOnly},
          {"only the PTR answer: its second label is _udp", WithAnswer(0, 0), false, kEmpty},
          {"AN 1, NS 1, AR 1 with the TXT record second",
           WithAnswer(1, 1)
               .Pointer(kInstanceName)
               .Txt(kIpTxt)
               .Pointer(kInstanceName)
               .Fixed(kTypeSRV, 8)
               .U16(0)
               .U16(0)
               .U16(9100)
               .Pointer(kLocalLabel),
           true, kIpOnly},
          {"AN 1, NS 1, AR 1 with the TXT record last: two records walked",
           WithAnswer(1, 1)
               .Pointer(kInstanceName)
               .Fixed(kTypeSRV, 8)
               .U16(0)
               .U16(0)
               .U16(9100)
               .Pointer(kLocalLabel)
               .Pointer(kInstanceName)
               .Txt(kIpTxt),
           false, kEmpty},
          {"ANCOUNT + ARCOUNT wraps to 0",
           Datagram().Header(kReplyFlags, 0, 0xFFFF, 0, 1).InstanceTxt(kIpTxt), false, kEmpty},
          {"ANCOUNT + ARCOUNT wraps to 1: the SRV alone is walked",
           Datagram()
               .Header(kReplyFlags, 0, 0xFFFF, 0, 2)
               .InstanceName()
               .Fixed(kTypeSRV, 6)
               .U16(0)
               .U16(0)
               .U16(9100)
               .InstanceTxt(kIpTxt),
           false, kEmpty},
          {"a count far beyond the records, TXT first", Records(0xFFFF).InstanceTxt(kIpTxt), true,
           kIpOnly},
          {"ANCOUNT 65535 with one record",
           Datagram().Header(kReplyFlags, 0, 0xFFFF, 0, 0).Name({"a", "b"}).Fixed(kTypeA, 4).U32(1),
           false, kEmpty},
          {"ANCOUNT 65535, then zero bytes",
           Datagram().Header(kReplyFlags, 1, 0xFFFF, 0, 0).PadTo(4096), false, kEmpty},
          {"4096 bytes of records named C0 0C, RDLENGTH 0",
           [] {
             Datagram d = Records(0x7FFF);
             while (d.Offset() + 12 <= 4096) d.Pointer(12).Fixed(kTypeA, 0);
             return d.PadTo(4096, 0xC0);
           }(),
           false, kEmpty},
      });
}

// Every record before the host-config TXT record is passed over by its
// RDLENGTH, which must lie inside the datagram; after it nothing is read.
TEST(ParseReplyTest, OtherRecordsArePassedOver) {
  CheckReplies(
      "g",
      {
          {"SRV of a host-config instance is not the TXT record",
           Records(1).InstanceName().Fixed(kTypeSRV, 6).U16(0).U16(0).U16(9100), false, kEmpty},
          {"SRV of the instance passed over, then TXT",
           Records(2).InstanceName().Fixed(kTypeSRV, 6).U16(0).U16(0).U16(9100).InstanceTxt(kIpTxt),
           true, kIpOnly},
          {"an A record named like the instance passed over",
           Records(2).InstanceName().Fixed(kTypeA, 4).U32(0x0A000005).InstanceTxt(kIpTxt), true,
           kIpOnly},
          {"TYPE 0x1000 (TXT read little-endian) is not TXT",
           Records(1).InstanceName().Fixed(0x1000, 19).Label(kIpTxt[0]), false, kEmpty},
          {"TYPE 0x0110 (TXT in its low byte only) is not TXT",
           Records(1).InstanceName().Fixed(0x0110, 19).Label(kIpTxt[0]), false, kEmpty},
          {"a TXT record of another service passed over",
           Records(2)
               .Name({"KVT", "_ipp", "_tcp", "local"})
               .Txt({"IPADDRESS=10.0.0.66"})
               .InstanceTxt(kIpTxt),
           true, kIpOnly},
          {"of two matching TXT records only the first is read",
           Records(2).InstanceTxt(kIpTxt).InstanceTxt(
               {"IPADDRESS=10.0.0.6", "MACUAA=0123456789AB"}),
           true, kIpOnly},
          {"bytes after the matching record are never read",
           Records(9).InstanceTxt(kIpTxt).Byte(0xFF, 3), true, kIpOnly},
          {"fixed fields cut after TYPE TXT", Records(1).InstanceName().U16(kTypeTXT).U16(1), false,
           kEmpty},
          {"fixed fields cut after TYPE A", Records(1).Name({"a", "b"}).U16(kTypeA), false, kEmpty},
          {"RDLENGTH 0xFFFF of a record before the TXT record",
           Records(2).Name({"a", "b"}).Fixed(kTypeA, 0xFFFF).U32(1).InstanceTxt(kTwo), false,
           kEmpty},
          {"RDATA one byte short of its RDLENGTH",
           Records(2).Name({"a", "b"}).Fixed(kTypeA, 5).U32(1), false, kEmpty},
      });
}

// The TXT record is the one whose name has "_host-config" as its second
// label, exactly; the name may be written with long labels and pointers.
TEST(ParseReplyTest, TheTxtRecordIsKnownByTheSecondLabelOfItsName) {
  CheckReplies(
      "g", {
               {"_HOST-CONFIG does not match", Records(1).Name({"KVT", "_HOST-CONFIG"}).Txt(kIpTxt),
                false, kEmpty},
               {"_Host-config does not match", Records(1).Name({"KVT", "_Host-config"}).Txt(kIpTxt),
                false, kEmpty},
               {"a name of one label has no second", Records(1).Name({"_host-config"}).Txt(kIpTxt),
                false, kEmpty},
               {"a TXT record of the service type itself: second label _udp",
                Records(1).Name({"_host-config", "_udp", "local"}).Txt(kIpTxt), false, kEmpty},
               {"first, third and later labels take no part",
                Records(1).Name({"any instance", "_host-config", "x", "y", "z"}).Txt(kIpTxt), true,
                kIpOnly},
               {"0xC2 in a record's name is a 194-byte label",
                Records(1).Byte(0xC2).Byte('n', 194).Label("_host-config").Byte(0).Txt(kIpTxt),
                true, kIpOnly},
               {"a record named through a 0xC1 pointer", TxtNamedFromFar(0x10C), true, kIpOnly},
               {"a record named through a 0xC4 pointer", TxtNamedFromFar(0x40C), true, kIpOnly},
               {"17 pointers in a matching name: read to its second label",
                ChainInFiller(17).Txt(kTwo), true, kBoth},
           });
}

// A name that would be read outside the datagram, or round a pointer loop,
// ends the walk: nothing after it is read, even a good TXT record.
TEST(ParseReplyTest, ANameLeadingOutsideTheDatagramEndsTheWalk) {
  CheckReplies(
      "g",
      {
          {"a record name label past the end",
           Records(1).Label("KVT").Byte(200).Raw("_host-config"), false, kEmpty},
          {"a record name without its zero byte", Records(1).Label("KVT").Label("_host-config"),
           false, kEmpty},
          {"a record name pointer lead byte as the last byte", Records(1).Label("KVT").Byte(0xC0),
           false, kEmpty},
          {"a pointer to the end", Records(1).Pointer(14), false, kEmpty},
          {"a pointer past the end", Records(1).Pointer(0xFF).Fixed(kTypeTXT, 0), false, kEmpty},
          // C1 00 points to offset 256, past the end; its 00 would begin the
          // fixed fields of a record if the C1 were skipped.
          {"a bad name ends the walk: a good TXT record after it is not read",
           Records(2).Byte(0xC1).Fixed(kTypeA, 0).InstanceTxt(kTwo), false, kEmpty},
          {"a pointer to itself: C0 0C at 12, read as a 192-byte label, then C0 0C again",
           Records(1).Pointer(12).Byte('s', 191).Pointer(12).Byte(0).Fixed(kTypeTXT, 0), false,
           kEmpty},
          {"a label and a pointer back to the name's start",
           Records(1).Label("a").Pointer(12).Fixed(kTypeTXT, 0), false, kEmpty},
          {"a pointer to a length byte near the end that runs past it",
           Records(1).Pointer(14).Byte(9), false, kEmpty},
      });
}

// The strings of the TXT record are applied in turn, each text ending at
// its first zero byte. One that does not lie wholly inside both the RDATA
// and the datagram is not, and the record keeps what came before it.
TEST(ParseReplyTest, TxtStringsInsideTheRdataAreApplied) {
  CheckReplies(
      "g",
      {
          {"RDATA of one zero byte: one empty string", Records(1).InstanceTxt({""}), true, kEmpty},
          {"RDLENGTH 0: the string after it is not RDATA",
           Records(1).InstanceName().Fixed(kTypeTXT, 0).Label(kIpTxt[0]), true, kEmpty},
          {"a string's text ends at its zero byte",
           Records(1).InstanceTxt({std::string("IPADDRESS=10.0.0.5\0junk", 23)}), true, kIpOnly},
          {"a string of 255 bytes, the most a length byte gives, is read whole",
           Records(1).InstanceTxt({"IPADDRESS=" + std::string(245, '9')}),
           true,
           {"", std::string(245, '9'), "", ""}},
          {"empty strings and a string without = change nothing",
           Records(1).InstanceTxt({"", kIpTxt[0], "", "no equals sign"}), true, kIpOnly},
          {"CLASS and TTL are not read",
           Records(1).InstanceName().U16(kTypeTXT).U16(0x00FF).U32(0).U16(19).Label(kIpTxt[0]),
           true, kIpOnly},
          {"TXT RDLENGTH 0xFFFF, strings inside the datagram",
           Records(1).InstanceName().Fixed(kTypeTXT, 0xFFFF).Label(kTwo[0]).Label(kTwo[1]), true,
           kBoth},
          {"TXT strings overrunning RDLENGTH, which ends 5 bytes into the second",
           Records(2)
               .InstanceName()
               .Fixed(kTypeTXT, 19 + 5)
               .Label(kTwo[0])
               .Label(kTwo[1])
               .InstanceTxt({"IPADDRESS=10.0.0.8"}),
           true, kFirst},
          {"a TXT string overrunning the datagram",
           Records(1)
               .InstanceName()
               .Fixed(kTypeTXT, 100)
               .Label(kTwo[0])
               .Byte(60)
               .Raw("MACUAA=0123"),
           true, kFirst},
          {"a TXT length byte as the last byte",
           Records(1).InstanceName().Fixed(kTypeTXT, 40).Label(kTwo[0]).Byte(20), true, kFirst},
          {"TXT RDATA missing altogether", Records(1).InstanceName().Fixed(kTypeTXT, 3), true,
           kEmpty},
          {"RDATA filled up with empty strings: an attribute and 11 empty strings",
           Records(1).InstanceName().Fixed(kTypeTXT, 30).Label(kTwo[0]).Byte(0, 11), true, kFirst},
      });
}

TEST(ParseReplyTest, BrandComesFromTheAttributes) {
  const std::vector<std::string> deviceIdOnly = {"IPADDRESS=10.0.0.5",
                                                 "1284STRID=\"MFG:Tamo;MDL:T1;\""};
  const std::vector<std::string> korvane = {"PRINTERVIDPID=5A210001",
                                            "1284STRID=\"MFG:Tamo;MDL:T1;\""};
  const Fields tamoId = {"", "10.0.0.5", "MFG:Tamo;MDL:T1;", "Tamo"};
  const Fields noBrand = {"", "10.0.0.5", "MFG:Tamo;MDL:T1;", ""};
  const Fields korvaneId = {"", "", "MFG:Tamo;MDL:T1;", "Korvane"};

  CheckReplies("t", {{"vendor 0x2E97", PrinterReply(), true, kPrinter},
                     {"the device ID names Tamo", PrinterReply(deviceIdOnly), true, tamoId},
                     {"vendor 0x5A21 first", PrinterReply(korvane), true, korvaneId}});
  CheckReplies("z", {{"vendor 0x2E97", PrinterReply(), true, kPrinter},
                     {"the device ID names no ZALOR", PrinterReply(deviceIdOnly), true, noBrand},
                     {"vendor 0x5A21 first", PrinterReply(korvane), true, korvaneId}});
  CheckReplies(
      "g", {{"the device ID does not name Printer", PrinterReply(deviceIdOnly), true, noBrand}});
}

// ---------------------------------------------------------------------------
// Attributes

struct AttributeCase {
  const char* program;  // its first character chooses the Discoverer's brand
  std::vector<std::string> attributes;
  Fields fields;
};

void CheckAttributes(const std::vector<AttributeCase>& cases) {
  for (const AttributeCase& c : cases) {
    Discoverer discoverer(c.program);
    testing::Message trace;
    trace << "brand " << discoverer.brand() << ":";
    for (const std::string& a : c.attributes) trace << " [" << a << "]";
    SCOPED_TRACE(trace);
    DeviceRecord record;
    for (const std::string& a : c.attributes) discoverer.ParseAttribute(a, record);
    EXPECT_EQ(FieldsOf(record), c.fields);
    for (const Brand& reader : kBrands) {  // read under any brand: this brand's reading back
      DeviceRecord read;
      for (const std::string& a : c.attributes) Discoverer(reader.name).ParseAttribute(a, read);
      EXPECT_EQ(read.brandFor(discoverer.brand()), c.fields[3]) << "read as " << reader.name;
    }
  }
}

TEST(ParseAttributeTest, BrandTextsOfTheProgramNames) {
  EXPECT_EQ(Discoverer("t").brand(), "Tamo");
  EXPECT_EQ(Discoverer("g").brand(), "Printer");
  EXPECT_EQ(Discoverer("s").brand(), "SOLENA");
  EXPECT_EQ(Discoverer("z").brand(), "ZALOR");
  EXPECT_EQ(Discoverer("o").brand(), "Orbec");
  for (const char* other : {"", "x", "Tamo"}) EXPECT_EQ(Discoverer(other).brand(), "Orbec");
}

// The install rules and the packages list the brands' names: the table's.
TEST(BrandsTest, TheInstallRulesAndPackagesNameTheTablesBrands) {
  std::string spaced, prose;  // "tamo solena zalor orbec", "tamo, solena, zalor and orbec"
  for (int i = 0; i < kBrandCount - 1; ++i) {
    spaced += std::string(i > 0 ? " " : "") + kBrands[i].name;
    prose += std::string(i == 0 ? "" : i == kBrandCount - 2 ? " and " : ", ") + kBrands[i].name;
  }
  const std::string every = kEveryBrand.name;
  const std::pair<const char*, std::string> rows[] = {
      {"cmake/install.cmake", "set(NETBACKEND_BRAND_NAMES " + spaced + ")"},
      {"cmake/install.cmake", "netbackend_install_links(gprinter 0 " + every + ")"},
      {"pkg/build-deb.sh", "brand names " + prose + "\n"},
      {"pkg/build-deb.sh", "$BACKEND_DIR/" + every + "\""},
      {"pkg/control", "one per brand: " + prose + "."},
      {"pkg/control", "the backend name " + every + ","},
  };
  for (const auto& row : rows)
    EXPECT_NE(std::string::npos, ReadFile(SOURCE_DIR "/" + std::string(row.first)).find(row.second))
        << row.first << " does not say: " << row.second;
}

TEST(ParseAttributeTest, IpAddressAndKeyMatching) {
  CheckAttributes({
      {"g", {"IPADDRESS=192.168.0.5"}, {"", "192.168.0.5", "", ""}},
      {"g", {"IPADDRESS=\"192.168.0.5\""}, {"", "192.168.0.5", "", ""}},
      {"g", {"IPADDRESS=192.168.0.5", "IPADDRESS="}, kEmpty},
      {"g", {"IPADDRESS=10.0.0.1", "IPADDRESS=10.0.0.2"}, {"", "10.0.0.2", "", ""}},
      {"g", {"IPADDRESS=a=b"}, {"", "a=b", "", ""}},
      {"g", {"IPADDRESS=x\"10.0.0.1\"y"}, {"", "10.0.0.1", "", ""}},
      {"g", {"IPADDRESS"}, kEmpty},
      {"g", {"ipaddress=10.0.0.1"}, kEmpty},
      {"g", {"IPADDRESS =10.0.0.1"}, kEmpty},
      {"g", {" IPADDRESS=10.0.0.1"}, kEmpty},
      {"g", {"IPADDRESS2=10.0.0.1"}, kEmpty},
      {"g", {"=IPADDRESS=10.0.0.1"}, kEmpty},
      {"g", {""}, kEmpty},
      {"g", {"="}, kEmpty},
  });
}

TEST(ParseAttributeTest, IgnoredKeysChangeNothing) {
  // Values that would fill each field if the key counted.
  const std::vector<std::string> keys = {
      "IPNETMASK",   "IPGATEWAY",   "IPNAME",  "MACLAA", "IPADDRSOURCE", "PASSWORDSET",
      "ADAPTERNAME", "CPDATTACHED", "UNKNOWN", "macuaa", "MDNSNAME2"};
  const std::vector<std::string> values = {"0123456789AB", "\"MFG:Tamo;\"", "5A210001",
                                           "Tamo Printer SOLENA ZALOR Orbec"};
  std::vector<AttributeCase> cases;
  for (const char* program : {"t", "g", "s", "z", "o"})
    for (const std::string& key : keys)
      for (const std::string& value : values)
        cases.push_back({program, {key + "=" + value}, kEmpty});
  CheckAttributes(cases);
  // MACLAA does not stand in for a missing MACUAA, nor replace a present one.
  CheckAttributes({
      {"g", {"MACUAA=0123456789AB", "MACLAA=FFFFFFFFFFFF"}, {"80C4A2E691D5", "", "", ""}},
      {"g", {"MACLAA=FFFFFFFFFFFF", "MACUAA=0123456789AB"}, {"80C4A2E691D5", "", "", ""}},
  });
}

TEST(ParseAttributeTest, MacAddressConversion) {
  struct Case {
    std::string value;
    std::string mac;
  } cases[] = {
      {"0123456789AB", "80C4A2E691D5"},
      {"0123456789ab", "80C4A2E691D5"},
      {"\"0123456789AB\"", "80C4A2E691D5"},
      {"\"0123456789ab", "80C4A2E691D5"},
      {"01:23:45:67:89:AB", "8000C0A200E0"},
      {"0123456789ABCDEF", "80C4A2E691D5"},
      {"FFFFFFFFFFFF", "FFFFFFFFFFFF"},
      {"000000000000", ""},  // no interface has this address: no MAC at all
      {"00000000000F", "0000000000F0"},
      {"0F1E2D3C4B5A", "F078B43CD25A"},
      {"0123", "80C400000000"},
      {"012", "804000000000"},
      {"", ""},
      {"\"\"", ""},
      {"zz", ""},
      {"ZZ23456789AB", "00C4A2E691D5"},
      {"0G23456789AB", "00C4A2E691D5"},
      {" 1 2 3 4 5 6", "8040C020A060"},
  };
  std::vector<AttributeCase> rows;
  for (const Case& c : cases) rows.push_back({"g", {"MACUAA=" + c.value}, {c.mac, "", "", ""}});
  CheckAttributes(rows);
}

TEST(ParseAttributeTest, DeviceIdQuotes) {
  CheckAttributes({
      {"g", {"1284STRID=\"MFG:Acme;MDL:X1;\""}, {"", "", "MFG:Acme;MDL:X1;", ""}},
      {"g", {"1284STRID=junk\"MFG:Acme;\"tail"}, {"", "", "MFG:Acme;", ""}},
      {"g", {"1284STRID=junk\"MFG:Acme;"}, {"", "", "MFG:Acme;", ""}},
      {"g", {"1284STRID=\"MFG:\"Acme\";\""}, {"", "", "MFG:\"Acme\";", ""}},
      {"g", {"1284STRID=\"\""}, kEmpty},
      {"g", {"1284STRID=\""}, kEmpty},
      {"g", {"1284STRID="}, kEmpty},
      // No quote at all: the value is stored whole.
      {"g", {"1284STRID=MFG:Acme;MDL:X1;"}, {"", "", "MFG:Acme;MDL:X1;", ""}},
      {"g", {"1284STRID=\"A\"", "1284STRID=\"B\""}, {"", "", "B", ""}},
  });
}

TEST(ParseAttributeTest, VendorIds) {
  CheckAttributes({
      {"g", {"PRINTERVIDPID=5A210001"}, {"", "", "", "Korvane"}},
      {"g", {"PRINTERVIDPID=5a21ffff"}, {"", "", "", "Korvane"}},
      {"g", {"PRINTERVIDPID=\"5A210001\""}, {"", "", "", "Korvane"}},
      {"g", {"PRINTERVIDPID=0x5A210001"}, {"", "", "", "Korvane"}},
      {"g", {"PRINTERVIDPID=2E970042"}, {"", "", "", "Tamo"}},
      {"s", {"PRINTERVIDPID=2E970042"}, {"", "", "", "Tamo"}},
      {"g", {"PRINTERVIDPID=12340001"}, kEmpty},
      {"g", {"PRINTERVIDPID=00005A21"}, kEmpty},
      {"g", {"PRINTERVIDPID=5A21"}, kEmpty},
      {"g", {"PRINTERVIDPID="}, kEmpty},
      // 'f' and 'F' are digits: ORed into the vendor ID, they make it one no
      // vendor has (without them it would read 0x2E97).
      {"g", {"PRINTERVIDPID=000f00002E970000"}, kEmpty},
      {"g", {"PRINTERVIDPID=000F00002E970000"}, kEmpty},
      // A ninth digit and beyond fall into the low bits again.
      {"g", {"PRINTERVIDPID=5A2100010000"}, kEmpty},
      {"g", {"PRINTERVIDPID=5A21000000000000"}, {"", "", "", "Korvane"}},
      // ORed into them: added, 5A21 twice would be B442.
      {"g", {"PRINTERVIDPID=5A2100005A210000"}, {"", "", "", "Korvane"}},
      // Any other character is a digit of value 0; it ends nothing.
      {"g", {"PRINTERVIDPID=5A21-001"}, {"", "", "", "Korvane"}},
      // Always assigned, replacing what stood before.
      {"g", {"PRINTERVIDPID=5A210001", "PRINTERVIDPID=2E970001"}, {"", "", "", "Tamo"}},
      {"g", {"PRINTERVIDPID=5A210001", "PRINTERVIDPID=FFFF0001"}, kEmpty},
  });
}

TEST(ParseAttributeTest, BrandPrecedence) {
  const std::string tamoId = "1284STRID=\"MFG:Tamo;MDL:T1;\"";
  const Fields idOnly = {"", "", "MFG:Tamo;MDL:T1;", ""};
  const Fields idTamo = {"", "", "MFG:Tamo;MDL:T1;", "Tamo"};
  const Fields idKorvane = {"", "", "MFG:Tamo;MDL:T1;", "Korvane"};
  CheckAttributes({
      {"t", {tamoId}, idTamo},
      {"t", {"PRINTERVIDPID=5A210001", tamoId}, idKorvane},
      {"t", {tamoId, "PRINTERVIDPID=5A210001"}, idKorvane},
      {"t", {tamoId, "PRINTERVIDPID=12340001"}, idOnly},
      {"t", {tamoId, "PRINTERVIDPID=12340001", "MDNSNAME=Tamo-1"}, idTamo},
      {"t", {"PRINTERVIDPID=5A210001", "MDNSNAME=Tamo-1"}, {"", "", "", "Korvane"}},
      {"t", {"MDNSNAME=\"my Tamo\""}, {"", "", "", "Tamo"}},
      {"t", {"MDNSNAME=xTamox"}, {"", "", "", "Tamo"}},
      // Only the device ID and the mDNS name adopt the brand text.
      {"t", {"IPADDRESS=Tamo"}, {"", "Tamo", "", ""}},
      {"t", {"MDNSNAME=TAMO"}, kEmpty},
      {"t", {"MDNSNAME=Tamo\"KVT-1\""}, kEmpty},
      {"t", {"MDNSNAME=Tam"}, kEmpty},
      // Only the text after the first quote is matched.
      {"t", {"1284STRID=Tamo\"MFG:Acme;\""}, {"", "", "MFG:Acme;", ""}},
      // Without a quote the whole value is the device ID, and it is matched.
      {"t", {"1284STRID=MFG:Tamo;"}, {"", "", "MFG:Tamo;", "Tamo"}},
      {"g", {tamoId}, idOnly},
      {"g", {"MDNSNAME=Printer-1"}, {"", "", "", "Printer"}},
      {"g", {"1284STRID=\"MFG:Acme;CLS:Printer;\""}, {"", "", "MFG:Acme;CLS:Printer;", "Printer"}},
      {"s", {"MDNSNAME=SOLENA-7"}, {"", "", "", "SOLENA"}},
      {"s", {"MDNSNAME=Solena-7"}, kEmpty},
      {"z", {"1284STRID=\"MFG:ZALOR;\""}, {"", "", "MFG:ZALOR;", "ZALOR"}},
      {"o", {"MDNSNAME=Orbec", "1284STRID=\"MFG:Tamo;\""}, {"", "", "MFG:Tamo;", "Orbec"}},
      {"o", {"PRINTERVIDPID=2E970001", "MDNSNAME=Orbec"}, {"", "", "", "Tamo"}},
  });
}

}  // namespace
