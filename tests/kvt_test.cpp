// Tests of the host-config wire protocol: the query, the reply parser and
// its name reading, the attributes of the TXT record, and the DeviceRecord
// they fill. Datagrams are built by the Datagram builder below and handed to
// the parser in a DataBuffer exactly as large as the datagram, so that any
// read past the datagram's end is a heap overflow that the sanitizer build
// reports.

#include "kvt.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "data_buffer.h"
#include "dns_message.h"

namespace {

// The fields in the order macAddress, ipAddress, deviceId, brand.
typedef std::vector<std::string> Fields;
const Fields kEmpty = {"", "", "", ""};

Fields FieldsOf(const DeviceRecord& r) {
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
  std::vector<unsigned char> bytes;
  bool parsed;
  Fields fields;
};

void CheckReplies(const char* program, const std::vector<ReplyCase>& cases) {
  Discoverer discoverer(program);
  for (const ReplyCase& c : cases) {
    SCOPED_TRACE(c.why);
    DeviceRecord record;
    EXPECT_EQ(Parse(discoverer, c.bytes, record), c.parsed);
    EXPECT_EQ(FieldsOf(record), c.fields);
  }
}

// ---------------------------------------------------------------------------
// DeviceRecord

TEST(DeviceRecordTest, NewRecordIsEmpty) {
  DeviceRecord record;
  EXPECT_EQ(FieldsOf(record), kEmpty);
}

TEST(DeviceRecordTest, SettersAndGettersReachEachField) {
  DeviceRecord record;
  record.setMacAddress("80C4A2E691D5");
  record.setIpAddress("10.0.0.5");
  record.setDeviceId("MFG:Tamo;");
  record.setBrand("Tamo");
  EXPECT_EQ(FieldsOf(record), (Fields{"80C4A2E691D5", "10.0.0.5", "MFG:Tamo;", "Tamo"}));
  // The getters hand out the fields themselves.
  record.macAddress() += "X";
  record.ipAddress().clear();
  record.deviceId() = "d";
  record.brand()[0] = 'S';
  EXPECT_EQ(FieldsOf(record), (Fields{"80C4A2E691D5X", "", "d", "Samo"}));
}

TEST(DeviceRecordTest, CopiesShareNothingWithTheirSource) {
  DeviceRecord source;
  source.setMacAddress("80C4A2E691D5");
  source.setIpAddress("10.0.0.5");
  source.setDeviceId("MFG:Tamo;");
  source.setBrand("Tamo");
  const Fields original = FieldsOf(source);

  DeviceRecord copy(source);
  EXPECT_EQ(FieldsOf(copy), original);
  copy.setMacAddress("000000000000");
  copy.ipAddress() = "10.0.0.6";
  copy.deviceId().clear();
  copy.brand() += "!";
  EXPECT_EQ(FieldsOf(source), original);
  source.setBrand("Korvane");
  EXPECT_EQ(FieldsOf(copy), (Fields{"000000000000", "10.0.0.6", "", "Tamo!"}));
  source.setBrand("Tamo");

  DeviceRecord assigned;
  assigned.setIpAddress("stale");
  DeviceRecord& result = (assigned = source);
  EXPECT_EQ(&result, &assigned);
  EXPECT_EQ(FieldsOf(assigned), original);
  assigned.macAddress()[0] = '0';
  assigned.setIpAddress("1.1.1.1");
  EXPECT_EQ(FieldsOf(source), original);
  source.deviceId() = "changed";
  source.setMacAddress("");
  EXPECT_EQ(FieldsOf(assigned), (Fields{"00C4A2E691D5", "1.1.1.1", "MFG:Tamo;", "Tamo"}));

  // Assigning an empty record empties every field.
  assigned = DeviceRecord();
  EXPECT_EQ(FieldsOf(assigned), kEmpty);
}

// ---------------------------------------------------------------------------
// The query

TEST(QueryTest, PacketIsTheHostConfigPtrQuestion) {
  const std::vector<unsigned char> expected = {
      0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x0C, 0x5F, 0x68, 0x6F, 0x73, 0x74, 0x2D, 0x63, 0x6F, 0x6E,
      0x66, 0x69, 0x67, 0x04, 0x5F, 0x75, 0x64, 0x70, 0x05, 0x6C, 0x6F,
      0x63, 0x61, 0x6C, 0x00, 0x00, 0x0C, 0x80, 0x01};
  EXPECT_EQ(kDNSQueryPacketSize, 41);
  EXPECT_EQ(sizeof(gDNSQueryPacket), 41u);
  EXPECT_EQ(std::vector<unsigned char>(gDNSQueryPacket, gDNSQueryPacket + 41), expected);
  // The builder's question is the same name, type and class.
  Datagram d;
  d.Header(0, 1, 0, 0, 0).HostConfigQuestion();
  EXPECT_EQ(std::vector<unsigned char>(d.bytes().begin() + 12, d.bytes().end()),
            std::vector<unsigned char>(expected.begin() + 12, expected.end()));
}

// ---------------------------------------------------------------------------
// ReadName

TEST(ReadNameTest, LabelsPointersAndBytesTaken) {
  struct Case {
    const char* why;
    Datagram before;  // the message before the name
    Datagram name;    // the name under test, appended to it
    std::string first;
    std::string second;
    int taken;
  };
  // A message that repeats the question (so offset 12 holds "_host-config")
  // and has more labels at 0x10C and 0x40C for the pointers with lead bytes
  // 0xC1 and 0xC4.
  Datagram far;
  far.Header(kReplyFlags, 1, 0, 0, 0).HostConfigQuestion();
  const int empty = far.Offset();  // an empty label, then "abc"
  far.Byte(0).Label("abc").Byte(0);
  const int pointerLead = far.Offset();  // 0xC0 read as a label length
  far.Byte(0xC0).Byte('p', 192).Byte(0);
  const int twoLabels = far.Offset();  // "b", then back to the question
  far.Label("b").Pointer(kQuestionName);
  far.PadTo(0x10C).Label("c1").Label("far").Byte(0);
  far.PadTo(0x40C).Label("c4").Pointer(0x10C);

  const std::string a194(194, 'a');
  const std::vector<Case> cases = {
      {"the root", far, Datagram().Byte(0), "", "", 1},
      {"three labels in place", far, Datagram().Name({"KVT-1234", "_host-config", "local"}),
       "KVT-1234", "_host-config", 9 + 13 + 6 + 1},
      {"the instance label, then C0 0C to the question's name", far,
       Datagram().Label("KVT-1234").Pointer(kQuestionName), "KVT-1234", "_host-config",
       8 + 1 + 2},
      {"a pointer alone", far, Datagram().Pointer(kQuestionName), "_host-config", "_udp", 2},
      {"lead byte 0xC1 is a pointer", far, Datagram().Byte(0xC1).Byte(0x0C), "c1", "far", 2},
      {"lead byte 0xC4 is a pointer, and leads on through 0xC1", far,
       Datagram().Label("x").Byte(0xC4).Byte(0x0C), "x", "c4", 2 + 2},
      {"0xC2 is the length of a 194-byte label", far,
       Datagram().Byte(0xC2).Raw(a194).Label("y").Byte(0), a194, "y", 195 + 2 + 1},
      {"0xC3 is the length of a 195-byte label", far,
       Datagram().Byte(0xC3).Raw(std::string(195, 'c')).Byte(0), std::string(195, 'c'), "",
       197},
      {"a label's text ends at its first zero byte", far,
       Datagram().Label(std::string("ab\0cd", 5)).Label(std::string("\0e", 2)).Byte(0), "ab",
       "", 6 + 3 + 1},
      {"third and later labels are read past, not kept", far,
       Datagram().Name({"a", "b", "c", "d"}), "a", "b", 9},
      {"a pointer's target byte 0 is an empty label", far, Datagram().Pointer(empty), "",
       "abc", 2},
      {"a pointer's target byte 0xC0 is a label length", far,
       Datagram().Pointer(pointerLead), std::string(192, 'p'), "", 2},
      {"only the first pointer counts its two bytes", far,
       Datagram().Label("a").Pointer(twoLabels), "a", "b", 2 + 2},
      {"the name reached through two pointers", far, Datagram().Pointer(twoLabels), "b",
       "_host-config", 2},
      // Behind a pointer the walk ends as soon as it holds two labels, so a
      // pointer back into its own name cannot keep it going.
      {"an empty label and a pointer back to it", Datagram(far).Byte(0), Datagram().Pointer(
           far.Offset()), "", "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<unsigned char> message = c.before.bytes();
    const size_t at = message.size();
    message.insert(message.end(), c.name.bytes().begin(), c.name.bytes().end());
    // Exactly as large as the message, so an overrun is a heap overflow.
    DataBuffer buffer(static_cast<int>(message.size()));
    buffer.Assign(message.data(), buffer.Capacity());
    std::string first, second;
    const unsigned char* begin = buffer.Data();
    EXPECT_EQ(Discoverer::ReadName(begin, begin + message.size(), begin + at, first, second),
              c.taken);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(second, c.second);
  }
}

// Labels "KVT", "_host-config", then "x" each, every one but the last
// followed by a pointer to the next: a name that starts with a pointer to the
// first link follows `links` pointers in all.
Datagram PointerChain(Datagram d, int links, int* start) {
  *start = d.Offset();
  for (int i = 0; i < links; ++i) {
    d.Label(i == 0 ? "KVT" : i == 1 ? "_host-config" : "x");
    if (i + 1 < links)
      d.Pointer(d.Offset() + 2);
    else
      d.Byte(0);
  }
  return d;
}

TEST(ReadNameTest, MalformedNamesTakeZeroBytes) {
  struct Case {
    const char* why;
    std::vector<unsigned char> message;
    int at;
    int taken;
  };
  Datagram header;
  header.Header(kReplyFlags, 0, 1, 0, 0);
  int chain17 = 0;
  const Datagram seventeen = PointerChain(header, 17, &chain17);
  Datagram self(header);  // 0xC0 at 12 as a 192-byte label that ends in C0 0C
  self.Pointer(12).Byte('s', 191).Pointer(12).Byte(0);

  const std::vector<Case> cases = {
      {"the position is the end", Datagram(header).bytes(), 12, 0},
      {"a label runs past the end", Datagram(header).Byte(5).Raw("abc").bytes(), 12, 0},
      {"the last label has no byte after it", Datagram(header).Label("abc").bytes(), 12, 0},
      {"a pointer lead byte is the last byte", Datagram(header).Label("a").Byte(0xC0).bytes(),
       12, 0},
      {"a pointer to the end", Datagram(header).Pointer(14).bytes(), 12, 0},
      {"a pointer past the end", Datagram(header).Pointer(0xFF).bytes(), 12, 0},
      {"a pointer to a label that runs past the end",
       Datagram(header).Byte(0).Byte(9).Pointer(13).bytes(), 14, 0},
      {"a pointer to itself, read as a label, then back again", self.bytes(), 12, 0},
      {"a label of 255 bytes: more than a name can hold",
       Datagram(header).Label("z").Byte(0xFF).Raw(std::string(255, 'b')).Byte(0).bytes(), 12, 0},
      {"labels of 254 octets and the closing byte: 255 in all",
       Datagram(header).Label("KVT").Label("_host-config").Label(std::string(61, 'x'))
           .Label(std::string(63, 'x')).Label(std::string(63, 'x')).Label(std::string(46, 'x'))
           .Byte(0).bytes(), 12, 255},
      {"one octet more", Datagram(header).Label("KVT").Label("_host-config")
           .Label(std::string(61, 'x')).Label(std::string(63, 'x')).Label(std::string(63, 'x'))
           .Label(std::string(47, 'x')).Byte(0).bytes(), 12, 0},
      {"a chain of 17 pointers is read to its second label only",
       Datagram(seventeen).Pointer(chain17).bytes(), seventeen.Offset(), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    DataBuffer buffer(static_cast<int>(c.message.size()));
    buffer.Assign(c.message.data(), buffer.Capacity());
    std::string first, second;
    const unsigned char* begin = buffer.Data();
    EXPECT_EQ(Discoverer::ReadName(begin, begin + c.message.size(), begin + c.at, first,
                                   second),
              c.taken);
    if (c.taken != 0) {
      EXPECT_EQ(first, "KVT");
      EXPECT_EQ(second, "_host-config");
    }
  }
}

TEST(ReadTextStringTest, LengthByteAndTextCutAtZero) {
  struct Case {
    std::vector<unsigned char> bytes;
    std::string text;
    int length;
  };
  std::vector<unsigned char> longest(256, 'L');
  longest[0] = 255;
  const std::vector<Case> cases = {
      {{3, 'a', 'b', 'c'}, "abc", 3},
      {{0}, "", 0},
      {{5, 'a', 0, 'b', 'c', 'd'}, "a", 5},
      {{2, 0, 'x'}, "", 2},
      {longest, std::string(255, 'L'), 255},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    DataBuffer buffer(static_cast<int>(c.bytes.size()));
    buffer.Assign(c.bytes.data(), buffer.Capacity());
    uint16_t length = 1000;
    EXPECT_EQ(Discoverer::ReadTextString(buffer.Data(), length), c.text);
    EXPECT_EQ(length, c.length);
  }
}

// ---------------------------------------------------------------------------
// ParseReply on well-formed messages

// A TXT record named KVT._host-config, written in place.
Datagram& HostConfigTxt(Datagram& d, const std::vector<std::string>& strings) {
  return d.Name({"KVT", "_host-config"}).Txt(strings);
}

// A message with no question and the given records: `records` is the ARCOUNT.
Datagram Records(int records) {
  Datagram d;
  d.Header(kReplyFlags, 0, 0, 0, records);
  return d;
}

// A filler record whose RDATA reaches past `offset`, where it holds the name
// KVT._host-config; then the TXT record named by a pointer to it.
std::vector<unsigned char> TxtNamedFromFar(int offset) {
  Datagram d = Records(2);
  d.Name({"pad"});
  const int rdata = d.Offset() + 10;
  d.Fixed(kTypeA, offset + 4 + 13 + 1 - rdata).PadTo(offset);
  d.Name({"KVT", "_host-config"});
  d.Pointer(offset).Txt({"IPADDRESS=10.0.0.5"});
  return d.bytes();
}

const Fields kPrinter = {"80C4A2E691D5", "10.0.0.5", "MFG:Tamo;CMD:ESC/P;MDL:T1;CLS:PRINTER;",
                         "Tamo"};
const Fields kIpOnly = {"", "10.0.0.5", "", ""};
const std::vector<std::string> kIpTxt = {"IPADDRESS=10.0.0.5"};

TEST(ParseReplyTest, WellFormedReplies) {
  Datagram query;
  query.Header(0, 1, 0, 0, 0).HostConfigQuestion();
  Datagram twelve;
  twelve.Header(kReplyFlags, 0, 1, 0, 1);
  Datagram thirteen;
  thirteen.Header(kReplyFlags, 0, 0, 0, 0).Byte(0);

  // AN 1, NS 1, AR 1: the PTR answer, then an SRV and the TXT record in
  // either order.
  Datagram txtLast = WithAnswer(1, 1);
  txtLast.Pointer(kInstanceName).Fixed(kTypeSRV, 8).U16(0).U16(0).U16(9100).Pointer(kLocalLabel);
  txtLast.Pointer(kInstanceName).Txt(kIpTxt);
  Datagram txtSecond = WithAnswer(1, 1);
  txtSecond.Pointer(kInstanceName).Txt(kIpTxt);
  txtSecond.Pointer(kInstanceName).Fixed(kTypeSRV, 8).U16(0).U16(0).U16(9100).Pointer(kLocalLabel);

  Datagram ptrAndTxt = WithAnswer(0, 1);
  ptrAndTxt.Pointer(kInstanceName).Txt(kIpTxt);

  Datagram wrapsToZero;  // 0xFFFF + 1
  wrapsToZero.Header(kReplyFlags, 0, 0xFFFF, 0, 1);
  HostConfigTxt(wrapsToZero, kIpTxt);
  Datagram wrapsToOne;  // 0xFFFF + 2: only the SRV is walked
  wrapsToOne.Header(kReplyFlags, 0, 0xFFFF, 0, 2).Name({"KVT", "_host-config"}).Fixed(kTypeSRV, 6);
  wrapsToOne.U16(0).U16(0).U16(9100);
  HostConfigTxt(wrapsToOne, kIpTxt);
  Datagram countLeft = Records(0xFFFF);  // the count does not matter once found
  HostConfigTxt(countLeft, kIpTxt);

  Datagram srvOnly = Records(1);
  srvOnly.Name({"KVT", "_host-config"}).Fixed(kTypeSRV, 6).U16(0).U16(0).U16(9100);
  Datagram srvThenTxt = Records(2);
  srvThenTxt.Name({"KVT", "_host-config"}).Fixed(kTypeSRV, 6).U16(0).U16(0).U16(9100);
  HostConfigTxt(srvThenTxt, kIpTxt);
  Datagram aThenTxt = Records(2);  // an A record named like the instance
  aThenTxt.Name({"KVT", "_host-config"}).Fixed(kTypeA, 4).Byte(10).Byte(0).Byte(0).Byte(5);
  HostConfigTxt(aThenTxt, kIpTxt);
  Datagram swappedType = Records(1);  // TYPE 0x1000: TXT read little-endian
  swappedType.Name({"KVT", "_host-config"}).Fixed(0x1000, 19).Label("IPADDRESS=10.0.0.5");
  Datagram highType = Records(1);  // TYPE 0x0110: TXT in its low byte only
  highType.Name({"KVT", "_host-config"}).Fixed(0x0110, 19).Label("IPADDRESS=10.0.0.5");
  Datagram otherTxtFirst = Records(2);  // a TXT record of another service
  otherTxtFirst.Name({"KVT", "_ipp", "_tcp", "local"}).Txt({"IPADDRESS=10.0.0.66"});
  HostConfigTxt(otherTxtFirst, kIpTxt);

  Datagram twoTxt = Records(2);
  HostConfigTxt(twoTxt, kIpTxt);
  HostConfigTxt(twoTxt, {"IPADDRESS=10.0.0.6", "MACUAA=0123456789AB"});
  Datagram garbageAfter = Records(9);
  HostConfigTxt(garbageAfter, kIpTxt).Byte(0xFF, 3);

  Datagram upperCase = Records(1);
  upperCase.Name({"KVT", "_HOST-CONFIG"}).Txt(kIpTxt);
  Datagram mixedCase = Records(1);
  mixedCase.Name({"KVT", "_Host-config"}).Txt(kIpTxt);
  Datagram serviceType = Records(1);
  serviceType.Name({"_host-config", "_udp", "local"}).Txt(kIpTxt);
  Datagram otherLabels = Records(1);
  otherLabels.Name({"any instance", "_host-config", "x", "y", "z"}).Txt(kIpTxt);

  Datagram oneZeroByte = Records(1);
  HostConfigTxt(oneZeroByte, {""});
  Datagram rdlengthZero = Records(1);
  rdlengthZero.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 0).Label("IPADDRESS=10.0.0.5");
  Datagram zeroInString = Records(1);
  HostConfigTxt(zeroInString, {std::string("IPADDRESS=10.0.0.5\0junk", 23)});
  Datagram emptyStrings = Records(1);
  HostConfigTxt(emptyStrings, {"", "IPADDRESS=10.0.0.5", "", "no equals sign"});
  Datagram otherClass = Records(1);
  otherClass.Name({"KVT", "_host-config"}).U16(kTypeTXT).U16(0x00FF).U32(0).U16(19);
  otherClass.Label("IPADDRESS=10.0.0.5");

  Datagram c1Question;
  c1Question.Header(kReplyFlags, 1, 0, 0, 1).Byte(0xC1).Byte('q', 193).Byte(0);
  HostConfigTxt(c1Question.U16(kTypePTR).U16(1), kIpTxt);
  Datagram c4Question;
  c4Question.Header(kReplyFlags, 1, 0, 0, 1).Label("a").Byte(0xC4).Byte('q', 196).Byte(0);
  HostConfigTxt(c4Question.U16(kTypePTR).U16(1), kIpTxt);
  Datagram pointerQuestion;  // the second question ends in C0 0C
  pointerQuestion.Header(kReplyFlags, 2, 0, 0, 1).HostConfigQuestion();
  const int secondQuestion = pointerQuestion.Offset();
  pointerQuestion.Label("KVT").Pointer(kQuestionName).U16(kTypePTR).U16(1);
  pointerQuestion.Pointer(secondQuestion).Txt(kIpTxt);
  Datagram selfQuestion;  // questions are passed over, pointers not followed
  selfQuestion.Header(kReplyFlags, 1, 0, 0, 1).Pointer(12).U16(kTypePTR).U16(1);
  HostConfigTxt(selfQuestion, kIpTxt);
  Datagram c2Record = Records(1);
  c2Record.Byte(0xC2).Byte('n', 194).Label("_host-config").Byte(0).Txt(kIpTxt);

  const std::vector<ReplyCase> cases = {
      {"a printer's reply: PTR answer; SRV, TXT and A additional records",
       PrinterReply().bytes(), true, kPrinter},
      {"a 12-byte datagram", twelve.bytes(), false, kEmpty},
      {"a 13-byte response with every count 0", thirteen.bytes(), false, kEmpty},
      {"the query packet (QR 0)",
       std::vector<unsigned char>(gDNSQueryPacket, gDNSQueryPacket + 41), false, kEmpty},
      {"QR 0 in a printer's reply", PrinterReply(kPrinterTxt, 0x0400).bytes(), false, kEmpty},
      {"QR 0, every other flag bit set", PrinterReply(kPrinterTxt, 0x7FFF).bytes(), false,
       kEmpty},
      {"QR 1, every other flag bit set too", PrinterReply(kPrinterTxt, 0xFFFF).bytes(), true,
       kPrinter},
      {"only the PTR answer: its second label is _udp", WithAnswer(0, 0).bytes(), false,
       kEmpty},
      {"the PTR answer and the instance's TXT record, which holds only IPADDRESS",
       ptrAndTxt.bytes(), true, kIpOnly},
      {"AN 1, NS 1, AR 1 with the TXT record last: two records walked", txtLast.bytes(),
       false, kEmpty},
      {"AN 1, NS 1, AR 1 with the TXT record second", txtSecond.bytes(), true, kIpOnly},
      {"ANCOUNT + ARCOUNT wraps to 0", wrapsToZero.bytes(), false, kEmpty},
      {"ANCOUNT + ARCOUNT wraps to 1: the SRV alone is walked", wrapsToOne.bytes(), false,
       kEmpty},
      {"a count far beyond the records, TXT first", countLeft.bytes(), true, kIpOnly},
      {"SRV of a host-config instance is not the TXT record", srvOnly.bytes(), false, kEmpty},
      {"SRV of the instance passed over, then TXT", srvThenTxt.bytes(), true, kIpOnly},
      {"an A record of the instance passed over", aThenTxt.bytes(), true, kIpOnly},
      {"TYPE 0x1000 is not TXT", swappedType.bytes(), false, kEmpty},
      {"TYPE 0x0110 is not TXT", highType.bytes(), false, kEmpty},
      {"a TXT record of another service passed over", otherTxtFirst.bytes(), true, kIpOnly},
      {"of two matching TXT records only the first is read", twoTxt.bytes(), true, kIpOnly},
      {"bytes after the matching record are never read", garbageAfter.bytes(), true, kIpOnly},
      {"_HOST-CONFIG does not match", upperCase.bytes(), false, kEmpty},
      {"_Host-config does not match", mixedCase.bytes(), false, kEmpty},
      {"a TXT record of the service type itself: second label _udp", serviceType.bytes(),
       false, kEmpty},
      {"first, third and later labels take no part", otherLabels.bytes(), true, kIpOnly},
      {"RDATA of one zero byte: one empty string", oneZeroByte.bytes(), true, kEmpty},
      {"RDLENGTH 0: the string after it is not RDATA", rdlengthZero.bytes(), true, kEmpty},
      {"a string's text ends at its zero byte", zeroInString.bytes(), true, kIpOnly},
      {"empty strings and a string without = change nothing", emptyStrings.bytes(), true,
       kIpOnly},
      {"CLASS and TTL are not read", otherClass.bytes(), true, kIpOnly},
      {"0xC1 in a question's name is a 193-byte label", c1Question.bytes(), true, kIpOnly},
      {"0xC4 in a question's name is a 196-byte label", c4Question.bytes(), true, kIpOnly},
      {"C0 0C ends a question's name", pointerQuestion.bytes(), true, kIpOnly},
      {"a question that points at itself is passed over", selfQuestion.bytes(), true,
       kIpOnly},
      {"0xC2 in a record's name is a 194-byte label", c2Record.bytes(), true, kIpOnly},
      {"a record named through a 0xC1 pointer", TxtNamedFromFar(0x10C), true, kIpOnly},
      {"a record named through a 0xC4 pointer", TxtNamedFromFar(0x40C), true, kIpOnly},
  };
  CheckReplies("g", cases);
}

TEST(ParseReplyTest, BrandComesFromTheAttributes) {
  const std::vector<std::string> deviceIdOnly = {"IPADDRESS=10.0.0.5",
                                                 "1284STRID=\"MFG:Tamo;MDL:T1;\""};
  const std::vector<std::string> korvane = {"PRINTERVIDPID=5A210001",
                                            "1284STRID=\"MFG:Tamo;MDL:T1;\""};
  const std::vector<unsigned char> typical = PrinterReply().bytes();
  const std::vector<unsigned char> matched = PrinterReply(deviceIdOnly).bytes();
  const std::vector<unsigned char> vendor = PrinterReply(korvane).bytes();
  const Fields tamoId = {"", "10.0.0.5", "MFG:Tamo;MDL:T1;", "Tamo"};
  const Fields noBrand = {"", "10.0.0.5", "MFG:Tamo;MDL:T1;", ""};
  const Fields korvaneId = {"", "", "MFG:Tamo;MDL:T1;", "Korvane"};

  CheckReplies("t", {{"vendor 0x2E97", typical, true, kPrinter},
                     {"the device ID names Tamo", matched, true, tamoId},
                     {"vendor 0x5A21 before the device ID", vendor, true, korvaneId}});
  CheckReplies("z", {{"vendor 0x2E97", typical, true, kPrinter},
                     {"the device ID does not name ZALOR", matched, true, noBrand},
                     {"vendor 0x5A21 before the device ID", vendor, true, korvaneId}});
  CheckReplies("g", {{"the device ID does not name Printer", matched, true, noBrand}});
}

// ---------------------------------------------------------------------------
// ParseReply on malformed messages: whatever the counts, lengths and pointers
// say, nothing beyond the datagram is read. Before the host-config TXT record
// is found that gives false; inside it, the strings lying wholly inside both
// the RDATA and the datagram are applied and the result is true.

// A message of two records whose first, a filler, holds in its RDATA the
// pointer chain of PointerChain; `start` is where the chain begins.
Datagram ChainInFiller(int links, int* start) {
  Datagram d = Records(2);
  d.Name({"pad"}).Fixed(kTypeA, 4 + 13 + 2 * (links - 2) + 2 * (links - 1) + 1);
  return PointerChain(d, links, start);
}

TEST(ParseReplyTest, MalformedRepliesStayInsideTheDatagram) {
  const std::vector<std::string> two = {"IPADDRESS=10.0.0.7", "MACUAA=0123456789AB"};
  const Fields both = {"80C4A2E691D5", "10.0.0.7", "", ""};
  const Fields first = {"", "10.0.0.7", "", ""};

  Datagram manyQuestions;
  manyQuestions.Header(kReplyFlags, 0xFFFF, 0, 0, 1).HostConfigQuestion();
  HostConfigTxt(manyQuestions, two);
  Datagram questionLabelPast;
  questionLabelPast.Header(kReplyFlags, 1, 0, 0, 1).Byte(50).Raw("abc");
  Datagram questionUnended;
  questionUnended.Header(kReplyFlags, 1, 0, 0, 1).Label("_host-config");
  Datagram questionPointerCut;
  questionPointerCut.Header(kReplyFlags, 1, 0, 0, 1).Label("a").Byte(0xC0);
  Datagram questionNoType;
  questionNoType.Header(kReplyFlags, 1, 0, 0, 1).Name({"a"});
  Datagram questionTypeCut;
  questionTypeCut.Header(kReplyFlags, 1, 0, 0, 1).Name({"a"}).U16(kTypePTR).Byte(0x80);

  Datagram manyRecords;
  manyRecords.Header(kReplyFlags, 0, 0xFFFF, 0, 0).Name({"a", "b"}).Fixed(kTypeA, 4).U32(1);
  Datagram nameLabelPast = Records(1);
  nameLabelPast.Label("KVT").Byte(200).Raw("_host-config");
  Datagram nameUnended = Records(1);
  nameUnended.Label("KVT").Label("_host-config");
  Datagram namePointerCut = Records(1);
  namePointerCut.Label("KVT").Byte(0xC0);
  Datagram pointerToEnd = Records(1);
  pointerToEnd.Pointer(14);
  Datagram pointerPast = Records(1);
  pointerPast.Pointer(0xFF).Fixed(kTypeTXT, 0);
  // C1 00 (offset 256, past the end), whose 00 begins the fixed fields of a
  // record if the C1 were skipped.
  Datagram badNameThenTxt = Records(2);
  badNameThenTxt.Byte(0xC1).Fixed(kTypeA, 0);
  HostConfigTxt(badNameThenTxt, two);
  Datagram pointerSelf = Records(1);  // C0 0C at 12: a 192-byte label, C0 0C again
  pointerSelf.Pointer(12).Byte('s', 191).Pointer(12).Byte(0).Fixed(kTypeTXT, 0);
  Datagram pointerLoop = Records(1);  // a label, then back to the name's start
  pointerLoop.Label("a").Pointer(12).Fixed(kTypeTXT, 0);
  Datagram pointerToShort = Records(1);  // pointer to a length byte near the end
  pointerToShort.Pointer(14).Byte(9);
  int chain = 0;
  Datagram chain17 = ChainInFiller(17, &chain);
  chain17.Pointer(chain).Txt(two);

  Datagram fixedCut = Records(1);
  fixedCut.Name({"KVT", "_host-config"}).U16(kTypeTXT).U16(1);
  Datagram fixedCutOther = Records(1);
  fixedCutOther.Name({"a", "b"}).U16(kTypeA);
  Datagram rootThenNothing = Records(1);
  rootThenNothing.Byte(0);
  Datagram rdlengthPastEnd = Records(2);
  rdlengthPastEnd.Name({"a", "b"}).Fixed(kTypeA, 0xFFFF).U32(1);
  HostConfigTxt(rdlengthPastEnd, two);
  Datagram rdataOneShort = Records(2);
  rdataOneShort.Name({"a", "b"}).Fixed(kTypeA, 5).U32(1);

  Datagram txtRdlengthHuge = Records(1);
  txtRdlengthHuge.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 0xFFFF);
  txtRdlengthHuge.Label(two[0]).Label(two[1]);
  Datagram txtOverrunsRdata = Records(2);  // RDLENGTH ends 5 bytes into the second
  txtOverrunsRdata.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 19 + 5);
  txtOverrunsRdata.Label(two[0]).Label(two[1]);
  HostConfigTxt(txtOverrunsRdata, {"IPADDRESS=10.0.0.8"});
  Datagram txtOverrunsDatagram = Records(1);
  txtOverrunsDatagram.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 100);
  txtOverrunsDatagram.Label(two[0]).Byte(60).Raw("MACUAA=0123");
  Datagram txtLengthLast = Records(1);
  txtLengthLast.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 40).Label(two[0]).Byte(20);
  Datagram txtNoRdata = Records(1);
  txtNoRdata.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 3);
  Datagram txtShortStrings = Records(1);  // an attribute and 11 empty strings
  txtShortStrings.Name({"KVT", "_host-config"}).Fixed(kTypeTXT, 30).Label(two[0]);
  txtShortStrings.Byte(0, 11);

  std::vector<unsigned char> allC0(4096, 0xC0);
  std::vector<unsigned char> allC1(4096, 0xC1);
  std::vector<unsigned char> allFF(4096, 0xFF);
  Datagram zeroQuestions;
  zeroQuestions.Header(kReplyFlags, 0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF).PadTo(4096);
  Datagram zeroRecords;
  zeroRecords.Header(kReplyFlags, 1, 0xFFFF, 0, 0).PadTo(4096);
  Datagram manyPointers = Records(0x7FFF);  // records named C0 0C, RDLENGTH 0
  while (manyPointers.Offset() + 12 <= 4096) manyPointers.Pointer(12).Fixed(kTypeA, 0);
  manyPointers.PadTo(4096, 0xC0);

  const std::vector<ReplyCase> cases = {
      {"an empty datagram", {}, false, kEmpty},
      {"one byte", {0x80}, false, kEmpty},
      {"a header of 12 bytes with counts", Records(1).bytes(), false, kEmpty},
      {"QDCOUNT 65535 with one question", manyQuestions.bytes(), false, kEmpty},
      {"a question label past the end", questionLabelPast.bytes(), false, kEmpty},
      {"a question name without its zero byte", questionUnended.bytes(), false, kEmpty},
      {"a question pointer lead byte as the last byte", questionPointerCut.bytes(), false,
       kEmpty},
      {"a question without QTYPE and QCLASS", questionNoType.bytes(), false, kEmpty},
      {"a question cut inside QCLASS", questionTypeCut.bytes(), false, kEmpty},
      {"ANCOUNT 65535 with one record", manyRecords.bytes(), false, kEmpty},
      {"a record name label past the end", nameLabelPast.bytes(), false, kEmpty},
      {"a record name without its zero byte", nameUnended.bytes(), false, kEmpty},
      {"a record name pointer lead byte as the last byte", namePointerCut.bytes(), false,
       kEmpty},
      {"a pointer to the end", pointerToEnd.bytes(), false, kEmpty},
      {"a pointer past the end", pointerPast.bytes(), false, kEmpty},
      {"a bad name ends the walk: a good TXT record after it is not read",
       badNameThenTxt.bytes(), false, kEmpty},
      {"a pointer to itself", pointerSelf.bytes(), false, kEmpty},
      {"a label and a pointer back to it", pointerLoop.bytes(), false, kEmpty},
      {"a pointer to a label that runs past the end", pointerToShort.bytes(), false, kEmpty},
      {"17 pointers in a matching name: read to its second label", chain17.bytes(), true,
       both},
      {"fixed fields cut after TYPE TXT", fixedCut.bytes(), false, kEmpty},
      {"fixed fields cut after TYPE A", fixedCutOther.bytes(), false, kEmpty},
      {"a 13-byte datagram: a root name and nothing after", rootThenNothing.bytes(), false,
       kEmpty},
      {"RDLENGTH 0xFFFF of a record before the TXT record", rdlengthPastEnd.bytes(), false,
       kEmpty},
      {"RDATA one byte short of its RDLENGTH", rdataOneShort.bytes(), false, kEmpty},
      {"TXT RDLENGTH 0xFFFF, strings inside the datagram", txtRdlengthHuge.bytes(), true,
       both},
      {"TXT strings overrunning RDLENGTH", txtOverrunsRdata.bytes(), true, first},
      {"a TXT string overrunning the datagram", txtOverrunsDatagram.bytes(), true, first},
      {"a TXT length byte as the last byte", txtLengthLast.bytes(), true, first},
      {"TXT RDATA missing altogether", txtNoRdata.bytes(), true, kEmpty},
      {"RDATA filled up with empty strings", txtShortStrings.bytes(), true, first},
      {"4096 bytes of 0xC0", allC0, false, kEmpty},
      {"4096 bytes of 0xC1", allC1, false, kEmpty},
      {"4096 bytes of 0xFF", allFF, false, kEmpty},
      {"every count 65535, then zero bytes", zeroQuestions.bytes(), false, kEmpty},
      {"ANCOUNT 65535, then zero bytes", zeroRecords.bytes(), false, kEmpty},
      {"4096 bytes of records named C0 0C", manyPointers.bytes(), false, kEmpty},
  };
  CheckReplies("g", cases);
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
  }
}

TEST(ParseAttributeTest, BrandTextsOfTheProgramNames) {
  EXPECT_EQ(Discoverer("t").brand(), "Tamo");
  EXPECT_EQ(Discoverer("g").brand(), "Printer");
  EXPECT_EQ(Discoverer("s").brand(), "SOLENA");
  EXPECT_EQ(Discoverer("z").brand(), "ZALOR");
  EXPECT_EQ(Discoverer("o").brand(), "Orbec");
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
  const std::vector<std::string> keys = {"IPNETMASK",   "IPGATEWAY",   "IPNAME",
                                         "MACLAA",      "IPADDRSOURCE", "PASSWORDSET",
                                         "ADAPTERNAME", "CPDATTACHED", "UNKNOWN",
                                         "macuaa",      "MDNSNAME2"};
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
      {"000000000000", "000000000000"},
      {"0F1E2D3C4B5A", "F078B43CD25A"},
      {"0123", "80C400000000"},
      {"012", "804000000000"},
      {"", "000000000000"},
      {"\"\"", "000000000000"},
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
      // A ninth digit and beyond fall into the low bits again.
      {"g", {"PRINTERVIDPID=5A2100010000"}, kEmpty},
      {"g", {"PRINTERVIDPID=5A21000000000000"}, {"", "", "", "Korvane"}},
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

TEST(MatchBrandTest, OnlyDeviceIdAndMdnsNameWhileEmpty) {
  const Discoverer tamo("t");
  struct Case {
    std::string key;
    std::string value;
    std::string brandBefore;
    std::string brandAfter;
  } cases[] = {
      {"1284STRID", "MFG:Tamo;", "", "Tamo"},
      {"MDNSNAME", "Tamo", "", "Tamo"},
      {"MDNSNAME", "xTamox", "", "Tamo"},
      {"MDNSNAME", "Tamo", "Korvane", "Korvane"},
      {"MDNSNAME", "tamo", "", ""},
      {"IPADDRESS", "Tamo", "", ""},
      {"PRINTERVIDPID", "Tamo", "", ""},
      {"", "Tamo", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key + " " + c.value);
    DeviceRecord record;
    record.setBrand(c.brandBefore);
    tamo.MatchBrand(c.key, c.value, record);
    EXPECT_EQ(FieldsOf(record), (Fields{"", "", "", c.brandAfter}));
  }
}

TEST(StripQuotesTest, Cases) {
  struct Case {
    std::string in;
    std::string out;
  } cases[] = {
      {"", ""},
      {"abc", "abc"},
      {"\"abc\"", "abc"},
      {"x\"abc\"y", "abc"},
      {"\"a\"b\"", "a\"b"},
      {"abc\"def", "def"},
      {"\"abc", "abc"},
      {"abc\"", ""},
      {"\"", ""},
      {"\"\"", ""},
      {"\"\"\"", "\""},
  };
  for (const Case& c : cases) {
    std::string value = c.in;
    Discoverer::StripQuotes(value);
    EXPECT_EQ(value, c.out) << "from [" << c.in << "]";
  }
}

TEST(ReverseBitsTest, MirrorsEachByte) {
  const unsigned char pairs[][2] = {
      {0x01, 0x80}, {0x23, 0xC4}, {0x00, 0x00}, {0xFF, 0xFF}, {0x0F, 0xF0}, {0xAB, 0xD5}};
  for (const auto& p : pairs) EXPECT_EQ(Discoverer::ReverseBits(p[0]), p[1]) << int(p[0]);
  for (int k = 0; k < 8; ++k)
    EXPECT_EQ(Discoverer::ReverseBits(static_cast<unsigned char>(1 << k)), 0x80 >> k) << k;
  for (int b = 0; b < 256; ++b) {
    const unsigned char byte = static_cast<unsigned char>(b);
    EXPECT_EQ(Discoverer::ReverseBits(Discoverer::ReverseBits(byte)), byte) << b;
  }
}

TEST(ParseHexTest, DigitsFromTheEnd) {
  struct Case {
    std::string text;
    uint32_t value;
  } cases[] = {
      {"", 0},
      {"0", 0},
      {"F", 0xF},
      {"5A210001", 0x5A210001},
      {"5a210001", 0x5A210001},
      {"FFFFFFFF", 0xFFFFFFFF},
      {"0x1F", 0x1F},
      {"0x5A210001", 0x5A210001},
      {"G1", 0x1},
      {"1-2", 0x102},
      {"F00000000", 0xF},
      {"100000002", 0x3},
      {"123456789", 0x23456789},
      {"ABCDEF0123456789", 0xABCDEF89},
  };
  for (const Case& c : cases) EXPECT_EQ(Discoverer::ParseHex(c.text), c.value) << c.text;
}

}  // namespace
