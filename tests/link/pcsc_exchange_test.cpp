// ExchangeCommand over the PC/SC path against a scripted reader, and the framed path's refusals.

#include <gtest/gtest.h>

#include <algorithm>

#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/smart_card_reader.h"
#include "platform/pcsc.h"
#include "tests/support/fake_pcsc.h"

namespace zarn {
namespace {

using test::Bytes;

class PcscExchange : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    smartCardPathActive = true;
    smartCardReader.card = 0x2222;
  }
  void TearDown() override { test::ResetLinkState(); }

  std::uint32_t Exchange(const Bytes& request) {
    std::copy(request.begin(), request.end(), commandBlock.request);
    commandBlock.requestLength = static_cast<std::uint32_t>(request.size());
    return ExchangeCommand();
  }
  Bytes Response() const {
    return Bytes(commandBlock.response, commandBlock.response + commandBlock.responseLength);
  }

  test::FakePcsc pcsc;
};

struct AnswerCase {
  const char* name;
  Bytes answer;
  std::uint32_t result;
  std::uint32_t responseLength;
};

TEST_F(PcscExchange, AnswersAreJudgedByLengthStatusWordAndStatusByte) {
  Bytes longest(300, 0x00);
  longest[298] = 0x90;
  const AnswerCase cases[] = {
      {"status 0 alone", {0x00, 0x90, 0x00}, kSuccess, 1},
      {"status and data", {0x00, 0x11, 0x22, 0x90, 0x00}, kSuccess, 3},
      {"reader refused", {0x01, 0x90, 0x00}, SCARD_F_INTERNAL_ERROR, 3},
      {"wrong status word", {0x00, 0x6A, 0x82}, SCARD_E_INVALID_PARAMETER, 3},
      {"status word only", {0x90, 0x00}, SCARD_E_COMM_DATA_LOST, 2},
      {"one byte", {0x00}, SCARD_E_COMM_DATA_LOST, 0},
      {"nothing", {}, SCARD_E_COMM_DATA_LOST, 0},
      {"300 bytes", longest, kSuccess, 298},
      {"301 bytes", Bytes(301, 0x00), SCARD_E_COMM_DATA_LOST, 0},
      {"2048 bytes", Bytes(2048, 0xEE), SCARD_E_COMM_DATA_LOST, 0},
  };
  for (const AnswerCase& c : cases) {
    SCOPED_TRACE(c.name);
    pcsc.answer = [&c](const Bytes&) { return c.answer; };
    EXPECT_EQ(Exchange({0x64}), c.result);
    EXPECT_EQ(commandBlock.responseLength, c.responseLength);
    EXPECT_TRUE(std::equal(commandBlock.response, commandBlock.response + c.responseLength,
                           c.answer.begin()));
  }
}

TEST_F(PcscExchange, AnOversizedAnswerLeavesTheResponseUntouched) {
  std::fill(std::begin(commandBlock.response), std::end(commandBlock.response), 0xA5);
  pcsc.answer = [](const Bytes&) { return Bytes(301, 0x00); };
  EXPECT_EQ(Exchange({0x64}), SCARD_E_COMM_DATA_LOST);
  EXPECT_TRUE(std::all_of(std::begin(commandBlock.response), std::end(commandBlock.response),
                          [](std::uint8_t b) { return b == 0xA5; }));
}

TEST_F(PcscExchange, RequestGoesOutBehindTheEscapeHeaderWithTheEscapeCode) {
  pcsc.answer = [](const Bytes&) { return test::WithStatusWord({0x00}); };
  ASSERT_EQ(Exchange({0x64}), kSuccess);
  ASSERT_EQ(pcsc.requests.size(), 1u);
  EXPECT_EQ(pcsc.requests[0], (Bytes{0xFF, 0x70, 0xC2, 0x51, 0x00, 0x64}));
  EXPECT_EQ(commandBlock.requestLength, 6u);  // the block keeps the wrapped form
  EXPECT_EQ(pcsc.controlCodes[0], platform::EscapeControlCode());
  EXPECT_EQ(pcsc.outputCapacities[0], kPcscAnswerCapacity);

  ASSERT_EQ(Exchange({}), kSuccess);  // an empty request is the bare header
  EXPECT_EQ(pcsc.requests[1], (Bytes{0xFF, 0x70, 0xC2, 0x51, 0x00}));
}

TEST_F(PcscExchange, RequestsThatCannotTakeTheHeaderAreRefusedUnsent) {
  pcsc.answer = [](const Bytes&) { return test::WithStatusWord({0x00}); };
  EXPECT_EQ(Exchange(Bytes(295, 0x33)), kSuccess);
  EXPECT_EQ(commandBlock.requestLength, 300u);
  EXPECT_EQ(Exchange(Bytes(296, 0x33)), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(commandBlock.responseLength, 0u);
  EXPECT_EQ(pcsc.requests.size(), 1u);
}

TEST_F(PcscExchange, ServiceErrorsPassThroughUnchanged) {
  pcsc.controlResult = 0x80100069;  // SCARD_W_REMOVED_CARD
  EXPECT_EQ(Exchange({0x22}), 0x80100069u);
  EXPECT_EQ(commandBlock.responseLength, 0u);
}

TEST(FramedExchange, RefusesAnEmptyRequestAndAMissingEngine) {
  test::ResetLinkState();
  commandBlock.requestLength = 0;
  EXPECT_EQ(ExchangeCommand(), SCARD_E_INVALID_PARAMETER);
  EXPECT_EQ(commandBlock.responseLength, 0u);
  commandBlock.requestLength = 1;
  commandBlock.request[0] = 0x64;
  EXPECT_EQ(ExchangeCommand(), SCARD_E_READER_UNAVAILABLE);
  EXPECT_EQ(commandBlock.responseLength, 0u);
}

TEST(FramedExchange, EngineWithNoOpenLinkReportsNoReaders) {
  test::ResetLinkState();
  CTransfer engine;
  transferEngine = &engine;
  commandBlock.requestLength = 1;
  commandBlock.request[0] = 0x64;
  EXPECT_EQ(ExchangeCommand(), SCARD_E_NO_READERS_AVAILABLE);
  EXPECT_EQ(engine.sequenceNumber, 0u);  // nothing was framed
  test::ResetLinkState();
}

}  // namespace
}  // namespace zarn
