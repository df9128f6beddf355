#include <gtest/gtest.h>

#include <vector>

#include "sim/serial_frames.h"

namespace zarn::sim {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Result = RequestFrameParser::Result;

// Feeds every byte; the result of the last one.
Result FeedAll(RequestFrameParser& parser, const Bytes& bytes) {
  Result result = Result::kPending;
  for (std::uint8_t byte : bytes)
    result = parser.Feed(byte);
  return result;
}

TEST(RequestFrameParser, TakesTheToolsFramesApart) {
  struct Case {
    const char* name;
    Bytes wire;
    std::uint8_t address;
    std::uint8_t sequence;
    Bytes payload;
  };
  const Case cases[] = {
      {"version request", {0xFD, 0x00, 0x01, 0x64, 0x36, 0xFA, 0xFE}, 0x00, 0x01, {0x64}},
      {"escaped sequence, payload and check",
       {0xFD, 0x05, 0xFF, 0x02, 0x64, 0xFF, 0x01, 0x06, 0xFF, 0x02, 0xFE},
       0x05,
       0xFD,
       {0x64, 0xFE}},
      {"noise before the start",
       {0x11, 0xFE, 0xFF, 0xFD, 0x00, 0x01, 0x64, 0x36, 0xFA, 0xFE},
       0x00,
       0x01,
       {0x64}},
      {"a new start drops the half frame",
       {0xFD, 0x00, 0x07, 0xFD, 0x00, 0x01, 0x64, 0x36, 0xFA, 0xFE},
       0x00,
       0x01,
       {0x64}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestFrameParser parser;
    ASSERT_EQ(FeedAll(parser, c.wire), Result::kFrame);
    EXPECT_EQ(parser.address(), c.address);
    EXPECT_EQ(parser.sequence(), c.sequence);
    EXPECT_EQ(Bytes(parser.payload().begin(), parser.payload().end()), c.payload);
  }
}

TEST(RequestFrameParser, CountsTheWireBytesOfTheFrame) {
  RequestFrameParser parser;
  const Bytes wire{0xFD, 0x05, 0xFF, 0x02, 0x64, 0xFF, 0x01, 0x06, 0xFF, 0x02, 0xFE};
  ASSERT_EQ(FeedAll(parser, Bytes{0x00, 0x00}), Result::kPending);
  ASSERT_EQ(FeedAll(parser, wire), Result::kFrame);
  EXPECT_EQ(parser.wireLength(), wire.size());
}

TEST(RequestFrameParser, RefusesDamagedFrames) {
  struct Case {
    const char* name;
    Bytes wire;
    Result result;
  };
  const Case cases[] = {
      {"payload byte changed", {0xFD, 0x00, 0x01, 0x65, 0x36, 0xFA, 0xFE}, Result::kBadCheck},
      {"escape of a byte above 02", {0xFD, 0x00, 0x01, 0xFF, 0x03}, Result::kMalformed},
      {"too short", {0xFD, 0x00, 0x01, 0x36, 0xFE}, Result::kMalformed},
      {"escape right before the end",
       {0xFD, 0x00, 0x01, 0x64, 0x36, 0xFA, 0xFF, 0xFE},
       Result::kMalformed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RequestFrameParser parser;
    EXPECT_EQ(FeedAll(parser, c.wire), c.result);
  }
}

TEST(RequestFrameParser, EndlessNoiseInAFrameIsDroppedNotOverrun) {
  RequestFrameParser parser;
  parser.Feed(0xFD);
  bool malformed = false;
  for (int i = 0; i < 5000; ++i)
    malformed = malformed || parser.Feed(0x41) == Result::kMalformed;
  EXPECT_TRUE(malformed);
  EXPECT_EQ(FeedAll(parser, Bytes{0xFD, 0x00, 0x01, 0x64, 0x36, 0xFA, 0xFE}), Result::kFrame);
}

TEST(EncodeAnswerFrame, FramesStatusAndData) {
  EXPECT_EQ(EncodeAnswerFrame(0x00, 0x01, Bytes{0x00, 0x11, 0x22}),
            (Bytes{0xFD, 0x00, 0x01, 0x00, 0x00, 0x11, 0x22, 0x92, 0x72, 0xFE}));
}

TEST(EncodeAnswerFrame, EscapesReservedBytesAndRoundTrips) {
  const Bytes frame = EncodeAnswerFrame(0xFE, 0xFD, Bytes{0x00, 0xFF, 0xFD, 0x10});
  for (std::size_t i = 1; i + 1 < frame.size(); ++i) {
    if (frame[i] == 0xFF) {
      EXPECT_LE(frame[++i], 0x02) << "escaped byte at " << i;
    } else {
      EXPECT_LT(frame[i], 0xFD) << "reserved byte at " << i;
    }
  }
  // The reader's own parser reads it back (the spare byte and status are payload to it).
  RequestFrameParser parser;
  ASSERT_EQ(FeedAll(parser, frame), Result::kFrame);
  EXPECT_EQ(parser.address(), 0xFE);
  EXPECT_EQ(parser.sequence(), 0xFD);
  EXPECT_EQ(Bytes(parser.payload().begin(), parser.payload().end()),
            (Bytes{0x00, 0x00, 0xFF, 0xFD, 0x10}));
}

TEST(EncodeAnswerFrame, FaultsChangeOnlyTheirField) {
  const Bytes good = EncodeAnswerFrame(0x07, 0x21, Bytes{0x00});
  const Bytes badCheck = EncodeAnswerFrame(0x07, 0x21, Bytes{0x00}, {true, false, false});
  const Bytes badSequence = EncodeAnswerFrame(0x07, 0x21, Bytes{0x00}, {false, true, false});
  const Bytes badAddress = EncodeAnswerFrame(0x07, 0x21, Bytes{0x00}, {false, false, true});
  RequestFrameParser parser;
  EXPECT_EQ(FeedAll(parser, badCheck), Result::kBadCheck);
  ASSERT_EQ(FeedAll(parser, badSequence), Result::kFrame);
  EXPECT_EQ(parser.sequence(), 0x22);
  ASSERT_EQ(FeedAll(parser, badAddress), Result::kFrame);
  EXPECT_EQ(parser.address(), 0x08);
  ASSERT_EQ(FeedAll(parser, good), Result::kFrame);
}

}  // namespace
}  // namespace zarn::sim
