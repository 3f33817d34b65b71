// The name walk as the reply parser uses it: the labels it keeps, the
// bytes it says a name takes, the lead bytes that mark a pointer, and the
// names it refuses. Each message lies in a buffer exactly as large as it,
// so that a read past its end is a heap overflow the sanitizer build
// reports.
#include "wire_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "data_buffer.h"
#include "dns_message.h"

namespace {

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
       Datagram().Label("KVT-1234").Pointer(kQuestionName), "KVT-1234", "_host-config", 8 + 1 + 2},
      {"a pointer alone", far, Datagram().Pointer(kQuestionName), "_host-config", "_udp", 2},
      {"lead byte 0xC1 is a pointer", far, Datagram().Byte(0xC1).Byte(0x0C), "c1", "far", 2},
      {"lead byte 0xC4 is a pointer, and leads on through 0xC1", far,
       Datagram().Label("x").Byte(0xC4).Byte(0x0C), "x", "c4", 2 + 2},
      {"0xC2 is the length of a 194-byte label", far,
       Datagram().Byte(0xC2).Raw(a194).Label("y").Byte(0), a194, "y", 195 + 2 + 1},
      {"0xC3 is the length of a 195-byte label", far,
       Datagram().Byte(0xC3).Raw(std::string(195, 'c')).Byte(0), std::string(195, 'c'), "", 197},
      {"a label's text ends at its first zero byte", far,
       Datagram().Label(std::string("ab\0cd", 5)).Label(std::string("\0e", 2)).Byte(0), "ab", "",
       6 + 3 + 1},
      {"third and later labels are read past, not kept", far, Datagram().Name({"a", "b", "c", "d"}),
       "a", "b", 9},
      {"a pointer's target byte 0 is an empty label", far, Datagram().Pointer(empty), "", "abc", 2},
      {"a pointer's target byte 0xC0 is a label length", far, Datagram().Pointer(pointerLead),
       std::string(192, 'p'), "", 2},
      {"only the first pointer counts its two bytes", far, Datagram().Label("a").Pointer(twoLabels),
       "a", "b", 2 + 2},
      {"the name reached through two pointers", far, Datagram().Pointer(twoLabels), "b",
       "_host-config", 2},
      // Behind a pointer the walk ends as soon as it holds two labels, so a
      // pointer back into its own name cannot keep it going.
      {"an empty label and a pointer back to it", Datagram(far).Byte(0),
       Datagram().Pointer(far.Offset()), "", "", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    std::vector<unsigned char> message = c.before.bytes();
    const size_t at = message.size();
    message.insert(message.end(), c.name.bytes().begin(), c.name.bytes().end());
    // Exactly as large as the message, so an overrun is a heap overflow.
    DataBuffer buffer(static_cast<int>(message.size()));
    buffer.Assign(message.data(), buffer.Capacity());
    std::string_view first, second;
    const unsigned char* begin = buffer.Data();
    EXPECT_EQ(ReadName(begin, begin + message.size(), begin + at, &first, &second), c.taken);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(second, c.second);
  }
}

// A name of "KVT", "_host-config" and labels of 61, 63, 63 and `last`
// bytes: 208 + `last` octets with its closing zero byte.
std::vector<unsigned char> LongName(const Datagram& header, int last) {
  Datagram d(header);
  d.Label("KVT").Label("_host-config");
  for (int length : {61, 63, 63, last}) d.Label(std::string(static_cast<size_t>(length), 'x'));
  return d.Byte(0).bytes();
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
      {"a pointer lead byte is the last byte", Datagram(header).Label("a").Byte(0xC0).bytes(), 12,
       0},
      {"a pointer to the end", Datagram(header).Pointer(14).bytes(), 12, 0},
      {"a pointer past the end", Datagram(header).Pointer(0xFF).bytes(), 12, 0},
      {"a pointer to a label that runs past the end",
       Datagram(header).Byte(0).Byte(9).Pointer(13).bytes(), 14, 0},
      {"a pointer to itself, read as a label, then back again", self.bytes(), 12, 0},
      {"a label of 255 bytes: more than a name can hold",
       Datagram(header).Label("z").Byte(0xFF).Raw(std::string(255, 'b')).Byte(0).bytes(), 12, 0},
      {"labels of 254 octets and the closing byte: 255 in all", LongName(header, 46), 12, 255},
      {"one octet more", LongName(header, 47), 12, 0},
      {"a chain of 17 pointers is read to its second label only",
       Datagram(seventeen).Pointer(chain17).bytes(), seventeen.Offset(), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    DataBuffer buffer(static_cast<int>(c.message.size()));
    buffer.Assign(c.message.data(), buffer.Capacity());
    std::string_view first, second;
    const unsigned char* begin = buffer.Data();
    EXPECT_EQ(ReadName(begin, begin + c.message.size(), begin + c.at, &first, &second), c.taken);
    if (c.taken != 0) {
      EXPECT_EQ(first, "KVT");
      EXPECT_EQ(second, "_host-config");
    }
  }
}

}  // namespace
