#include "link/transceive_buffer.h"

#include <gtest/gtest.h>

#include <vector>

namespace zarn {
namespace {

TEST(TransceiveBuffer, AppendClipsAtCapacityAndPushRefusesWhenFull) {
  CTransceiveBuffer buffer;
  std::vector<std::uint8_t> bytes(1020, 0x11);
  EXPECT_TRUE(buffer.AppendBytes(bytes.data(), 1020));
  const std::uint8_t ten[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  EXPECT_FALSE(buffer.AppendBytes(ten, 10));
  EXPECT_EQ(buffer.length, 1024u);
  EXPECT_EQ(buffer.data[1023], 4);
  EXPECT_FALSE(buffer.PushByte(0x55));
  EXPECT_EQ(buffer.length, 1024u);
}

TEST(TransceiveBuffer, ReadCopiesFromTheStartAndNeverPastTheData) {
  CTransceiveBuffer buffer;
  std::uint8_t out[8] = {};
  std::uint32_t count = 0;
  EXPECT_FALSE(buffer.ReadBytes(out, count));
  count = 4;
  EXPECT_FALSE(buffer.ReadBytes(out, count));  // empty: nothing to read
  ASSERT_TRUE(buffer.PushByte(0x00));
  ASSERT_TRUE(buffer.PushByte(0xAB));
  count = 8;
  EXPECT_TRUE(buffer.ReadBytes(out, count));
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(out[1], 0xAB);
  EXPECT_EQ(buffer.length, 2u);  // reading does not consume
}

}  // namespace
}  // namespace zarn
