// The run flow on a COM port, in process, with a scripted reader on a pty: the parity and
// stop-bit attempts, the bus address in every frame, and the identification lines.

#include <gtest/gtest.h>

#include "app/link_reasons.h"
#include "app/run_flow.h"
#include "app/upgrade_session.h"
#include "tests/serial/pty_peer.h"
#include "tests/support/scripted_console.h"

namespace zarn {
namespace {

using test::AnswerFrame;
using test::Bytes;
using test::FramePeer;
using test::Pty;
using test::RequestFrame;

constexpr std::uint8_t kVersionRequest = 0x64;
constexpr std::uint8_t kSerialNumberRequest = 0x22;

// A reader in its application: it knows the version and serial-number requests and refuses
// everything else with status 5.
Bytes ReaderAnswer(const Bytes& request) {
  if (request == Bytes{kVersionRequest}) return {0x00, 0x01, 0x02, 0x43, 0x04, 0x05, 0x01};
  if (request == Bytes{kSerialNumberRequest}) return {0x00, 0x78, 0x56, 0x34, 0x12};
  return {0x05};
}

TEST(RunFlowSerial, ReaderAtOddParityIsFoundOnTheSecondAttempt) {
  Pty pty;
  pty.MapAsCom(7);
  // The master sees the slave's PARODD (a pty always clears PARENB).
  FramePeer peer(pty, [](const RequestFrame& request, Pty& line) {
    if ((line.SlaveSettings().c_cflag & PARODD) == 0) return;
    line.Write(AnswerFrame(request.address, request.sequence, ReaderAnswer(request.payload)));
  });
  test::ScriptedConsole console;
  const char* argv[] = {"zarn-upgrade", "COM7"};
  RunTool(2, argv);

  const std::string& output = console.Output();
  EXPECT_NE(output.find("Device address on the bus = 0\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Interface COM7 .... is opened successfully\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Serial Number 12 34 56 78 \n"), std::string::npos) << output;
  EXPECT_NE(output.find("Old Version   01 02 43 04 05 01 \n"), std::string::npos) << output;
  const auto requests = peer.Requests();
  ASSERT_GE(requests.size(), 4u);  // unanswered N/1, then O/1: version, serial number, version
  EXPECT_EQ(requests[1].payload, Bytes{kVersionRequest});
  EXPECT_EQ(requests[2].payload, Bytes{kSerialNumberRequest});
}

TEST(RunFlowSerial, BusAddressGoesIntoEveryFrame) {
  Pty pty;
  pty.MapAsCom(8);
  // A reader at address 17 on the bus answers only frames addressed to it.
  FramePeer peer(pty, [](const RequestFrame& request, Pty& line) {
    if (request.address != 17) return;
    line.Write(AnswerFrame(request.address, request.sequence, ReaderAnswer(request.payload)));
  });
  test::ScriptedConsole console;
  const char* argv[] = {"zarn-upgrade", "COM8", "9600", "17"};
  RunTool(4, argv);

  const std::string& output = console.Output();
  EXPECT_NE(output.find("Device address on the bus = 17\n"), std::string::npos) << output;
  EXPECT_NE(output.find("Interface COM8 ... is opened successfully\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Serial Number 12 34 56 78 \n"), std::string::npos) << output;
  const auto requests = peer.Requests();
  ASSERT_GE(requests.size(), 3u);
  for (const RequestFrame& request : requests) {
    EXPECT_EQ(request.address, 0x11);
    EXPECT_TRUE(request.checkGood);
  }
}

// The reopens (after a restart, at a baud-rate change) go through the same open as the first
// one: a port that opens but does not take the settings is named with them and the system's words.
TEST(RunFlowSerial, SettingsThePortDoesNotTakeAreNamedOnStandardError) {
  Pty pty;
  pty.MapAsCom(9);
  test::ScriptedConsole console;
  session = UpgradeSession{};
  session.portNumber = 9;
  session.transfer.reset(new CTransfer);
  EXPECT_FALSE(OpenSerialLink(9600, 'X', "1"));
  EXPECT_FALSE(OpenSerialLink(57600, 'N', "1.5"));
  EXPECT_TRUE(OpenSerialLink(9600, 'E', "2"));
  EXPECT_EQ(console.Reasons(),
            "zarn-upgrade: COM9 (" + pty.SlavePath() +
                ") does not take 9600 baud, parity X, 8 data bits, 1 stop bit: Invalid argument\n"
                "zarn-upgrade: COM9 (" +
                pty.SlavePath() +
                ") does not take 57600 baud, parity N, 8 data bits, 1.5 stop bits: Invalid "
                "argument\n");
  EXPECT_EQ(console.Output(), "");
  session = UpgradeSession{};
}

}  // namespace
}  // namespace zarn
