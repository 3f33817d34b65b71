// Tests of the DataBuffer in which the query goes out and the replies come in.
// Every buffer's whole capacity is written or read somewhere below, so the
// sanitizer build also checks that the storage is as large as it claims.

#include "data_buffer.h"

#include <gtest/gtest.h>
#include <string.h>

#include <vector>

#include "kvt.h"
#include "test_util.h"

namespace {

std::vector<unsigned char> Contents(const DataBuffer& buffer) {
  return std::vector<unsigned char>(buffer.Data(), buffer.Data() + buffer.Length());
}

TEST(DataBufferTest, NewBufferIsEmptyWithItsCapacity) {
  DataBuffer buffer(4096);
  EXPECT_EQ(buffer.Length(), 0);
  EXPECT_EQ(buffer.Capacity(), 4096);
  ASSERT_NE(buffer.Data(), nullptr);
  memset(buffer.Data(), 0xAB, 4096);
  EXPECT_EQ(buffer.Data()[4095], 0xAB);
}

TEST(DataBufferTest, AssignCopiesBytesAndSetsLength) {
  DataBuffer buffer(4096);
  buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
  EXPECT_EQ(buffer.Length(), 41);
  EXPECT_EQ(buffer.Capacity(), 4096);
  EXPECT_EQ(Contents(buffer), std::vector<unsigned char>(gDNSQueryPacket, gDNSQueryPacket + 41));

  // A second Assign replaces the length, shorter or not.
  const std::vector<unsigned char> three = {1, 2, 3};
  buffer.Assign(three.data(), 3);
  EXPECT_EQ(Contents(buffer), three);
  buffer.Assign(three.data(), 0);
  EXPECT_EQ(buffer.Length(), 0);

  // The whole capacity can be filled.
  DataBuffer exact(41);
  exact.Assign(gDNSQueryPacket, 41);
  EXPECT_EQ(Contents(exact), std::vector<unsigned char>(gDNSQueryPacket, gDNSQueryPacket + 41));
}

TEST(DataBufferTest, ConsumeDropsLeadingBytes) {
  struct Case {
    int length;
    int consume;
    const char* why;
  } cases[] = {
      {41, 10, "the query less ten bytes: the eleventh byte comes first"},
      {41, 0, "consuming nothing changes nothing"},
      {41, 41, "consuming everything leaves nothing"},
      {41, 40, "one byte left: the last one"},
      {4096, 1, "a full buffer moves 4095 bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::vector<unsigned char> source = Pattern(c.length, 3);
    DataBuffer buffer(4096);
    buffer.Assign(source.data(), c.length);
    EXPECT_EQ(buffer.Consume(c.consume), c.length - c.consume);
    EXPECT_EQ(buffer.Length(), c.length - c.consume);
    EXPECT_EQ(buffer.Capacity(), 4096);
    EXPECT_EQ(Contents(buffer),
              std::vector<unsigned char>(source.begin() + c.consume, source.end()));
  }

  // The example from the connector's use: the query, then ten bytes less.
  DataBuffer buffer(4096);
  buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
  EXPECT_EQ(buffer.Consume(10), 31);
  EXPECT_EQ(buffer.Data()[0], gDNSQueryPacket[10]);
  // Consuming twice adds up.
  EXPECT_EQ(buffer.Consume(1), 30);
  EXPECT_EQ(buffer.Data()[0], gDNSQueryPacket[11]);
}

TEST(DataBufferTest, SetLengthAfterReceiveKeepsOlderBytesBeyondIt) {
  // The buffer held the query; a 300-byte datagram then arrives in its storage
  // as recvfrom would put it there.
  DataBuffer buffer(4096);
  const std::vector<unsigned char> earlier = Pattern(4096, 11);
  buffer.Assign(earlier.data(), 4096);
  buffer.Assign(gDNSQueryPacket, kDNSQueryPacketSize);
  const std::vector<unsigned char> datagram = Pattern(300, 200);
  memcpy(buffer.Data(), datagram.data(), datagram.size());
  buffer.SetLength(300);

  EXPECT_EQ(buffer.Length(), 300);
  EXPECT_EQ(Contents(buffer), datagram);
  EXPECT_EQ(std::vector<unsigned char>(buffer.Data() + 300, buffer.Data() + 4096),
            std::vector<unsigned char>(earlier.begin() + 300, earlier.end()));

  buffer.SetLength(0);
  EXPECT_EQ(buffer.Length(), 0);
  buffer.SetLength(4096);
  EXPECT_EQ(buffer.Length(), 4096);
}

TEST(DataBufferTest, ReallocateGivesFreshStorageOfTheNewCapacity) {
  struct Case {
    int from;
    int to;
  } cases[] = {{4096, 64}, {64, 4096}, {41, 41}, {16, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.from << " -> " << c.to);
    DataBuffer buffer(c.from);
    const std::vector<unsigned char> old = Pattern(c.from, 5);
    buffer.Assign(old.data(), c.from);
    buffer.Reallocate(c.to);
    EXPECT_EQ(buffer.Capacity(), c.to);
    // The content is not kept, so neither is its length.
    EXPECT_EQ(buffer.Length(), 0);
    const std::vector<unsigned char> fresh = Pattern(c.to, 9);
    buffer.Assign(fresh.data(), c.to);
    EXPECT_EQ(Contents(buffer), fresh);
  }
}

}  // namespace
