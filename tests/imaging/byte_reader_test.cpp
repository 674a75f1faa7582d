#include "imaging/byte_reader.h"

#include <gtest/gtest.h>

#include <vector>

namespace skalo {
namespace {

const std::vector<std::uint8_t> kBytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};

TEST(ByteReader, ReadsBothByteOrders) {
  ByteReader r(kBytes);
  EXPECT_EQ(r.u8(), 0x01);
  EXPECT_EQ(r.u16le(), 0x0302);
  EXPECT_EQ(r.u16be(), 0x0405);
  EXPECT_EQ(r.offset(), 5u);
  r.seek(0);
  EXPECT_EQ(r.u32le(), 0x04030201u);
  EXPECT_EQ(r.u32be(), 0x05060708u);
  EXPECT_TRUE(r.at_end());
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(ByteReader, OverReadThrowsAndKeepsTheCursor) {
  ByteReader r(kBytes);
  r.skip(6);
  EXPECT_THROW(r.u32le(), EEndOfData);
  EXPECT_EQ(r.offset(), 6u) << "a failed read must not move the cursor";
  EXPECT_EQ(r.u16be(), 0x0708);
  EXPECT_THROW(r.u8(), EEndOfData);
  EXPECT_THROW(r.peek(), EEndOfData);
  EXPECT_THROW(r.skip(1), EEndOfData);
  EXPECT_NO_THROW(r.skip(0));
  EXPECT_THROW(r.seek(9), EEndOfData);
  try {
    r.bytes(1);
    FAIL() << "bytes(1) at the end did not throw";
  } catch (const EEndOfData& e) {
    EXPECT_EQ(e.Message(), "Premature end of data");
  }
}

TEST(ByteReader, HugeCountsDoNotWrapAround) {
  ByteReader r(kBytes);
  r.skip(3);
  EXPECT_THROW(r.skip(SIZE_MAX), EEndOfData);
  EXPECT_THROW(r.bytes(SIZE_MAX - 1), EEndOfData);
  EXPECT_THROW(r.sub(SIZE_MAX, 2), EEndOfData);
  EXPECT_THROW(r.sub(4, SIZE_MAX), EEndOfData);
  EXPECT_THROW(r.sub(2, 7), EEndOfData);
}

TEST(ByteReader, SubReaderSeesOnlyItsRange) {
  const ByteReader r(kBytes);
  ByteReader s = r.sub(2, 3);
  EXPECT_EQ(s.size(), 3u);
  EXPECT_EQ(s.u8(), 0x03);
  const auto rest = s.bytes(2);
  EXPECT_EQ(rest[0], 0x04);
  EXPECT_EQ(rest[1], 0x05);
  EXPECT_THROW(s.u8(), EEndOfData);
  EXPECT_EQ(r.sub(8, 0).size(), 0u) << "an empty range at the end is valid";
}

TEST(ReadStreamRest, ReadsFromThePosition) {
  TMemoryStream stream(kBytes);
  stream.SetPosition(5);
  EXPECT_EQ(ReadStreamRest(stream), (std::vector<std::uint8_t>{0x06, 0x07, 0x08}));
  EXPECT_TRUE(ReadStreamRest(stream).empty());
}

}  // namespace
}  // namespace skalo
