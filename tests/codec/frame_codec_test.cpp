// The serial frame format: the check, the encoder and the receive state machine.

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "link/frame_codec.h"
#include "link/transfer.h"

namespace zarn {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(const CTransfer& engine) {
  return Bytes(engine.txFrame, engine.txFrame + engine.txCount);
}
Bytes Stored(const CTransfer& engine) {
  return Bytes(engine.rxFrame, engine.rxFrame + engine.rxCount);
}

std::uint16_t Check(const Bytes& bytes) {
  std::uint16_t crc = kCrcPreset;
  for (const std::uint8_t byte : bytes)
    crc = Crc16Update(crc, byte);
  return static_cast<std::uint16_t>(~crc);
}

TEST(Crc16, CheckValueOfTheNineDigits) {
  const std::string digits = "123456789";
  EXPECT_EQ(Check(Bytes(digits.begin(), digits.end())), 0x906E);
}

TEST(Crc16, GoodFrameLeavesTheFixedResidue) {
  Bytes bytes{0x05, 0x11, 0x64, 0xFE, 0x00};
  const std::uint16_t check = Check(bytes);
  bytes.push_back(static_cast<std::uint8_t>(check & 0xFF));
  bytes.push_back(static_cast<std::uint8_t>(check >> 8));
  std::uint16_t crc = kCrcPreset;
  for (const std::uint8_t byte : bytes)
    crc = Crc16Update(crc, byte);
  EXPECT_EQ(crc, 0xF0B8);
}

struct EncodeCase {
  std::uint8_t address;
  std::uint8_t sequenceBefore;
  Bytes payload;
  Bytes frame;
};

TEST(FrameEncoder, BuildsTheWireFormat) {
  const EncodeCase cases[] = {
      {0x00, 0x00, {0x64}, {0xFD, 0x00, 0x01, 0x64, 0x36, 0xFA, 0xFE}},
      // Sequence, payload byte and high check byte escaped.
      {0x05,
       0xFC,
       {0x64, 0xFE},
       {0xFD, 0x05, 0xFF, 0x02, 0x64, 0xFF, 0x01, 0x06, 0xFF, 0x02, 0xFE}},
  };
  for (const EncodeCase& c : cases) {
    CTransfer engine;
    engine.busAddress = c.address;
    engine.sequenceNumber = c.sequenceBefore;
    ASSERT_TRUE(
        engine.BuildRequestFrame(c.payload.data(), static_cast<std::uint32_t>(c.payload.size())));
    EXPECT_EQ(Frame(engine), c.frame);
    EXPECT_EQ(engine.sequenceNumber, static_cast<std::uint8_t>(c.sequenceBefore + 1));
  }
}

TEST(FrameEncoder, SequenceNumberWrapsAfter255Frames) {
  CTransfer engine;
  const std::uint8_t request = 0x64;
  for (int i = 0; i < 255; ++i)
    ASSERT_TRUE(engine.BuildRequestFrame(&request, 1));
  EXPECT_EQ(engine.sequenceNumber, 0xFF);
  ASSERT_TRUE(engine.BuildRequestFrame(&request, 1));
  EXPECT_EQ(engine.txFrame[2], 0x00);
}

// Wire length of a request frame, counted independently of the encoder.
std::size_t WireLength(std::uint8_t address, std::uint8_t sequence, const Bytes& payload) {
  Bytes plain{address, sequence};
  plain.insert(plain.end(), payload.begin(), payload.end());
  const std::uint16_t check = Check(plain);
  plain.push_back(static_cast<std::uint8_t>(check & 0xFF));
  plain.push_back(static_cast<std::uint8_t>(check >> 8));
  std::size_t length = 2;
  for (const std::uint8_t byte : plain)
    length += byte > 0xFC ? 2 : 1;
  return length;
}

TEST(FrameEncoder, RefusesWhatDoesNotFitAndWritesNothingPastTheStore) {
  struct SizeCase {
    std::size_t count;
    std::uint8_t fill;
  };
  // The worst case that always fits (2n + 10 = 1024), plain payloads around the exact limit,
  // and requests far too large for the store.
  const SizeCase cases[] = {{507, 0xFF},  {1016, 0x00}, {1017, 0x00}, {1018, 0x00},
                            {1019, 0x00}, {508, 0xFE},  {1024, 0xFD}, {1024, 0x00}};
  for (const SizeCase& c : cases) {
    CTransfer engine;
    engine.busAddress = 0xFD;
    engine.sequenceNumber = 0x40;
    const Bytes payload(c.count, c.fill);
    const bool fits = WireLength(0xFD, 0x41, payload) <= CTransfer::kFrameCapacity;
    SCOPED_TRACE(testing::Message() << c.count << " bytes of " << int{c.fill});
    EXPECT_EQ(engine.BuildRequestFrame(payload.data(), static_cast<std::uint32_t>(c.count)), fits);
    if (fits) {
      EXPECT_EQ(engine.txCount, WireLength(0xFD, 0x41, payload));
      EXPECT_EQ(engine.sequenceNumber, 0x41);
    } else {
      EXPECT_EQ(engine.txCount, 0u);
      EXPECT_EQ(engine.sequenceNumber, 0x40) << "a refused frame uses up no sequence number";
    }
  }
  CTransfer engine;
  const Bytes worst(507, 0xFF);
  engine.busAddress = 0xFE;
  engine.sequenceNumber = 0xFC;
  EXPECT_TRUE(engine.BuildRequestFrame(worst.data(), 507));
}

// One row: the parser's result for each byte fed, as digits, and the bytes stored after.
struct ParseCase {
  const char* name;
  std::uint8_t busAddress;
  std::uint8_t sequenceNumber;
  Bytes input;
  std::string results;
  Bytes stored;
};

TEST(FrameParser, ResultsForEachByte) {
  const ParseCase cases[] = {
      {"good answer",
       0,
       1,
       {0xFD, 0x00, 0x01, 0x00, 0x00, 0x11, 0x22, 0x92, 0x72, 0xFE},
       "1111111110",
       {0x01, 0x00, 0x00, 0x11, 0x22, 0x92, 0x72}},
      {"data byte changed",
       0,
       1,
       {0xFD, 0x00, 0x01, 0x00, 0x00, 0x11, 0x23, 0x92, 0x72, 0xFE},
       "1111111112",
       {0x01, 0x00, 0x00, 0x11, 0x23, 0x92, 0x72}},
      {"escape of a byte above 2", 0, 1, {0xFD, 0x00, 0x01, 0xFF, 0x03, 0x44}, "111154", {}},
      {"escape twice, then 02", 0, 1, {0xFD, 0x00, 0x01, 0xFF, 0xFF, 0x02}, "111111", {0x01, 0xFD}},
      {"wrong sequence", 0, 1, {0xFD, 0x00, 0x02, 0x00, 0x05, 0xFE}, "118443", {}},
      {"wrong address", 5, 1, {0xFD, 0x06, 0x01, 0x00}, "1744", {}},
      {"any address at bus address 0", 0, 1, {0xFD, 0x06, 0x01}, "111", {0x01}},
      {"escaped address and sequence", 0xFE, 0xFD, {0xFD, 0xFF, 0x01, 0xFF, 0x02}, "11111", {0xFD}},
      {"end after two stored bytes", 0, 1, {0xFD, 0x00, 0x01, 0x33, 0xFE}, "11113", {}},
      {"outside a frame", 0, 1, {0xFE, 0x10, 0xFF, 0x10}, "3414", {}},
      {"start restarts, also after escape",
       0,
       1,
       {0xFD, 0x00, 0x01, 0x20, 0xFF, 0xFD, 0x00, 0x01},
       "11111111",
       {0x01}},
      {"bytes after the end join the frame",
       0,
       1,
       {0xFD, 0x00, 0x01, 0x00, 0x00, 0x11, 0x22, 0x92, 0x72, 0xFE, 0x33},
       "11111111101",
       {0x01, 0x00, 0x00, 0x11, 0x22, 0x92, 0x72, 0x33}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    CTransfer engine;
    engine.busAddress = c.busAddress;
    engine.sequenceNumber = c.sequenceNumber;
    std::string results;
    for (const std::uint8_t byte : c.input)
      results += static_cast<char>('0' + engine.ParseByte(byte));
    EXPECT_EQ(results, c.results);
    EXPECT_EQ(Stored(engine), c.stored);
  }
}

TEST(FrameParser, ResetKeepsTheBusyFlag) {
  CTransfer engine;
  engine.sequenceNumber = 1;
  engine.stateFlags = FLAG_BUSY;
  for (const std::uint8_t byte : {0xFD, 0x00, 0x01, 0xFF})
    engine.ParseByte(byte);
  EXPECT_EQ(engine.stateFlags,
            FLAG_BUSY | FLAG_IN_FRAME | FLAG_ADDRESS_SEEN | FLAG_SEQUENCE_SEEN | FLAG_ESCAPE);
  EXPECT_EQ(engine.ParseByte(0x07), FRAME_BAD_ESCAPE);
  EXPECT_EQ(engine.stateFlags, FLAG_BUSY);
  EXPECT_EQ(engine.rxCount, 0u);
  EXPECT_EQ(engine.rxCheck, 0xFFFF);
}

TEST(FrameParser, StoreHoldsAtMost1023Bytes) {
  // A good frame of 1023 stored bytes: sequence, skipped byte, status, 1018 data bytes, check.
  Bytes stored{0x01, 0x00, 0x00};
  stored.resize(1021, 0x5A);
  Bytes checked{0x00};
  checked.insert(checked.end(), stored.begin(), stored.end());
  const std::uint16_t check = Check(checked);
  stored.push_back(static_cast<std::uint8_t>(check & 0xFF));
  stored.push_back(static_cast<std::uint8_t>(check >> 8));
  ASSERT_EQ(stored.size(), 1023u);

  CTransfer engine;
  engine.sequenceNumber = 1;
  engine.ParseByte(0xFD);
  engine.ParseByte(0x00);
  Bytes wire;
  for (const std::uint8_t byte : stored) {
    if (byte > 0xFC) {
      wire.push_back(0xFF);
      wire.push_back(static_cast<std::uint8_t>(~byte));
    } else {
      wire.push_back(byte);
    }
  }
  for (const std::uint8_t byte : wire)
    ASSERT_EQ(engine.ParseByte(byte), FRAME_CONTINUE);
  EXPECT_EQ(engine.ParseByte(0xFE), FRAME_COMPLETE);
  EXPECT_EQ(engine.rxCount, 1023u);

  CTransfer overflowing;
  overflowing.sequenceNumber = 1;
  overflowing.ParseByte(0xFD);
  overflowing.ParseByte(0x00);
  overflowing.ParseByte(0x01);
  for (int i = 0; i < 1022; ++i)
    ASSERT_EQ(overflowing.ParseByte(0x10), FRAME_CONTINUE);
  EXPECT_EQ(overflowing.rxCount, 1023u);
  EXPECT_EQ(overflowing.ParseByte(0x10), FRAME_OVERFLOW);
  EXPECT_EQ(overflowing.rxCount, 0u);
  EXPECT_EQ(overflowing.ParseByte(0x10), FRAME_NO_START);
}

// Untrusted input: any byte stream gives a documented result and stays inside the store.
TEST(FrameParser, RandomStreamsStayInsideTheStore) {
  std::mt19937 random(20240611);
  for (int stream = 0; stream < 200; ++stream) {
    CTransfer engine;
    engine.busAddress = static_cast<std::uint8_t>(random() % 3);
    engine.sequenceNumber = static_cast<std::uint8_t>(random() % 3);
    // Biased towards the reserved bytes and small values, so that frames really form.
    for (int i = 0; i < 5000; ++i) {
      const unsigned pick = random() % 16;
      const std::uint8_t byte = pick < 4
                                    ? static_cast<std::uint8_t>(0xFC + pick)
                                    : static_cast<std::uint8_t>(random() % (pick < 10 ? 3 : 256));
      const std::uint8_t result = engine.ParseByte(byte);
      ASSERT_LE(result, FRAME_WRONG_SEQUENCE);
      ASSERT_LT(engine.rxCount, CTransfer::kFrameCapacity);
      ASSERT_EQ(engine.stateFlags & ~FLAG_PARSER_MASK, 0);
    }
  }
}

}  // namespace
}  // namespace zarn
