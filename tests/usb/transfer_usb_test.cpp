// The transfer engine's USB path against a driver socket: the request travels unframed, the
// whole output is the answer, and a driver that misbehaves ends the exchange with a result.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "link/command_exchange.h"
#include "link/result_codes.h"
#include "link/transfer.h"
#include "tests/support/fake_clock.h"
#include "tests/support/fake_pcsc.h"
#include "tests/usb/fake_usb_driver.h"

namespace zarn {
namespace {

using test::Bytes;
using test::FakeUsbDriver;
using test::UsbReply;
using test::UsbRequest;

constexpr std::uint32_t kSetup = 0x8000202C;
constexpr std::uint32_t kIoIncomplete = 996;
constexpr std::uint32_t kDeviceNotConnected = 1167;
constexpr std::uint32_t kMoreData = 234;
constexpr std::uint32_t kInvalidData = 13;

Bytes Received(const CTransfer& engine) {
  return Bytes(engine.rxBuffer.data, engine.rxBuffer.data + engine.rxBuffer.length);
}

class TransferUsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::ResetLinkState();
    ASSERT_TRUE(engine.Open(0, 0, 'N', "1"));
  }
  void TearDown() override { test::ResetLinkState(); }

  // The reader's answer to every transceive control; the set-up is answered with success.
  void Answer(std::function<UsbReply(const UsbRequest&)> answer) {
    reader.SetHandler([answer](const UsbRequest& request) {
      return request.controlCode == kSetup ? UsbReply{} : answer(request);
    });
  }

  std::uint32_t Transceive(const Bytes& request) {
    engine.txBuffer.length = 0;
    engine.txBuffer.AppendBytes(request.data(), static_cast<std::uint32_t>(request.size()));
    return engine.Transceive();
  }

  test::UsbInterfaceDirectory interfaces;
  FakeUsbDriver reader{interfaces, "reader"};
  CTransfer engine;
};

TEST_F(TransferUsbTest, TheRequestGoesUnframedInOneTransceiveControl) {
  Answer([](const UsbRequest&) { return UsbReply::Answer({0x00, 0xAB}); });
  EXPECT_EQ(Transceive({0x64, 0x01}), kSuccess);
  EXPECT_EQ(Received(engine), (Bytes{0x00, 0xAB}));
  EXPECT_EQ(engine.sequenceNumber, 0);

  const auto requests = reader.Requests();
  ASSERT_EQ(requests.size(), 2u);  // the set-up, then the request
  EXPECT_EQ(requests[1].controlCode, 0x2A0018u);
  EXPECT_EQ(requests[1].outputCapacity, 1024u);
  EXPECT_EQ(requests[1].input, (Bytes{0x64, 0x01}));
}

TEST_F(TransferUsbTest, TheOutputDecidesTheResult) {
  const Bytes fullFrame(1024, 0x00);
  const struct {
    const char* name;
    UsbReply reply;
    std::uint32_t result;
    std::uint32_t lastError;
    Bytes received;
  } cases[] = {
      {"status byte 0", UsbReply::Answer({0x00, 0xAB}), kSuccess, 0, {0x00, 0xAB}},
      {"reader status 5", UsbReply::Answer({0x05, 0x11, 0x22}), SCARD_F_INTERNAL_ERROR, 0, {0x05}},
      {"driver error", UsbReply::Answer({}, 31), 31, 31, {}},
      {"empty output", UsbReply::Answer({}), kSuccess, 0, {}},
      {"1024 bytes", UsbReply::Answer(fullFrame), kSuccess, 0, fullFrame},
      {"more than 1024 bytes", UsbReply::Answer(Bytes(1100, 0x00)), kMoreData, kMoreData, {}},
      {"id alone", UsbReply::Of(UsbReply::Kind::kIdOnly), kInvalidData, kInvalidData, {}},
  };
  for (const auto& answer : cases) {
    SCOPED_TRACE(answer.name);
    Answer([&](const UsbRequest&) { return answer.reply; });
    EXPECT_EQ(Transceive({0x22}), answer.result);
    EXPECT_EQ(engine.lastError, answer.lastError);
    EXPECT_EQ(Received(engine), answer.received);
    EXPECT_EQ(engine.stateFlags, 0);
  }
}

TEST_F(TransferUsbTest, AnEmptyOutputIsLostDataNotTheEarlierAnswersStatus) {
  transferEngine = &engine;
  Answer([](const UsbRequest&) { return UsbReply::Answer({0x05}); });
  commandBlock.request[0] = 0x22;
  commandBlock.requestLength = 1;
  ASSERT_EQ(ExchangeCommand(), SCARD_F_INTERNAL_ERROR);

  Answer([](const UsbRequest&) { return UsbReply::Answer({}); });
  EXPECT_EQ(ExchangeCommand(), SCARD_E_COMM_DATA_LOST);
  EXPECT_EQ(commandBlock.responseLength, 0u);
}

TEST_F(TransferUsbTest, ATimedOutRequestIsCancelledAndItsLateReplyDiscarded) {
  engine.usbChannel.ioTimeout = 100;
  int served = 0;
  Answer([&served](const UsbRequest&) {
    UsbReply reply = UsbReply::Answer({0x00, std::uint8_t(0x11 * ++served)});
    if (served == 1) reply.delayMs = 1000;  // well past the time-out
    return reply;
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Transceive({0x22}), kIoIncomplete);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(engine.lastError, kIoIncomplete);
  EXPECT_TRUE(Received(engine).empty());
  EXPECT_EQ(engine.stateFlags, 0);

  // The late reply (00 11) arrives while the next request waits; only its own answer counts.
  engine.usbChannel.ioTimeout = 3000;
  EXPECT_EQ(Transceive({0x22}), kSuccess);
  EXPECT_EQ(Received(engine), (Bytes{0x00, 0x22}));
}

TEST_F(TransferUsbTest, AnInterfaceThatDisappearsFailsTheCallAndEveryLaterOne) {
  Answer([](const UsbRequest&) { return UsbReply::Of(UsbReply::Kind::kHangUp); });
  EXPECT_EQ(Transceive({0x22}), kDeviceNotConnected);
  EXPECT_EQ(Transceive({0x22}), kDeviceNotConnected);
  EXPECT_TRUE(Received(engine).empty());
  EXPECT_EQ(engine.stateFlags, 0);
}

TEST_F(TransferUsbTest, WithItsSwitchOnTheChannelLogsTheSearchAndTheTraffic) {
  test::FakeClock clock;  // tick 2.007, 09:05:03
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(interfaces.Path());  // the log file lies beside the sockets
  Answer([](const UsbRequest&) { return UsbReply::Answer({0x00, 0xAB}); });
  CTransfer logged;
  logged.usbChannel.logEnabled = 1;
  ASSERT_TRUE(logged.usbChannel.Open(0));
  logged.txBuffer.PushByte(0x22);
  EXPECT_EQ(logged.Transceive(), kSuccess);
  logged.usbChannel.Close();
  std::filesystem::current_path(previous);

  std::ifstream file(interfaces.PathOf("_USB0.log"), std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  const std::string path = interfaces.PathOf("reader");
  const std::string expectedLines[] = {
      "2.007 ---------- Log started 09:05:03 ----------\r\n",
      "2.007  Attempting to open " + path + "\n",
      "2.007  DeviceName = (" + path + ")\n",
      "2.007  TX: Size =    1\r\n",
      "22 \r\n",
      "2.007  RX: Error = 0x00000000 Size =    2\r\n",
      "00 AB \r\n",
      "2.007 ---------- Log stopped 09:05:03 ----------\r\n",
  };
  std::string expected;
  for (const std::string& line : expectedLines)
    expected += line;
  EXPECT_EQ(text, expected);
}

}  // namespace
}  // namespace zarn
